/* The depth-processing SDK's C interface: raw VGA frames in, depth, amplitude and confidence out.
 * Our engine (libsi4c) implements exactly these functions; a deployment may link a vendor's library of
 * the same interface instead. Every function accepts a null handle and then does nothing and returns
 * false, so a caller that lost its handle cannot crash the engine. */
#ifndef ZENTROX_SI4C_H
#define ZENTROX_SI4C_H

#include <stdbool.h>
#include <stdint.h>

#if defined(_WIN32)
#define SI4C_API
#else
#define SI4C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct SiSDKEngine* SiSDKHandle;

/* Creates an engine and stores its handle in *handle; true on success. */
SI4C_API bool SiSDKCreate(SiSDKHandle* handle);

/* The frequency mode last set (true: single frequency). A new engine starts in single frequency. */
SI4C_API bool SiSDKIsSingleFreq(SiSDKHandle handle);

/* Selects single (true) or double (false) frequency; takes effect at the next SiSDKInit. */
SI4C_API bool SiSDKSetSingleFreq(SiSDKHandle handle, bool single);

/* Prepares conversion of width x height outputs in the mode last set; true on success. A converting
 * engine stops until the next SiSDKStart. Calibration handed over before is forgotten (the caller may
 * release its bytes once this returns); hand it over again after every SiSDKInit. */
SI4C_API bool SiSDKInit(SiSDKHandle handle, int width, int height);

/* Hands over a calibration blob. The bytes must stay valid while the handle lives. A blob that is not
 * well formed is ignored (false) and the engine says so once on standard error. */
SI4C_API bool SiSDKSetCaliData(SiSDKHandle handle, const void* data, uint32_t length);

/* Directory holding "ConfigAlgorithm.json"; read at the next SiSDKStart. Empty: none. A missing or
 * malformed file leaves the default parameters; a path that is not a directory makes SiSDKStart fail. */
SI4C_API bool SiSDKSetConfig(SiSDKHandle handle, const char* path);

/* Starts conversion at the size and mode of the last SiSDKInit; true: ready to convert. */
SI4C_API bool SiSDKStart(SiSDKHandle handle);

/* Converts one raw frame into depth (mm), amplitude and confidence images of width x height floats.
 * False, with the outputs untouched, when the engine is not started, an argument is null or misaligned,
 * or the frame is malformed (see si4c_format.h for the raw layout). */
SI4C_API bool SiSDKGetPhaseImage(SiSDKHandle handle, const void* raw, float* depth, float* amplitude,
                                 float* confidence);

/* Destroys the engine and sets *handle to null. */
SI4C_API void SiSDKDestroy(SiSDKHandle* handle);

#ifdef __cplusplus
}
#endif

#endif /* ZENTROX_SI4C_H */
