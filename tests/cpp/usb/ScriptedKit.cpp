#include "tests/cpp/usb/ScriptedKit.h"

#include <cstring>

namespace Zentrox {
namespace ScriptedKit {

namespace {

Script current;
int token;

uint64_t number(const void* p) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
}

void record(const char* name, std::vector<uint64_t> args) {
    current.calls.push_back(Call{name, std::move(args)});
}

// Images lent by the last captures, so that their bytes stay valid until freed.
std::deque<ScriptedImage> lent;

}  // namespace

Script& script() {
    return current;
}

void reset() {
    current = Script{};
    lent.clear();
}

ZentroxHandle handle() {
    return reinterpret_cast<ZentroxHandle>(&token);
}

std::vector<std::string> Script::names() const {
    std::vector<std::string> out;
    for (const Call& c : calls)
        out.push_back(c.name);
    return out;
}

int Script::count(const std::string& name) const {
    int n = 0;
    for (const Call& c : calls)
        n += c.name == name;
    return n;
}

}  // namespace ScriptedKit
}  // namespace Zentrox

using namespace Zentrox::ScriptedKit;

extern "C" {

int ZentroxDefaultParam(ZentroxOpenParam* param) {
    record("ZentroxDefaultParam", {number(param)});
    std::memset(param, DEFAULT_FILL, sizeof *param);
    param->path = nullptr;
    param->is_bin = 0;
    return ZENTROX_EVK_OK;
}

int ZentroxOpenCamera(ZentroxHandle* h, const ZentroxOpenParam* param) {
    record("ZentroxOpenCamera", {number(h), number(param)});
    current.openParam = *param;
    current.openPath = param->path ? param->path : "";
    if (current.openResult != ZENTROX_EVK_OK) return current.openResult;
    *h = handle();
    ++current.openHandles;
    return ZENTROX_EVK_OK;
}

int ZentroxInitCamera(ZentroxHandle h) {
    record("ZentroxInitCamera", {number(h)});
    return current.initResult;
}

int ZentroxGetCameraConfig(ZentroxHandle h, ZentroxCameraConfig* config) {
    record("ZentroxGetCameraConfig", {number(h)});
    *config = current.config;
    return ZENTROX_EVK_OK;
}

int ZentroxStartCamera(ZentroxHandle h) {
    record("ZentroxStartCamera", {number(h)});
    return current.startResult;
}

int ZentroxCaptureImage(ZentroxHandle h, ZentroxImage* image, int32_t timeout_ms) {
    record("ZentroxCaptureImage", {number(h), static_cast<uint64_t>(timeout_ms)});
    if (current.images.empty()) return ZENTROX_EVK_TIMEOUT;
    ScriptedImage next = std::move(current.images.front());
    current.images.pop_front();
    if (next.result != ZENTROX_EVK_OK) return next.result;
    lent.push_back(std::move(next));
    ScriptedImage& held = lent.back();
    std::memset(image, 0, sizeof *image);
    image->timestamp = held.timestamp;
    image->data = held.data.data();
    image->data_size =
        held.data_size >= 0 ? static_cast<uint32_t>(held.data_size) : static_cast<uint32_t>(held.data.size());
    image->buffer = &held;
    ++current.lentImages;
    return ZENTROX_EVK_OK;
}

int ZentroxFreeImage(ZentroxHandle h, ZentroxImage image) {
    record("ZentroxFreeImage", {number(h), number(image.buffer)});
    --current.lentImages;
    return ZENTROX_EVK_OK;
}

int ZentroxStopCamera(ZentroxHandle h) {
    record("ZentroxStopCamera", {number(h)});
    return ZENTROX_EVK_OK;
}

int ZentroxCloseCamera(ZentroxHandle h) {
    record("ZentroxCloseCamera", {number(h)});
    if (h == handle()) --current.openHandles;
    return ZENTROX_EVK_OK;
}

int ZentroxWriteSensorReg(ZentroxHandle h, uint32_t reg, uint32_t value) {
    record("ZentroxWriteSensorReg", {number(h), reg, value});
    current.registerWrites.emplace_back(reg, value);
    if (current.registerWriteResults.empty()) return ZENTROX_EVK_OK;
    const int result = current.registerWriteResults.front();
    current.registerWriteResults.pop_front();
    return result;
}

}  // extern "C"
