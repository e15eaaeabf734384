#include <algorithm>
#include <cmath>
#include <cstring>

#include "ZentroxPhaseEncoding.h"

namespace Zentrox {

namespace {

constexpr double TWO_PI = 6.28318530717958647692;

uint64_t splitMix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Uniform in (0, 1], from the top 53 bits.
double unitInterval(uint64_t bits) {
    return (static_cast<double>(bits >> 11) + 1.0) * 0x1.0p-53;
}

}  // namespace

PhaseModel PhaseModel::forRange(int range) {
    PhaseModel model;
    if (range == 2000) {
        model.frequency = FREQUENCY_RANGE_2000;
        model.order = PhaseOrder::RANGE_2000;
    }
    return model;
}

double modulationPhase(double distance, double frequency) {
    const double phase = std::fmod(2.0 * TWO_PI * frequency * (distance / 1000.0) / SPEED_OF_LIGHT, TWO_PI);
    return phase < 0.0 ? phase + TWO_PI : phase;
}

double signalAmplitude(double distance, float reflectivity, const PhaseModel& model) {
    if (!(distance > 0.0) || !(reflectivity > 0.0f)) return 0.0;
    const double metres = distance / 1000.0;
    const double amplitude = model.amplitude_at_1m * reflectivity / (metres * metres);
    const double headroom = SAMPLE_COUNT_MAX - std::fabs(model.ambient) - 3.0 * model.noise;
    if (!(headroom > 0.0)) return 0.0;
    return amplitude < headroom ? amplitude : headroom;
}

void phaseSamples(double distance, float reflectivity, const PhaseModel& model, double samples[4]) {
    const double a = signalAmplitude(distance, reflectivity, model);
    const double phase = a > 0.0 ? modulationPhase(distance, model.frequency) : 0.0;
    const double s = a * std::sin(phase);
    const double c = a * std::cos(phase);
    const double b = model.ambient;
    if (model.order == PhaseOrder::RANGE_2000) {
        samples[0] = b - c;
        samples[1] = b + s;
        samples[2] = b + c;
        samples[3] = b - s;
    } else {
        samples[0] = b - s;
        samples[1] = b - c;
        samples[2] = b + s;
        samples[3] = b + c;
    }
}

int32_t countsToQ8(double counts) {
    constexpr double LIMIT = 1048576.0;  // 2^20 counts
    if (!(counts > -LIMIT)) return static_cast<int32_t>(-LIMIT * 256.0);
    if (!(counts < LIMIT)) return static_cast<int32_t>(LIMIT * 256.0);
    return static_cast<int32_t>(std::lround(counts * 256.0));
}

NoiseTable::NoiseTable(double sigma_counts, uint64_t seed) : seed(seed) {
    if (!(sigma_counts > 0.0)) return;
    table.resize(SIZE + BLOCK);
    uint64_t state = seed;
    double sum = 0.0;
    std::vector<double> values(SIZE);
    for (uint32_t i = 0; i < SIZE; i += 2) {
        // Box-Muller: two normal deviates from two uniform ones.
        const double radius = std::sqrt(-2.0 * std::log(unitInterval(splitMix64(state++))));
        const double angle = TWO_PI * unitInterval(splitMix64(state++));
        values[i] = radius * std::cos(angle) * sigma_counts;
        values[i + 1] = radius * std::sin(angle) * sigma_counts;
        sum += values[i] + values[i + 1];
    }
    const double mean = sum / SIZE;  // removed, so that noise never biases a mean
    for (uint32_t i = 0; i < SIZE; ++i)
        table[i] = countsToQ8(values[i] - mean);
    for (uint32_t i = 0; i < BLOCK; ++i)
        table[SIZE + i] = table[i];
}

uint64_t NoiseTable::streamFor(uint64_t key) const {
    return splitMix64(seed ^ splitMix64(key));
}

const int32_t* NoiseTable::nextBlock(uint64_t& stream) const {
    // xorshift64*: a few operations per block of deviates.
    stream ^= stream >> 12;
    stream ^= stream << 25;
    stream ^= stream >> 27;
    const uint64_t r = stream * 0x2545F4914F6CDD1Dull;
    return table.data() + ((r >> 32) & (SIZE - 1));
}

void PhaseEncoder::prepare(const SceneMap& map, const PhaseModel& model, uint32_t footprint) {
    mapWidth = 0;
    mapHeight = 0;
    for (auto& plane : clean)
        plane.clear();
    if (footprint == 0 || map.width % footprint != 0 || map.height % footprint != 0) return;
    mapWidth = map.width / footprint;
    mapHeight = map.height / footprint;
    const size_t pixels = size_t{mapWidth} * mapHeight;
    for (auto& plane : clean)
        plane.resize(pixels);
    const double share = 1.0 / (double(footprint) * footprint);
    for (uint32_t y = 0; y < mapHeight; ++y) {
        for (uint32_t x = 0; x < mapWidth; ++x) {
            double sum[4] = {0.0, 0.0, 0.0, 0.0};
            for (uint32_t sy = 0; sy < footprint; ++sy) {
                for (uint32_t sx = 0; sx < footprint; ++sx) {
                    const size_t ray = (size_t{y} * footprint + sy) * map.width + size_t{x} * footprint + sx;
                    double samples[4];
                    phaseSamples(map.distance[ray], map.reflectivity[ray], model, samples);
                    for (int k = 0; k < 4; ++k)
                        sum[k] += samples[k];
                }
            }
            const size_t i = size_t{y} * mapWidth + x;
            for (int k = 0; k < 4; ++k)
                clean[k][i] = countsToQ8(sum[k] * share);
        }
    }
}

namespace {

// The constants of encodeSampleQ8 for one bit width, taken out of the per-sample loop.
struct Quantiser {
    explicit Quantiser(unsigned bit_width)
        : shift(20 - static_cast<int>(bit_width)),
          half(shift > 8 ? (int32_t{1} << (shift - 1)) : (int32_t{1} << 7)),
          limit(int32_t{1} << (bit_width - 2)),
          mask((1u << bit_width) - 1u) {}
    uint16_t operator()(int32_t q8) const {
        int32_t step = (q8 + half) >> shift;
        step = step < -limit ? -limit : (step > limit - 1 ? limit - 1 : step);
        return static_cast<uint16_t>(static_cast<uint32_t>(step) & mask);
    }
    int shift;
    int32_t half;
    int32_t limit;
    uint32_t mask;
};

template <bool WIDE>
inline void put(uint8_t* out, size_t i, uint16_t word) {
    if (WIDE) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        std::memcpy(out + 2 * i, &word, 2);  // one little-endian store
#else
        out[2 * i] = static_cast<uint8_t>(word);
        out[2 * i + 1] = static_cast<uint8_t>(word >> 8);
#endif
    } else {
        out[i] = static_cast<uint8_t>(word);
    }
}

template <bool WIDE>
void quantise(const int32_t* clean, size_t pixels, const Quantiser& q, uint8_t* out) {
    for (size_t i = 0; i < pixels; ++i)
        put<WIDE>(out, i, q(clean[i]));
}

template <bool WIDE>
inline void quantiseNoisyBody(const int32_t* clean, size_t pixels, const Quantiser& q, uint8_t* out,
                              const NoiseTable& noise, uint64_t stream) {
    for (size_t first = 0; first < pixels; first += NoiseTable::BLOCK) {
        const int32_t* deviates = noise.nextBlock(stream);
        const size_t count = std::min<size_t>(NoiseTable::BLOCK, pixels - first);
        for (size_t j = 0; j < count; ++j)
            put<WIDE>(out, first + j, q(clean[first + j] + deviates[j]));
    }
}

// Noise makes every image a fresh pass over all its samples, the kit's main cost when it streams
// as fast as it is read. Where the compiler can, that pass is also built for the wider vector sets
// (whose integer min and max SSE2 lacks) and the CPU's best one is picked when the library loads.
// (Not under a sanitizer: the clones' resolver runs while the program is being relocated, before a
// sanitizer's runtime is ready.)
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__ELF__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define ZENTROX_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define ZENTROX_VECTOR_CLONES
#endif

ZENTROX_VECTOR_CLONES void quantiseNoisyWide(const int32_t* clean, size_t pixels, const Quantiser& q,
                                             uint8_t* out, const NoiseTable& noise, uint64_t stream) {
    quantiseNoisyBody<true>(clean, pixels, q, out, noise, stream);
}

ZENTROX_VECTOR_CLONES void quantiseNoisyNarrow(const int32_t* clean, size_t pixels, const Quantiser& q,
                                               uint8_t* out, const NoiseTable& noise, uint64_t stream) {
    quantiseNoisyBody<false>(clean, pixels, q, out, noise, stream);
}

}  // namespace

bool PhaseEncoder::writeImage(unsigned k, unsigned bit_width, uint8_t* out, const NoiseTable* noise,
                              uint64_t key) const {
    if (k > 3 || !isEncodableBitWidth(bit_width)) return false;
    const size_t pixels = size_t{mapWidth} * mapHeight;
    const Quantiser q(bit_width);
    const bool wide = bytesPerSample(bit_width) == 2;
    if (noise && !noise->empty()) {
        const uint64_t stream = noise->streamFor(key);
        if (wide) {
            quantiseNoisyWide(clean[k].data(), pixels, q, out, *noise, stream);
        } else {
            quantiseNoisyNarrow(clean[k].data(), pixels, q, out, *noise, stream);
        }
    } else if (wide) {
        quantise<true>(clean[k].data(), pixels, q, out);
    } else {
        quantise<false>(clean[k].data(), pixels, q, out);
    }
    return true;
}

}  // namespace Zentrox
