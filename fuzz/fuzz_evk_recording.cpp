// Recordings the emulated kit plays back: any bytes as a recording file. An accepted recording
// holds exactly what its header announces, with timestamps in order; a refused one says why.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "ZentroxEvkRecording.h"

using namespace Zentrox;

namespace {

const std::string& scratchPath() {
    static const std::string path = "/tmp/zentrox_fuzz_recording_" + std::to_string(getpid()) + ".bin";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(scratchPath().c_str(), "wb");
    if (!f) return 0;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
    Recording recording;
    std::string error;
    if (readRecording(scratchPath(), recording, error)) {
        const RecordingHeader& h = recording.header;
        if (recording.timestamps.size() != h.image_count) __builtin_trap();
        if (recording.data.size() != size_t(h.image_count) * h.imageBytes()) __builtin_trap();
        for (size_t i = 1; i < recording.timestamps.size(); ++i)
            if (recording.timestamps[i] < recording.timestamps[i - 1]) __builtin_trap();
        if (h.images_per_frame == 0 || h.width == 0 || h.height == 0) __builtin_trap();
    } else if (error.empty()) {
        __builtin_trap();
    }
    std::remove(scratchPath().c_str());
    return 0;
}
