// Continuous-wave encoding of a scene map (ZentroxScene.h) into the four phase images of a 240 x 180
// class module, as the HQVGA depth device decodes them.
//
// Units. A "count" is one step of the 11-bit two's-complement value that the device reads from the
// low 11 bits of a 12-bit sample word (-1024 ... 1023); the device scales it by 16. Samples of other
// bit widths are the words that the USB transport's normalisation turns back into these 12-bit words:
// at b bits below 12 a step is 2^(12 - b) counts, above 12 the extra low bits hold finer steps that
// the normalisation discards.
//
// Physics. A surface at distance d (mm) returns the modulation with the phase 4 pi f d / c
// (c = 3e8 m/s) and an amplitude A = amplitude_at_1m * reflectivity * (1000 / d)^2 counts, capped so
// that no sample saturates (a module's exposure keeps the signal in range). Ambient light adds the
// same offset B to all four samples; noise adds an independent normal deviation to each sample.
// The four samples, for the phase order that the device pairs with each range:
//   range 4000 (37.5 MHz): P0 = B - A sin, P1 = B - A cos, P2 = B + A sin, P3 = B + A cos
//                          so that Q = P2 - P0, I = P3 - P1 and atan2(Q, I) is the phase;
//   range 2000 (75 MHz):   P0 = B - A cos, P1 = B + A sin, P2 = B + A cos, P3 = B - A sin
//                          so that Q = P1 - P3, I = P2 - P0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ZentroxScene.h"

namespace Zentrox {

constexpr double SPEED_OF_LIGHT = 3.0e8;         // m/s
constexpr double FREQUENCY_RANGE_4000 = 37.5e6;  // Hz: 4000 mm unambiguous range
constexpr double FREQUENCY_RANGE_2000 = 75.0e6;  // Hz: 2000 mm unambiguous range
constexpr int32_t SAMPLE_COUNT_MIN = -1024;
constexpr int32_t SAMPLE_COUNT_MAX = 1023;

// Which samples carry the sine and the cosine term.
enum class PhaseOrder : uint8_t {
    RANGE_4000 = 0,
    RANGE_2000 = 1,
};

struct PhaseModel {
    double frequency = FREQUENCY_RANGE_4000;  // Hz
    PhaseOrder order = PhaseOrder::RANGE_4000;
    double amplitude_at_1m = 2000.0;  // counts returned by reflectivity 1 at 1000 mm
    double ambient = 64.0;            // counts added to every sample
    double noise = 0.0;               // standard deviation of every sample, counts

    // The frequency and phase order of a range in mm: 2000 selects 75 MHz, any other 37.5 MHz.
    static PhaseModel forRange(int range);
};

// Phase of the returned modulation for a distance in mm, reduced to [0, 2 pi).
double modulationPhase(double distance, double frequency);
// Amplitude in counts; 0 for a distance not above 0. Capped at the headroom that the ambient offset
// and three standard deviations of noise leave below the largest count.
double signalAmplitude(double distance, float reflectivity, const PhaseModel& model);
// The four noiseless samples P0 ... P3 in counts (real numbers, not yet quantised).
void phaseSamples(double distance, float reflectivity, const PhaseModel& model, double samples[4]);

// Counts in fixed point with 8 fractional bits, saturated to +-2^20 counts.
int32_t countsToQ8(double counts);

// The sample word of `bit_width` bits (8 to 16) whose normalisation and decoding give `q8` rounded to
// the nearest representable count, clamped to the representable range.
inline uint16_t encodeSampleQ8(int32_t q8, unsigned bit_width) {
    const int shift = 20 - static_cast<int>(bit_width);  // Q8 counts to steps of the word
    const int32_t half = shift > 8 ? (int32_t{1} << (shift - 1)) : (int32_t{1} << 7);
    int32_t step = (q8 + half) >> shift;
    const int32_t limit = int32_t{1} << (bit_width - 2);
    step = step < -limit ? -limit : (step > limit - 1 ? limit - 1 : step);
    return static_cast<uint16_t>(static_cast<uint32_t>(step) & ((1u << bit_width) - 1u));
}
inline uint16_t encodeSample(double counts, unsigned bit_width) {
    return encodeSampleQ8(countsToQ8(counts), bit_width);
}
inline bool isEncodableBitWidth(unsigned bit_width) {
    return bit_width >= 8 && bit_width <= 16;
}
// Bytes per sample: 1 up to 8 bits, else 2 (little-endian).
inline size_t bytesPerSample(unsigned bit_width) {
    return bit_width > 8 ? 2 : 1;
}

// A fixed table of normal deviates (Q8 counts) drawn once from a seed. An image reads it in blocks
// of BLOCK consecutive deviates, each block at a random place chosen by a generator seeded from the
// image's key: one table read per sample, cache-friendly, and the same seed and key give the same
// noise.
class NoiseTable {
  public:
    static constexpr uint32_t SIZE = 1u << 16;
    static constexpr uint32_t BLOCK = 64;
    NoiseTable() = default;
    NoiseTable(double sigma_counts, uint64_t seed);
    bool empty() const { return table.empty(); }
    int32_t at(uint32_t position) const { return table[position & (SIZE - 1)]; }
    // The generator state of the image with `key`.
    uint64_t streamFor(uint64_t key) const;
    // BLOCK consecutive deviates at the place the generator picks next.
    const int32_t* nextBlock(uint64_t& stream) const;

  private:
    std::vector<int32_t> table;  // SIZE deviates, then the first BLOCK again so that blocks never wrap
    uint64_t seed = 0;
};

// The four phase images of one scene map under one model, precomputed in fixed point so that an
// image costs one pass of quantisation (plus one table read per sample with noise).
class PhaseEncoder {
  public:
    // `footprint` > 1: the map holds footprint x footprint rays per pixel (a map of footprint times
    // the image's width and height), and each pixel's samples are the mean of its rays' samples, as
    // a real pixel integrates the light over its area: across a depth edge it mixes the returns of
    // both surfaces. A map whose size is no multiple of the footprint leaves an empty encoder.
    void prepare(const SceneMap& map, const PhaseModel& model, uint32_t footprint = 1);
    uint32_t width() const { return mapWidth; }
    uint32_t height() const { return mapHeight; }
    size_t imageBytes(unsigned bit_width) const {
        return size_t{mapWidth} * mapHeight * bytesPerSample(bit_width);
    }
    // Writes phase image `k` (0 to 3) into `out` (imageBytes(bit_width) bytes), noise from `noise`
    // for the image `key` when a non-empty table is given. False, writing nothing, for a k above 3 or
    // a bit width outside 8 to 16.
    bool writeImage(unsigned k, unsigned bit_width, uint8_t* out, const NoiseTable* noise = nullptr,
                    uint64_t key = 0) const;
    // The noiseless sample of image k at pixel i, Q8 counts.
    int32_t cleanQ8(unsigned k, size_t i) const { return clean[k][i]; }

  private:
    uint32_t mapWidth = 0;
    uint32_t mapHeight = 0;
    std::vector<int32_t> clean[4];
};

}  // namespace Zentrox
