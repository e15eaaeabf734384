#include "Engine.h"

#include <sys/stat.h>

#include <cstdio>

namespace Zentrox {
namespace si4c {

void Engine::warnOnce(const char* what) {
    if (warned) return;
    warned = true;
    std::fprintf(stderr, "si4c: calibration data ignored (%s); depth is computed uncalibrated\n", what);
}

bool Engine::init(int width, int height) {
    started = false;
    initialised = false;
    calibrationGiven = false;
    if (width < kMinWidth || width > kMaxWidth || height < 1 || height > kMaxHeight) return false;
    layout.width = width;
    layout.height = height;
    layout.single = isSingleFrequency();
    initialised = true;
    return true;
}

bool Engine::setCalibration(const void* data, uint32_t length) {
    calibrationGiven = false;
    if (data == nullptr || length == 0) return true;  // no calibration
    const char* reason = "";
    if (!parseCalibrationBlob(data, length, calibration, &reason)) {
        warnOnce(reason);
        return false;
    }
    calibrationGiven = true;
    return true;
}

void Engine::setUpFrequencies() {
    calibrationInUse = false;
    if (calibrationGiven) {
        const bool full = calibration.width == layout.width && calibration.height == layout.height;
        const bool binned = calibration.width == 2 * layout.width && calibration.height == 2 * layout.height;
        if (full || binned)
            calibrationInUse = true;
        else
            warnOnce("geometry does not match the output size");
    }
    for (int slot = 0; slot < layout.frequencies(); ++slot) {
        const double hz = frequencyHz(layout.single, slot);
        FrequencyPlanes& p = planes[slot];
        p.range_mm = float(rangeMm(hz));
        p.phase_offset_rad = 0.0f;
        p.amplitude_gain = 1.0f;
        if (const CalibrationEntry* e = calibrationInUse ? calibration.find(frequencyKhz(hz)) : nullptr) {
            p.phase_offset_rad = e->phase_offset_rad;
            p.amplitude_gain = e->amplitude_gain;
        }
    }
}

bool Engine::start() {
    started = false;
    if (!initialised) return false;
    algorithm = AlgorithmParams{};
    struct stat st {};
    if (!configDirectory.empty() && (::stat(configDirectory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
        std::fprintf(stderr, "si4c: configuration directory %s not found\n", configDirectory.c_str());
        return false;
    }
    const ConfigRead read =
        configDirectory.empty() ? ConfigRead::MISSING : readAlgorithmConfig(configDirectory, algorithm);
    if (read == ConfigRead::MALFORMED || read == ConfigRead::NOT_A_FILE)
        std::fprintf(stderr, "si4c: %s/ConfigAlgorithm.json is %s; using default parameters\n",
                     configDirectory.c_str(),
                     read == ConfigRead::MALFORMED ? "malformed" : "not a regular file");
    limits.valid_min_mm = algorithm.valid_dist_min_mm;
    limits.valid_max_mm = algorithm.valid_dist_max_mm;
    limits.confidence_min = algorithm.confidence_min;
    limits.combined_range_mm = float(kDoubleRangeMm);
    setUpFrequencies();
    started = true;
    return true;
}

bool Engine::convert(const void* raw, float* depth, float* amplitude, float* confidence) const {
    if (!started || !raw || !depth || !amplitude || !confidence) return false;
    if (reinterpret_cast<uintptr_t>(raw) % alignof(uint16_t) != 0) return false;
    const uint16_t* words = static_cast<const uint16_t*>(raw);
    uint32_t counter = 0;
    for (int block = 0; block < layout.blocks(); ++block) {
        uint32_t blockCounter = 0;
        if (!checkMetadata(words + layout.metadataOffset(block), layout, block, &blockCounter)) return false;
        if (block == 0) counter = blockCounter;
        if (blockCounter != counter) return false;  // blocks of different frames
    }
    FrequencyPlanes bound[2] = {planes[0], planes[1]};
    for (int slot = 0; slot < layout.frequencies(); ++slot) {
        for (int k = 0; k < 4; ++k)
            bound[slot].phase[k] = words + layout.imageOffset(RawLayout::blockOf(slot, k));
        bound[slot].ambient = words + layout.imageOffset(RawLayout::blockOf(slot, kAmbientImage));
    }
    const size_t pixels = size_t(layout.width) * size_t(layout.height);
    if (layout.single)
        kernels->single_frequency(bound[0], limits, 0, pixels, depth, amplitude, confidence);
    else
        kernels->double_frequency(bound[0], bound[1], limits, 0, pixels, depth, amplitude, confidence);
    return true;
}

}  // namespace si4c
}  // namespace Zentrox
