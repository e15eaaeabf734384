// The raw layout's metadata rows, the calibration blob and the raw-frame renderer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "si4c_format.h"
#include "si4c_render.h"
#include "tests/fakes/VgaFrames.h"

using namespace Zentrox;
using namespace Zentrox::si4c;

TEST(RawLayout, GeometryOfBothModes) {
    const RawLayout single{640, 480, true}, dual{320, 240, false};
    EXPECT_EQ(single.blocks(), 5);
    EXPECT_EQ(single.rawHeight(), 2405);
    EXPECT_EQ(dual.blocks(), 10);
    EXPECT_EQ(dual.rawHeight(), 2410);
    EXPECT_EQ(dual.bytes(), 320u * 2410u * 2u);
    EXPECT_EQ(single.imageOffset(2), 2u * 481u * 640u + 640u);
    EXPECT_EQ(RawLayout::blockOf(1, kAmbientImage), 9);
}

TEST(Frequencies, RangesFollowTheSpeedOfLight) {
    EXPECT_NEAR(rangeMm(frequencyHz(true, 0)), 1250.0, 1e-9);
    EXPECT_NEAR(rangeMm(frequencyHz(false, 0)), 1500.0, 1e-9);
    EXPECT_NEAR(rangeMm(frequencyHz(false, 1)), 2250.0, 1e-9);
    // The combined range is a whole number of wraps of both.
    EXPECT_NEAR(std::fmod(kDoubleRangeMm, rangeMm(frequencyHz(false, 0))), 0.0, 1e-9);
    EXPECT_NEAR(std::fmod(kDoubleRangeMm, rangeMm(frequencyHz(false, 1))), 0.0, 1e-9);
}

TEST(Metadata, RoundTripAndEveryFieldChecked) {
    const RawLayout layout{320, 240, false};
    std::vector<uint16_t> row(320);
    writeMetadata(row.data(), layout, 7, 0x123456);
    uint32_t counter = 0;
    ASSERT_TRUE(checkMetadata(row.data(), layout, 7, &counter));
    EXPECT_EQ(counter, 0x123456u);
    for (uint16_t w : row)
        EXPECT_LE(w, 0xFFF);
    EXPECT_EQ(row[META_FREQUENCY], 1);
    EXPECT_EQ(row[META_IMAGE], 2);
    // Another block position, another mode or another size does not accept the row.
    EXPECT_FALSE(checkMetadata(row.data(), layout, 6, nullptr));
    EXPECT_FALSE(checkMetadata(row.data(), RawLayout{320, 240, true}, 7, nullptr));
    EXPECT_FALSE(checkMetadata(row.data(), RawLayout{640, 240, false}, 7, nullptr));
    // Any single changed word before the check word is detected.
    for (int w = 0; w <= META_CHECK; ++w) {
        std::vector<uint16_t> bad = row;
        bad[w] ^= 0x1;
        EXPECT_FALSE(checkMetadata(bad.data(), layout, 7, nullptr)) << "word " << w;
    }
}

TEST(Crc32, StandardCheckValue) {
    const char* text = "123456789";
    EXPECT_EQ(crc32(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
}

TEST(CalibrationBlob, RoundTrip) {
    std::vector<uint8_t> blob = calibrationFor(false, 640, 480, 0.25f, -0.5f, 1.5f);
    ASSERT_EQ(blob.size(), 512u);
    EXPECT_EQ(blob[0] | blob[1] << 8, 512);  // the length word the module-memory reader uses
    Calibration cal;
    const char* reason = nullptr;
    ASSERT_TRUE(parseCalibrationBlob(blob.data(), blob.size(), cal, &reason)) << reason;
    EXPECT_EQ(cal.width, 640);
    EXPECT_EQ(cal.height, 480);
    ASSERT_EQ(cal.count, 2);
    const CalibrationEntry* slow = cal.find(66667);
    ASSERT_NE(slow, nullptr);
    EXPECT_FLOAT_EQ(slow->phase_offset_rad, -0.5f);
    EXPECT_FLOAT_EQ(slow->amplitude_gain, 1.5f);
    EXPECT_EQ(cal.find(120000), nullptr);
    // Larger blobs (up to the module's 16384 bytes) carry their own length.
    std::vector<uint8_t> big = calibrationFor(true, 640, 480, 0.1f, 0.0f, 1.0f, 16384);
    ASSERT_EQ(big.size(), 16384u);
    EXPECT_TRUE(parseCalibrationBlob(big.data(), big.size(), cal, nullptr));
}

TEST(CalibrationBlob, MalformedBlobsAreRefusedWithAReason) {
    const std::vector<uint8_t> good = calibrationFor(true, 640, 480, 0.3f);
    auto refix = [](std::vector<uint8_t>& b) {  // keeps the checksum right after a deliberate edit
        uint32_t crc = crc32(b.data(), b.size() - 4);
        std::memcpy(&b[b.size() - 4], &crc, 4);
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> (*make)(const std::vector<uint8_t>&, decltype(refix)&);
        const char* reason;
    };
    const Case cases[] = {
        {"wrong magic",
         [](const std::vector<uint8_t>& g, decltype(refix)& fix) {
             auto b = g;
             b[4] ^= 0xFF;
             fix(b);
             return b;
         },
         "wrong magic"},
        {"checksum",
         [](const std::vector<uint8_t>& g, decltype(refix)&) {
             auto b = g;
             b[40] ^= 0x01;
             return b;
         },
         "checksum mismatch"},
        {"truncated",
         [](const std::vector<uint8_t>& g, decltype(refix)&) {
             return std::vector<uint8_t>(g.begin(), g.begin() + 300);
         },
         "size does not match its length field"},
        {"too short",
         [](const std::vector<uint8_t>& g, decltype(refix)&) {
             return std::vector<uint8_t>(g.begin(), g.begin() + 20);
         },
         "size out of range"},
        {"version",
         [](const std::vector<uint8_t>& g, decltype(refix)& fix) {
             auto b = g;
             b[2] = 2;
             fix(b);
             return b;
         },
         "unknown version"},
        {"entry count",
         [](const std::vector<uint8_t>& g, decltype(refix)& fix) {
             auto b = g;
             b[12] = 9;
             fix(b);
             return b;
         },
         "bad entry table"},
        {"zero gain",
         [](const std::vector<uint8_t>& g, decltype(refix)& fix) {
             auto b = g;
             std::memset(&b[16 + 8], 0, 4);
             fix(b);
             return b;
         },
         "entry out of range"},
        {"no geometry",
         [](const std::vector<uint8_t>& g, decltype(refix)& fix) {
             auto b = g;
             std::memset(&b[8], 0, 4);
             fix(b);
             return b;
         },
         "empty geometry"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bad = c.make(good, refix);
        Calibration cal;
        cal.count = 42;
        const char* reason = nullptr;
        EXPECT_FALSE(parseCalibrationBlob(bad.data(), bad.size(), cal, &reason)) << c.name;
        EXPECT_STREQ(reason, c.reason) << c.name;
        EXPECT_EQ(cal.count, 42) << c.name << ": a refused blob leaves the output alone";
    }
    Calibration cal;
    EXPECT_FALSE(parseCalibrationBlob(nullptr, 512, cal, nullptr));
    EXPECT_TRUE(writeCalibrationBlob(Calibration{}).empty()) << "no entries: nothing to write";
}

TEST(Renderer, WritesValidMetadataAndThePhaseModel) {
    VgaScene scene(32, 4, true, 312.5f, 1.0f);  // a quarter of the 1250 mm range: phase 90 degrees
    RenderParams params;
    params.signal_at_1m = 100.0f;  // amplitude 100 / 0.3125^2 = 1024
    params.ambient = 50.0f;
    params.frame_counter = 77;
    std::vector<uint16_t> raw = scene.render(params);
    for (int b = 0; b < 5; ++b) {
        uint32_t counter = 0;
        ASSERT_TRUE(checkMetadata(&raw[scene.layout.metadataOffset(b)], scene.layout, b, &counter));
        EXPECT_EQ(counter, 77u);
    }
    const uint16_t* p[5];
    for (int b = 0; b < 5; ++b)
        p[b] = &raw[scene.layout.imageOffset(b)];
    // A = ambient + a + a cos(phi - k 90 deg) with phi = 90 deg.
    EXPECT_EQ(p[0][5], 50 + 1024);
    EXPECT_EQ(p[1][5], 50 + 2048);
    EXPECT_EQ(p[2][5], 50 + 1024);
    EXPECT_EQ(p[3][5], 50);
    EXPECT_EQ(p[4][5], 50);
}

TEST(Renderer, ClampsToTwelveBitsAndHandlesNoReturn) {
    VgaScene scene(16, 2, true, 100.0f, 1.0f);  // far too bright at 10 cm
    scene.distance_mm[1] = 0.0f;                // no return at all
    std::vector<uint16_t> raw = scene.render();
    const uint16_t* p1 = &raw[scene.layout.imageOffset(1)];
    uint16_t top = 0;
    for (int b = 0; b < 4; ++b)
        top = std::max(top, raw[scene.layout.imageOffset(b)]);
    EXPECT_EQ(top, kMaxSample);
    EXPECT_EQ(p1[1], 100);  // only the ambient light
}

TEST(Renderer, NoiseIsDeterministicPerSeedAndFrame) {
    VgaScene scene(16, 8, false, 2000.0f);
    RenderParams params;
    params.noise = 5.0f;
    params.seed = 3;
    params.frame_counter = 10;
    const std::vector<uint16_t> a = scene.render(params), b = scene.render(params);
    EXPECT_EQ(a, b);
    params.frame_counter = 11;
    const std::vector<uint16_t> c = scene.render(params);
    EXPECT_NE(a, c);
    params.noise = 0.0f;
    const std::vector<uint16_t> quiet1 = scene.render(params);
    params.seed = 99;
    EXPECT_EQ(quiet1, scene.render(params));
    // The noise has about the asked spread.
    double sum = 0, sq = 0;
    size_t n = 0;
    for (int blk = 0; blk < 10; ++blk)
        for (size_t i = 0; i < scene.pixels(); ++i, ++n) {
            const double d =
                double(a[scene.layout.imageOffset(blk) + i]) - quiet1[scene.layout.imageOffset(blk) + i];
            sum += d;
            sq += d * d;
        }
    const double mean = sum / n, sd = std::sqrt(sq / n - mean * mean);
    EXPECT_NEAR(mean, 0.0, 1.0);
    EXPECT_NEAR(sd, 5.0, 1.0);
}

TEST(Renderer, StreamingRendererMatchesOneOffFramesAndOnlyTheCounterChanges) {
    for (float noise : {0.0f, 4.0f}) {
        SCOPED_TRACE(noise);
        VgaScene scene(48, 6, false, 1800.0f);
        RenderParams params;
        params.noise = noise;
        params.phase_offset_rad[1] = 0.5f;
        RawFrameRenderer renderer;
        renderer.prepare(scene.layout, scene.distance_mm.data(), scene.reflectivity.data(), params);
        std::vector<uint16_t> streamed(scene.layout.samples(), 0xBEEF);
        for (uint32_t counter : {0u, 1u, 4095u, 4096u, 0xFFFFFFu}) {
            renderer.render(counter, streamed.data());
            params.frame_counter = counter;
            EXPECT_EQ(streamed, scene.render(params)) << counter;
            uint32_t seen = 0;
            ASSERT_TRUE(checkMetadata(&streamed[scene.layout.metadataOffset(9)], scene.layout, 9, &seen));
            EXPECT_EQ(seen, counter);
        }
        std::vector<uint16_t> a(scene.layout.samples()), b(scene.layout.samples());
        renderer.render(10, a.data());
        renderer.render(11, b.data());
        size_t differing = 0;
        for (int blk = 0; blk < 10; ++blk)
            for (size_t i = 0; i < scene.pixels(); ++i)
                differing += a[scene.layout.imageOffset(blk) + i] != b[scene.layout.imageOffset(blk) + i];
        if (noise == 0.0f)
            EXPECT_EQ(differing, 0u) << "without noise the images are the same every frame";
        else
            EXPECT_GT(differing, scene.pixels()) << "noise differs from frame to frame";
    }
}
