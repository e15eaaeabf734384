/* The C interface of the USB evaluation kit's SDK, libzentrox_evk_sdk: the functions, records and
 * results the driver relies on. The driver's own library (the emulated kit) implements it; a
 * deployment may link a vendor's library with the same interface instead.
 *
 * Every function returns ZENTROX_EVK_OK (0) on success and a negative ZENTROX_EVK_* code otherwise.
 * Records are laid out for a 64-bit little-endian host; the sizes and offsets are fixed. */
#ifndef ZENTROX_EVK_SDK_H
#define ZENTROX_EVK_SDK_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define ZENTROX_EVK_API
#else
#define ZENTROX_EVK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define ZENTROX_EVK_OK 0
#define ZENTROX_EVK_ERROR (-1)            /* the operation failed (also: an injected fault) */
#define ZENTROX_EVK_INVALID_ARGUMENT (-2) /* null pointer, unknown handle or image */
#define ZENTROX_EVK_BAD_STATE (-3)        /* not initialised, already streaming, not streaming */
#define ZENTROX_EVK_TIMEOUT (-4)          /* no image within the time-out */
#define ZENTROX_EVK_NO_BUFFER (-5)        /* every image buffer is held by the caller */
#define ZENTROX_EVK_CONFIG_ERROR (-6)     /* the configuration file or recording is unusable */

/* ZentroxOpenParam.version as ZentroxDefaultParam sets it. */
#define ZENTROX_EVK_PARAM_VERSION 1u

/* An opened kit. */
typedef struct ZentroxEvkCamera* ZentroxHandle;

/* How to open a kit: fill with ZentroxDefaultParam, then set what differs. */
typedef struct ZentroxOpenParam {
    const char* path;      /* 0: configuration file or recording (NUL-terminated), or NULL */
    uint32_t version;      /* 8: ZENTROX_EVK_PARAM_VERSION */
    uint32_t device_index; /* 12: which kit on the bus; the emulation has one, index 0 */
    uint8_t is_bin;        /* 16: 1 when path names a recording of raw images, 0 otherwise */
    uint8_t reserved[15];  /* 17: 0 */
} ZentroxOpenParam;

/* What the opened kit delivers. */
typedef struct ZentroxCameraConfig {
    uint32_t width;           /* 0: pixels of one image */
    uint32_t height;          /* 4: rows of one image */
    uint8_t bit_width;        /* 8: significant bits per sample: 8 (one byte) or more (two bytes) */
    uint8_t images_per_frame; /* 9: images that make up one camera frame (4 phase images, or 1) */
    uint16_t frame_rate;      /* 10: camera frames per second; 0 when not paced */
    uint32_t reserved;        /* 12 */
} ZentroxCameraConfig;

/* One captured image; valid until handed back with ZentroxFreeImage. */
typedef struct ZentroxImage {
    uint64_t sequence;  /* 0: number of the image since the stream started */
    uint64_t timestamp; /* 8: capture time in milliseconds */
    uint32_t width;     /* 16 */
    uint32_t height;    /* 20 */
    uint32_t data_size; /* 24: bytes at data */
    uint8_t bit_width;  /* 28 */
    uint8_t phase;      /* 29: position of the image within its camera frame */
    uint16_t reserved0; /* 30 */
    uint8_t* data;      /* 32: samples, row-major; two bytes (little-endian) above 8 bits */
    void* buffer;       /* 40: the SDK's own reference to the image buffer */
    uint64_t reserved1; /* 48 */
} ZentroxImage;

#ifdef __cplusplus
static_assert(sizeof(ZentroxOpenParam) == 32, "open parameters are 32 bytes");
static_assert(offsetof(ZentroxOpenParam, path) == 0, "path pointer at offset 0");
static_assert(offsetof(ZentroxOpenParam, is_bin) == 16, ".bin flag at offset 16");
static_assert(sizeof(ZentroxCameraConfig) == 16, "camera configuration is 16 bytes");
static_assert(offsetof(ZentroxCameraConfig, width) == 0, "width at offset 0");
static_assert(offsetof(ZentroxCameraConfig, height) == 4, "height at offset 4");
static_assert(offsetof(ZentroxCameraConfig, bit_width) == 8, "bit width at offset 8");
static_assert(sizeof(ZentroxImage) == 56, "image record is 56 bytes");
static_assert(offsetof(ZentroxImage, timestamp) == 8, "timestamp at offset 8");
static_assert(offsetof(ZentroxImage, data_size) == 24, "data size at offset 24");
static_assert(offsetof(ZentroxImage, data) == 32, "data pointer at offset 32");
#else
_Static_assert(sizeof(ZentroxOpenParam) == 32, "open parameters are 32 bytes");
_Static_assert(offsetof(ZentroxOpenParam, path) == 0, "path pointer at offset 0");
_Static_assert(offsetof(ZentroxOpenParam, is_bin) == 16, ".bin flag at offset 16");
_Static_assert(sizeof(ZentroxCameraConfig) == 16, "camera configuration is 16 bytes");
_Static_assert(offsetof(ZentroxCameraConfig, width) == 0, "width at offset 0");
_Static_assert(offsetof(ZentroxCameraConfig, height) == 4, "height at offset 4");
_Static_assert(offsetof(ZentroxCameraConfig, bit_width) == 8, "bit width at offset 8");
_Static_assert(sizeof(ZentroxImage) == 56, "image record is 56 bytes");
_Static_assert(offsetof(ZentroxImage, timestamp) == 8, "timestamp at offset 8");
_Static_assert(offsetof(ZentroxImage, data_size) == 24, "data size at offset 24");
_Static_assert(offsetof(ZentroxImage, data) == 32, "data pointer at offset 32");
#endif

/* Fills *param with the defaults: no path, not a recording, kit 0. */
ZENTROX_EVK_API int ZentroxDefaultParam(ZentroxOpenParam* param);
/* Opens the kit that *param names and stores its handle in *handle (NULL on failure). */
ZENTROX_EVK_API int ZentroxOpenCamera(ZentroxHandle* handle, const ZentroxOpenParam* param);
/* Initialises an opened kit; needed before the configuration is read or the stream started. */
ZENTROX_EVK_API int ZentroxInitCamera(ZentroxHandle handle);
ZENTROX_EVK_API int ZentroxGetCameraConfig(ZentroxHandle handle, ZentroxCameraConfig* config);
ZENTROX_EVK_API int ZentroxStartCamera(ZentroxHandle handle);
/* Waits up to timeout_ms (negative: without limit) for the next image of the stream. */
ZENTROX_EVK_API int ZentroxCaptureImage(ZentroxHandle handle, ZentroxImage* image, int32_t timeout_ms);
/* Hands a captured image's buffer back to the kit. */
ZENTROX_EVK_API int ZentroxFreeImage(ZentroxHandle handle, ZentroxImage image);
/* Ends the stream; images still held stay valid until freed. */
ZENTROX_EVK_API int ZentroxStopCamera(ZentroxHandle handle);
/* Stops and releases the kit; the handle is invalid afterwards. */
ZENTROX_EVK_API int ZentroxCloseCamera(ZentroxHandle handle);
ZENTROX_EVK_API int ZentroxWriteSensorReg(ZentroxHandle handle, uint32_t reg, uint32_t value);

#ifdef __cplusplus
}
#endif

#endif /* ZENTROX_EVK_SDK_H */
