// Vocabulary shared by every layer of the driver: enumerations, the two plain records and the status
// texts. Included by ZentroxTOFCamera.h; C++ users include that header only.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define ZENTROX_API
#else
#define ZENTROX_API __attribute__((visibility("default")))
#endif

namespace Zentrox {

// Which depth-processing device serves the camera.
enum DeviceType : uint32_t {
    VGA = 0,
    HQVGA = 1,
};

// Output type of the camera and, at the same time, selector of one plane inside a frame buffer.
enum class FrameType : int32_t {
    RAW = 0,
    CONFIDENCE = 1,
    DEPTH = 2,
    AMPLITUDE = 3,
    CACHE = 4,
};

enum class Connection : int32_t {
    CSI = 0,
    USB = 1,
};

enum class CameraCtrl : int32_t {
    RANGE = 0,
    FMT_WIDTH = 1,
    FMT_HEIGHT = 2,
    MODE = 3,
    FRAME_MODE = 4,
    EXPOSURE = 5,
    FRAME_RATE = 6,
    SKIP_FRAME = 7,
    SKIP_FRAME_LOOP = 8,
    AUTO_FRAME_RATE = 9,
    CONFIG_DIR_EXT = 256,
};

enum class TofWorkMode : int32_t {
    SINGLE_FREQ = 0,
    DOUBLE_FREQ = 1,
    TRIPLE_FREQ = 2,
    QUAD_FREQ = 3,
    DISTANCE = 4,
    HDR = 5,
    AE = 6,
    BG_OUTDOOR = 7,
    GRAY_ONLY = 8,
    CUSTOM1 = 9,
    CUSTOM2 = 10,
    CUSTOM3 = 11,
};

enum class TofFrameWorkMode : int32_t {
    SINGLE_FREQ_2PHASE = 0,
    SINGLE_FREQ_4PHASE = 1,
    SINGLE_FREQ_4PHASE_GRAY = 2,
    SINGLE_FREQ_4PHASE_BG = 3,
    SINGLE_FREQ_4PHASE_4BG = 4,
    SINGLE_FREQ_4PHASE_GRAY_5BG = 5,
    SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG = 6,
    SINGLE_FREQ_GRAY_BG_4PHASE_BG = 7,
    SINGLE_FREQ_BG_GRAY_BG_4PHASE = 8,
    SINGLE_FREQ_BG_4PHASE_BG_GRAY = 9,
    DOUBLE_FREQ_4PHASE = 10,
    DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG = 11,
    DOUBLE_FREQ_4PHASE_4BG = 12,
    DOUBLE_FREQ_4PHASE_GRAY_5BG = 13,
    TRIPLE_FREQ_4PHASE = 14,
    TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG = 15,
    QUAD_FREQ_4PHASE = 16,
    QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG = 17,
    BG_OUTDOOR = 18,
    GRAY_ONLY = 19,
    CUSTOM = 20,
};

// Status of every camera, sensor and device operation. Callers test for 0: positive codes occur.
enum TofErrorCode : int32_t {
    ZentroxSuccess = 0,
    ZentroxInvalidParameter = 1,
    ZentroxNoCache = 2,
    ZentroxUnkownDevice = 3,
    ZentroxNotImplemented = 4,
    ZentroxSkipFrame = 240,
    ZentroxSystemError = -2,
    ZentroxUnkownError = -1,
};

// Description of an opened camera: eight 32-bit fields, copied by value.
struct CameraInfo {
    uint32_t index;
    Connection connect;
    DeviceType device_type;
    FrameType type;
    uint32_t width;
    uint32_t height;
    uint32_t bit_width;
    uint32_t bpp;
};

// Size record of one output, filled by the device (raw and depth outputs).
struct OutputGeometry {
    uint32_t tag;
    uint32_t width;
    uint32_t height;
};

// Format of one image plane of a frame.
struct FrameDataFormat {
    uint32_t width;
    uint32_t height;
    FrameType type;
    uint64_t timestamp;
};

static_assert(sizeof(CameraInfo) == 32, "CameraInfo is eight 32-bit fields");
static_assert(offsetof(CameraInfo, index) == 0 && offsetof(CameraInfo, connect) == 4 &&
                  offsetof(CameraInfo, device_type) == 8 && offsetof(CameraInfo, type) == 12 &&
                  offsetof(CameraInfo, width) == 16 && offsetof(CameraInfo, height) == 20 &&
                  offsetof(CameraInfo, bit_width) == 24 && offsetof(CameraInfo, bpp) == 28,
              "CameraInfo field order");
static_assert(sizeof(FrameDataFormat) == 24, "FrameDataFormat layout");
static_assert(offsetof(FrameDataFormat, width) == 0 && offsetof(FrameDataFormat, height) == 4 &&
                  offsetof(FrameDataFormat, type) == 8 && offsetof(FrameDataFormat, timestamp) == 16,
              "FrameDataFormat field order");

// Fixed message text of a status code; "Unknown error" for every value that names no code.
ZENTROX_API const char* to_str(TofErrorCode code);

}  // namespace Zentrox
