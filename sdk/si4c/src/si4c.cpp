// The C interface over the engine. Every entry point tolerates a null handle and never lets an
// exception cross into the caller.
#include "si4c.h"

#include <new>

#include "Engine.h"

struct SiSDKEngine {
    Zentrox::si4c::Engine engine;
};

extern "C" {

bool SiSDKCreate(SiSDKHandle* handle) {
    if (!handle) return false;
    *handle = new (std::nothrow) SiSDKEngine;
    return *handle != nullptr;
}

bool SiSDKIsSingleFreq(SiSDKHandle handle) {
    return handle ? handle->engine.isSingleFrequency() : false;
}

bool SiSDKSetSingleFreq(SiSDKHandle handle, bool single) {
    if (!handle) return false;
    handle->engine.setSingleFrequency(single);
    return true;
}

bool SiSDKInit(SiSDKHandle handle, int width, int height) {
    return handle ? handle->engine.init(width, height) : false;
}

bool SiSDKSetCaliData(SiSDKHandle handle, const void* data, uint32_t length) {
    return handle ? handle->engine.setCalibration(data, length) : false;
}

bool SiSDKSetConfig(SiSDKHandle handle, const char* path) {
    if (!handle) return false;
    try {
        handle->engine.setConfigDirectory(path);
    } catch (...) {
        return false;
    }
    return true;
}

bool SiSDKStart(SiSDKHandle handle) {
    if (!handle) return false;
    try {
        return handle->engine.start();
    } catch (...) {
        return false;
    }
}

bool SiSDKGetPhaseImage(SiSDKHandle handle, const void* raw, float* depth, float* amplitude,
                        float* confidence) {
    return handle ? handle->engine.convert(raw, depth, amplitude, confidence) : false;
}

void SiSDKDestroy(SiSDKHandle* handle) {
    if (!handle) return;
    delete *handle;
    *handle = nullptr;
}

}  // extern "C"
