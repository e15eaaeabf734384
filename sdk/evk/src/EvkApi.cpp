// The C functions of the kit SDK over EvkCamera. Handles are looked up in a registry, so that a
// handle that was never opened or is already closed is refused instead of followed; each call holds
// its camera alive while it runs, so a close from another thread cannot free it under a capture.
// No exception leaves a function.
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "EvkCamera.h"
#include "zentrox_evk_sdk.h"

namespace {

using Zentrox::EvkCamera;

class Registry {
  public:
    ZentroxHandle add(std::unique_ptr<EvkCamera> camera) {
        std::shared_ptr<EvkCamera> shared(std::move(camera));
        auto handle = reinterpret_cast<ZentroxHandle>(shared.get());
        std::lock_guard<std::mutex> lock(mutex);
        cameras.emplace(handle, std::move(shared));
        return handle;
    }
    std::shared_ptr<EvkCamera> find(ZentroxHandle handle) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = cameras.find(handle);
        return it == cameras.end() ? nullptr : it->second;
    }
    std::shared_ptr<EvkCamera> remove(ZentroxHandle handle) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = cameras.find(handle);
        if (it == cameras.end()) return nullptr;
        std::shared_ptr<EvkCamera> camera = std::move(it->second);
        cameras.erase(it);
        return camera;
    }

  private:
    std::mutex mutex;
    std::unordered_map<ZentroxHandle, std::shared_ptr<EvkCamera>> cameras;
};

// Never destroyed: a kit still open when the process ends must not be torn down under a capture
// that another thread is running.
Registry& registry() {
    static Registry* instance = new Registry();
    return *instance;
}

template <typename Call>
int guarded(Call&& call) {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        std::fputs("zentrox_evk_sdk: out of memory\n", stderr);
    } catch (...) {
        std::fputs("zentrox_evk_sdk: internal error\n", stderr);
    }
    return ZENTROX_EVK_ERROR;
}

template <typename Call>
int withCamera(ZentroxHandle handle, Call&& call) {
    return guarded([&] {
        std::shared_ptr<EvkCamera> camera = registry().find(handle);
        if (!camera) return ZENTROX_EVK_INVALID_ARGUMENT;
        return call(*camera);
    });
}

}  // namespace

extern "C" {

int ZentroxDefaultParam(ZentroxOpenParam* param) {
    if (!param) return ZENTROX_EVK_INVALID_ARGUMENT;
    *param = ZentroxOpenParam{};
    param->path = nullptr;
    param->version = ZENTROX_EVK_PARAM_VERSION;
    param->device_index = 0;
    param->is_bin = 0;
    return ZENTROX_EVK_OK;
}

int ZentroxOpenCamera(ZentroxHandle* handle, const ZentroxOpenParam* param) {
    if (!handle) return ZENTROX_EVK_INVALID_ARGUMENT;
    *handle = nullptr;
    if (!param) return ZENTROX_EVK_INVALID_ARGUMENT;
    return guarded([&] {
        std::unique_ptr<EvkCamera> camera;
        const int result = EvkCamera::open(*param, camera);
        if (result == ZENTROX_EVK_OK) *handle = registry().add(std::move(camera));
        return result;
    });
}

int ZentroxInitCamera(ZentroxHandle handle) {
    return withCamera(handle, [](EvkCamera& camera) { return camera.init(); });
}

int ZentroxGetCameraConfig(ZentroxHandle handle, ZentroxCameraConfig* config) {
    if (!config) return ZENTROX_EVK_INVALID_ARGUMENT;
    return withCamera(handle, [&](EvkCamera& camera) { return camera.getConfig(*config); });
}

int ZentroxStartCamera(ZentroxHandle handle) {
    return withCamera(handle, [](EvkCamera& camera) { return camera.start(); });
}

int ZentroxCaptureImage(ZentroxHandle handle, ZentroxImage* image, int32_t timeout_ms) {
    if (!image) return ZENTROX_EVK_INVALID_ARGUMENT;
    return withCamera(handle, [&](EvkCamera& camera) { return camera.capture(*image, timeout_ms); });
}

int ZentroxFreeImage(ZentroxHandle handle, ZentroxImage image) {
    return withCamera(handle, [&](EvkCamera& camera) { return camera.freeImage(image); });
}

int ZentroxStopCamera(ZentroxHandle handle) {
    return withCamera(handle, [](EvkCamera& camera) { return camera.stop(); });
}

int ZentroxCloseCamera(ZentroxHandle handle) {
    return guarded([&] {
        std::shared_ptr<EvkCamera> camera = registry().remove(handle);
        if (!camera) return ZENTROX_EVK_INVALID_ARGUMENT;
        return camera->stop();
    });
}

int ZentroxWriteSensorReg(ZentroxHandle handle, uint32_t reg, uint32_t value) {
    return withCamera(handle, [&](EvkCamera& camera) { return camera.writeRegister(reg, value); });
}

}  // extern "C"
