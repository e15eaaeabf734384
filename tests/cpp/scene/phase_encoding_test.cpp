#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "ZentroxPhaseEncoding.h"
#include "tests/fakes/HqvgaPhaseDecode.h"

using namespace Zentrox;

namespace {

// Depth and amplitude that transport and device make of one pixel's four samples at a bit width.
Reference::PixelDepth decodeWords(const uint16_t words[4], unsigned bit_width, int range) {
    int32_t p[4];
    for (int k = 0; k < 4; ++k)
        p[k] = Reference::decodeSample(Reference::normaliseTo12(words[k], bit_width));
    return Reference::pixelDepth(p, range);
}

double wrappedError(double depth, double expected, double range) {
    double e = std::fmod(depth - expected, range);
    if (e > range / 2) e -= range;
    if (e < -range / 2) e += range;
    return std::fabs(e);
}

TEST(PhaseEncoding, RangeSelectsFrequencyAndOrder) {
    const struct {
        int range;
        double frequency;
        PhaseOrder order;
    } rows[] = {{2000, 75e6, PhaseOrder::RANGE_2000},
                {4000, 37.5e6, PhaseOrder::RANGE_4000},
                {3000, 37.5e6, PhaseOrder::RANGE_4000},
                {0, 37.5e6, PhaseOrder::RANGE_4000}};
    for (const auto& row : rows) {
        const PhaseModel model = PhaseModel::forRange(row.range);
        EXPECT_EQ(model.frequency, row.frequency) << row.range;
        EXPECT_EQ(model.order, row.order) << row.range;
    }
    // 4 pi f d / c: a full turn at the unambiguous range, a quarter at a quarter of it.
    EXPECT_NEAR(modulationPhase(1000.0, 37.5e6), M_PI / 2, 1e-12);
    EXPECT_NEAR(modulationPhase(500.0, 75e6), M_PI / 2, 1e-12);
    EXPECT_NEAR(modulationPhase(5000.0, 37.5e6), M_PI / 2, 1e-9);
    EXPECT_NEAR(modulationPhase(4000.0, 37.5e6), 0.0, 1e-9);
}

TEST(PhaseEncoding, SampleWordsRoundTripThroughNormalisationAndDecoding) {
    // Every count at every bit width: the word decodes to the count rounded to the word's step.
    for (unsigned bits : {8u, 10u, 12u, 14u, 16u}) {
        const int step = bits < 12 ? 1 << (12 - bits) : 1;
        for (int count = SAMPLE_COUNT_MIN; count <= SAMPLE_COUNT_MAX; ++count) {
            for (double offset : {-0.49, 0.0, 0.49}) {
                const double value = count + offset;
                const uint16_t word = encodeSample(value, bits);
                ASSERT_LT(word, 1u << bits);
                const int decoded = Reference::decodeSample(Reference::normaliseTo12(word, bits)) / 16;
                int expected = static_cast<int>(std::floor(value / step + 0.5)) * step;
                if (expected > SAMPLE_COUNT_MAX) expected = (SAMPLE_COUNT_MAX + 1) - step;
                ASSERT_EQ(decoded, expected) << "bits " << bits << " value " << value;
            }
        }
    }
    const struct {
        double counts;
        unsigned bits;
        uint16_t word;
    } rows[] = {
        {0, 12, 0x000},    {1, 12, 0x001},     {-1, 12, 0xFFF},    {1023, 12, 0x3FF},  {-1024, 12, 0xC00},
        {5000, 12, 0x3FF}, {-5000, 12, 0xC00}, {4, 10, 0x001},     {-4, 10, 0x3FF},    {16, 8, 0x01},
        {-16, 8, 0xFF},    {1.0, 14, 0x0006},  {-0.6, 14, 0x3FFF}, {-0.4, 14, 0x0000},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(encodeSample(row.counts, row.bits), row.word) << row.counts << " at " << row.bits;
    }
}

TEST(PhaseEncoding, FourSamplesDecodeToTheDistanceAtBothRanges) {
    for (int range : {4000, 2000}) {
        PhaseModel model = PhaseModel::forRange(range);
        model.amplitude_at_1m = 800.0;
        model.ambient = 40.0;
        for (double distance = 100.0; distance < range; distance += 37.0) {
            // Reflectivity scaled so that every distance returns 800 counts.
            const float reflectivity = static_cast<float>((distance / 1000.0) * (distance / 1000.0));
            if (reflectivity > 1.0f) continue;
            double samples[4];
            phaseSamples(distance, reflectivity, model, samples);
            uint16_t words[4];
            for (int k = 0; k < 4; ++k)
                words[k] = encodeSample(samples[k], 12);
            const auto result = decodeWords(words, 12, range);
            // Each sample is off by half a count at most: within 1 mm at 800 counts.
            EXPECT_LT(wrappedError(result.depth, distance, range), 1.0) << range << " " << distance;
            EXPECT_NEAR(result.amplitude, 16.0 * 800.0, 16.0) << range << " " << distance;
        }
    }
}

TEST(PhaseEncoding, AmplitudeFallsWithDistanceAndReflectivityAndStaysBelowSaturation) {
    PhaseModel model;
    model.amplitude_at_1m = 2000.0;
    model.ambient = 100.0;
    model.noise = 5.0;
    EXPECT_DOUBLE_EQ(signalAmplitude(2000.0, 1.0f, model), 500.0);
    EXPECT_DOUBLE_EQ(signalAmplitude(4000.0, 1.0f, model), 125.0);
    EXPECT_DOUBLE_EQ(signalAmplitude(2000.0, 0.5f, model), 250.0);
    // Close and bright: capped at what ambient and three deviations of noise leave free.
    EXPECT_DOUBLE_EQ(signalAmplitude(500.0, 1.0f, model), 1023.0 - 100.0 - 15.0);
    EXPECT_DOUBLE_EQ(signalAmplitude(0.0, 1.0f, model), 0.0);
    EXPECT_DOUBLE_EQ(signalAmplitude(2000.0, 0.0f, model), 0.0);
    model.ambient = -2000.0;
    EXPECT_DOUBLE_EQ(signalAmplitude(2000.0, 1.0f, model), 0.0);
}

TEST(PhaseEncoding, AmbientShiftsAllSamplesAndLeavesThePhase) {
    PhaseModel dark = PhaseModel::forRange(4000);
    dark.ambient = 0.0;
    PhaseModel bright = dark;
    bright.ambient = 300.0;
    // 263 counts: below the cap of either model, so only the offset differs.
    ASSERT_DOUBLE_EQ(signalAmplitude(1234.0, 0.2f, dark), signalAmplitude(1234.0, 0.2f, bright));
    double a[4], b[4];
    phaseSamples(1234.0, 0.2f, dark, a);
    phaseSamples(1234.0, 0.2f, bright, b);
    double mean = 0;
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(b[k] - a[k], 300.0, 1e-9) << k;
        mean += b[k] / 4;
    }
    EXPECT_NEAR(mean, 300.0, 1e-9);
    uint16_t darkWords[4], brightWords[4];
    for (int k = 0; k < 4; ++k) {
        darkWords[k] = encodeSample(a[k], 12);
        brightWords[k] = encodeSample(b[k], 12);
    }
    EXPECT_NEAR(decodeWords(brightWords, 12, 4000).depth, decodeWords(darkWords, 12, 4000).depth, 1e-9);
    EXPECT_NEAR(decodeWords(brightWords, 12, 4000).depth, 1234.0, 2.0);
    // A miss returns only the ambient light: all four samples equal, so depth and amplitude are 0.
    phaseSamples(0.0, 0.0f, bright, b);
    for (int k = 0; k < 4; ++k)
        EXPECT_DOUBLE_EQ(b[k], 300.0);
}

SceneMap flatMap(uint32_t w, uint32_t h, float distance, float reflectivity) {
    SceneMap map;
    map.width = w;
    map.height = h;
    map.distance.assign(size_t{w} * h, distance);
    map.reflectivity.assign(size_t{w} * h, reflectivity);
    return map;
}

TEST(PhaseEncoder, ImagesMatchTheScalarEncodingAtEveryBitWidth) {
    SceneMap map = flatMap(16, 8, 1500.0f, 0.9f);
    for (size_t i = 0; i < map.distance.size(); ++i)
        map.distance[i] += 13.0f * i;  // distinct pixels
    for (int range : {4000, 2000}) {
        const PhaseModel model = PhaseModel::forRange(range);
        PhaseEncoder encoder;
        encoder.prepare(map, model);
        for (unsigned bits : {8u, 10u, 12u, 14u}) {
            std::vector<uint8_t> image(encoder.imageBytes(bits));
            ASSERT_EQ(image.size(), 16u * 8u * (bits > 8 ? 2 : 1));
            for (unsigned k = 0; k < 4; ++k) {
                ASSERT_TRUE(encoder.writeImage(k, bits, image.data()));
                for (size_t i = 0; i < map.distance.size(); ++i) {
                    double samples[4];
                    phaseSamples(map.distance[i], map.reflectivity[i], model, samples);
                    ASSERT_EQ(Reference::wordAt(image.data(), i, bits), encodeSample(samples[k], bits))
                        << "range " << range << " bits " << bits << " k " << k << " pixel " << i;
                }
            }
        }
    }
}

// A footprint of 2: each pixel's samples are the mean of its four rays' samples, so a pixel whose rays
// see two surfaces returns the mean of their phasors (a depth between them), and a map whose size is
// no multiple of the footprint gives an empty encoder.
TEST(PhaseEncoder, AFootprintMixesTheRaysOfEachPixel) {
    SceneMap map = flatMap(4, 2, 2000.0f, 0.6f);
    for (uint32_t y = 0; y < 2; ++y) {
        map.distance[y * 4 + 0] = map.distance[y * 4 + 1] = 1300.0f;  // pixel 0: near surface only
        map.distance[y * 4 + 2] = 1300.0f;                            // pixel 1: half and half
        map.reflectivity[y * 4 + 0] = map.reflectivity[y * 4 + 1] = map.reflectivity[y * 4 + 2] = 0.8f;
    }
    const PhaseModel model = PhaseModel::forRange(4000);
    PhaseEncoder encoder;
    encoder.prepare(map, model, 2);
    ASSERT_EQ(encoder.width(), 2u);
    ASSERT_EQ(encoder.height(), 1u);
    double near[4], far[4];
    phaseSamples(1300.0, 0.8f, model, near);
    phaseSamples(2000.0, 0.6f, model, far);
    for (unsigned k = 0; k < 4; ++k) {
        EXPECT_EQ(encoder.cleanQ8(k, 0), countsToQ8(near[k])) << k;
        EXPECT_EQ(encoder.cleanQ8(k, 1), countsToQ8((near[k] + far[k]) / 2.0)) << k;
    }
    const auto depthOf = [&](size_t i) {
        const double q = encoder.cleanQ8(2, i) - encoder.cleanQ8(0, i);
        const double in = encoder.cleanQ8(3, i) - encoder.cleanQ8(1, i);
        const double phase = std::fmod(std::atan2(q, in) + 2 * M_PI, 2 * M_PI);
        return phase * SPEED_OF_LIGHT / (4 * M_PI * model.frequency) * 1000.0;
    };
    EXPECT_NEAR(depthOf(0), 1300.0, 0.5);
    EXPECT_GT(depthOf(1), 1350.0);  // the brighter near surface pulls the mixed pixel its way
    EXPECT_LT(depthOf(1), 1650.0);
    encoder.prepare(flatMap(5, 4, 1000.0f, 0.5f), model, 2);
    EXPECT_EQ(encoder.width() * encoder.height(), 0u);
}

TEST(PhaseEncoder, RefusesAnUnknownImageOrBitWidthWithoutWriting) {
    PhaseEncoder encoder;
    encoder.prepare(flatMap(4, 4, 1000.0f, 0.5f), PhaseModel{});
    std::vector<uint8_t> image(64, 0xAB);
    EXPECT_FALSE(encoder.writeImage(4, 12, image.data()));
    EXPECT_FALSE(encoder.writeImage(0, 7, image.data()));
    EXPECT_FALSE(encoder.writeImage(0, 17, image.data()));
    for (uint8_t b : image)
        ASSERT_EQ(b, 0xAB);
}

TEST(NoiseTable, SeededNormalDeviatesWithoutBias) {
    const NoiseTable table(2.0, 7);
    ASSERT_FALSE(table.empty());
    double sum = 0, squares = 0;
    for (uint32_t i = 0; i < NoiseTable::SIZE; ++i) {
        const double v = table.at(i) / 256.0;
        sum += v;
        squares += v * v;
    }
    const double mean = sum / NoiseTable::SIZE;
    EXPECT_NEAR(mean, 0.0, 0.001);
    EXPECT_NEAR(std::sqrt(squares / NoiseTable::SIZE - mean * mean), 2.0, 0.04);

    const NoiseTable same(2.0, 7), other(2.0, 8);
    int differing = 0;
    for (uint32_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(table.at(i), same.at(i));
        differing += table.at(i) != other.at(i);
    }
    EXPECT_GT(differing, 900);
    EXPECT_TRUE(NoiseTable(0.0, 7).empty());
    EXPECT_TRUE(NoiseTable().empty());
}

TEST(PhaseEncoder, NoiseIsReproducibleByKeyAndUnbiasedInDepth) {
    const SceneMap map = flatMap(64, 64, 1800.0f, 1.0f);
    PhaseModel model = PhaseModel::forRange(4000);
    model.noise = 3.0;
    PhaseEncoder encoder;
    encoder.prepare(map, model);
    const NoiseTable noise(model.noise, 42);
    const size_t bytes = encoder.imageBytes(12);
    std::vector<uint8_t> a(bytes), b(bytes), clean(bytes);
    encoder.writeImage(1, 12, a.data(), &noise, 5);
    encoder.writeImage(1, 12, b.data(), &noise, 5);
    EXPECT_EQ(a, b);
    encoder.writeImage(1, 12, b.data(), &noise, 6);
    EXPECT_NE(a, b);
    encoder.writeImage(1, 12, clean.data());
    EXPECT_NE(a, clean);
    const NoiseTable none;
    encoder.writeImage(1, 12, b.data(), &none, 5);
    EXPECT_EQ(b, clean);

    // Mean depth over a frame's pixels with noise stays on the wall.
    std::vector<uint8_t> images[4];
    for (unsigned k = 0; k < 4; ++k) {
        images[k].resize(bytes);
        encoder.writeImage(k, 12, images[k].data(), &noise, 100 + k);
    }
    double sum = 0, spread = 0;
    for (size_t i = 0; i < map.distance.size(); ++i) {
        uint16_t words[4];
        for (int k = 0; k < 4; ++k)
            words[k] = static_cast<uint16_t>(Reference::wordAt(images[k].data(), i, 12));
        const double depth = decodeWords(words, 12, 4000).depth;
        sum += depth;
        spread += (depth - 1800.0) * (depth - 1800.0);
    }
    const double n = static_cast<double>(map.distance.size());
    EXPECT_NEAR(sum / n, 1800.0, 1.0);
    EXPECT_GT(std::sqrt(spread / n), 0.5);  // the noise reaches the depth
}

}  // namespace

// The noisy pass (built per vector set) gives, sample for sample, the encoding of the clean value
// plus the deviate the generator picks for that block, at every bit width, with clamping at both
// ends reached and a partial last block.
TEST(PhaseEncoder, NoisyImageIsTheSampleBySampleEncoding) {
    const SceneMap map = flatMap(61, 7, 900.0f, 1.0f);  // 427 samples: the last block is partial
    PhaseModel model = PhaseModel::forRange(2000);
    model.noise = 400.0;  // wide enough to reach both clamps
    PhaseEncoder encoder;
    encoder.prepare(map, model);
    const NoiseTable noise(model.noise, 3);
    const size_t pixels = size_t{map.width} * map.height;
    for (unsigned bits : {8u, 10u, 12u, 16u}) {
        for (unsigned k = 0; k < 4; ++k) {
            std::vector<uint8_t> image(encoder.imageBytes(bits));
            ASSERT_TRUE(encoder.writeImage(k, bits, image.data(), &noise, 77 + k));
            uint64_t stream = noise.streamFor(77 + k);
            const int32_t* deviates = nullptr;
            size_t mismatches = 0, lowest = 0, highest = 0;
            const uint16_t top = static_cast<uint16_t>((1u << (bits - 2)) - 1),
                           bottom = static_cast<uint16_t>((1u << bits) - (1u << (bits - 2)));
            for (size_t i = 0; i < pixels; ++i) {
                if (i % NoiseTable::BLOCK == 0) deviates = noise.nextBlock(stream);
                const uint16_t expected =
                    encodeSampleQ8(encoder.cleanQ8(k, i) + deviates[i % NoiseTable::BLOCK], bits);
                const uint16_t got =
                    bits > 8 ? static_cast<uint16_t>(image[2 * i] | image[2 * i + 1] << 8) : image[i];
                mismatches += got != expected;
                lowest += expected == bottom;
                highest += expected == top;
            }
            EXPECT_EQ(mismatches, 0u) << bits << " bits, image " << k;
            if (k == 0) {
                EXPECT_GT(lowest + highest, 0u) << bits << " bits: the clamps were not reached";
            }
        }
    }
}
