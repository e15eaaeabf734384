#include "sensor/usb/ZentroxTOFUSBSensor.h"

#include <cstring>
#include <utility>

namespace Zentrox {

namespace {

struct RangeRegister {
    uint32_t reg;
    uint32_t range2000;
    uint32_t range4000;
};
constexpr RangeRegister RANGE_REGISTERS[] = {
    {0x216C, 0x08, 0x10},
    {0x2179, 0x0A, 0x0E},
    {0x217A, 0x0E, 0x16},
    {0x217B, 0x12, 0x1E},
};

inline void store16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline uint16_t load16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

ZentroxTOFUSBSensor::KitHandle& ZentroxTOFUSBSensor::KitHandle::operator=(KitHandle&& other) noexcept {
    if (this != &other) {
        reset(other.handle);
        other.handle = nullptr;
    }
    return *this;
}

void ZentroxTOFUSBSensor::KitHandle::reset(ZentroxHandle next) {
    if (handle) ZentroxCloseCamera(handle);
    handle = next;
}

ZentroxTOFUSBSensor::ZentroxTOFUSBSensor(std::string configPath, int /*index*/)
    : configPath(std::move(configPath)) {
    subFrameCount = 1;
}

bool ZentroxTOFUSBSensor::isRecordingPath(const std::string& path) {
    return path.size() >= 4 && path.compare(path.size() - 4, 4, ".bin") == 0;
}

int ZentroxTOFUSBSensor::open(CameraInfo& cameraInfo) {
    handle.reset();  // a second open replaces the kit instead of leaking it
    started = false;
    appliedRange = 0;
    ZentroxOpenParam parameters;
    ZentroxDefaultParam(&parameters);
    if (!configPath.empty()) {
        parameters.path = configPath.c_str();
        parameters.is_bin = isRecordingPath(configPath) ? 1 : 0;
    }
    ZentroxHandle opened = nullptr;
    if (ZentroxOpenCamera(&opened, &parameters) != 0) return ZentroxUnkownError;
    handle.reset(opened);
    if (ZentroxInitCamera(handle.get()) != 0) {
        handle.reset();  // nothing else would ever close it
        return ZentroxUnkownError;
    }
    ZentroxCameraConfig configuration;
    std::memset(&configuration, 0, sizeof configuration);
    ZentroxGetCameraConfig(handle.get(), &configuration);
    cameraInfo.width = configuration.width;
    cameraInfo.height = configuration.height;
    cameraInfo.bit_width = configuration.bit_width;
    cameraInfo.bpp = configuration.bit_width > 8 ? 2 : 1;
    info = cameraInfo;
    return ZentroxSuccess;
}

int ZentroxTOFUSBSensor::close() {
    handle.reset();
    started = false;
    return ZentroxSuccess;
}

int ZentroxTOFUSBSensor::start() {
    if (started) return ZentroxUnkownError;
    started = true;
    return ZentroxStartCamera(handle.get()) == 0 ? ZentroxSuccess : ZentroxUnkownError;
}

int ZentroxTOFUSBSensor::stop() {
    started = false;
    ZentroxStopCamera(handle.get());
    return ZentroxSuccess;
}

bool ZentroxTOFUSBSensor::normalise(const uint8_t* source, uint8_t* target, size_t samples) const {
    const uint32_t bits = info.bit_width;
    if (bits == 8 && info.bpp == 1) {
        for (size_t i = 0; i < samples; ++i)
            store16(target + 2 * i, static_cast<uint16_t>(source[i] << 4));
        return true;
    }
    // Two bytes hold at most 16 significant bits; below 9 bits a kit sends one byte per sample.
    if (info.bpp != 2 || bits < 9 || bits > 16) return false;
    if (bits == 12) {
        std::memcpy(target, source, 2 * samples);
    } else if (bits > 12) {
        const unsigned shift = bits - 12;
        for (size_t i = 0; i < samples; ++i)
            store16(target + 2 * i, static_cast<uint16_t>(load16(source + 2 * i) >> shift));
    } else {
        const unsigned shift = 12 - bits;
        for (size_t i = 0; i < samples; ++i)
            store16(target + 2 * i, static_cast<uint16_t>(load16(source + 2 * i) << shift));
    }
    return true;
}

int ZentroxTOFUSBSensor::getFrame(uint8_t* data, uint64_t* timestamp) {
    if (!started || !data) return ZentroxUnkownError;
    // The time of the last image taken goes out on every path; a caller may not want it.
    uint64_t unused = 0;
    uint64_t& stamp = timestamp ? *timestamp : unused;
    const size_t samples = size_t{info.width} * info.height;
    const uint32_t imageBytes = static_cast<uint32_t>(samples * info.bpp);
    uint8_t* position = data;
    uint64_t last = 0;
    for (int32_t i = 0; i < subFrameCount; ++i) {
        if (ZentroxCaptureImage(handle.get(), &image, CAPTURE_TIMEOUT_MS) != 0) {
            // The slot stays empty: a frame made of it would mix stale bytes with new ones.
            stamp = last;
            return ZentroxUnkownError;
        }
        if (i > 0 && image.timestamp - last >= GROUP_GAP_MS) {
            // Too far from the previous image to be of the same frame: this one begins the frame.
            i = 0;
            position = data;
        }
        if (image.data_size != imageBytes) {
            ZentroxFreeImage(handle.get(), image);
            return ZentroxUnkownError;
        }
        const bool written = normalise(image.data, position, samples);
        last = image.timestamp;
        ZentroxFreeImage(handle.get(), image);
        stamp = last;
        if (!written) return ZentroxUnkownError;
        position += 2 * samples;
    }
    return ZentroxSuccess;
}

bool ZentroxTOFUSBSensor::writeRangeTable(int range) {
    for (const RangeRegister& r : RANGE_REGISTERS) {
        if (ZentroxWriteSensorReg(handle.get(), r.reg, range == 2000 ? r.range2000 : r.range4000) != 0)
            return false;
    }
    return true;
}

int ZentroxTOFUSBSensor::setControl(CameraCtrl ctrl, int value) {
    if (ctrl != CameraCtrl::RANGE) return ZentroxInvalidParameter;
    // The module has a table for these two ranges only; any other value would switch it to a
    // frequency that the depth device does not decode with.
    if (value != 2000 && value != 4000) return ZentroxInvalidParameter;
    if (!handle) return ZentroxUnkownError;  // no kit to write to
    if (!writeRangeTable(value)) {
        // Part of the table may have reached the module: put back the one it ran with, if known.
        if (appliedRange != 0) writeRangeTable(appliedRange);
        return ZentroxUnkownError;
    }
    appliedRange = value;
    return ZentroxSuccess;
}

int ZentroxTOFUSBSensor::getControl(CameraCtrl, int*) {
    return ZentroxNotImplemented;
}

}  // namespace Zentrox
