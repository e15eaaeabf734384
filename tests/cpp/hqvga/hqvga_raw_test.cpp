#include <gtest/gtest.h>

#include "device/ZentroxDeviceHQVGA.h"
#include "system/Platform.h"
#include "tests/cpp/hqvga/HqvgaFrame.h"

using namespace Zentrox;
using test::HqvgaFrame;
using test::PIXELS;

namespace {

constexpr int16_t UNWRITTEN = 0x7FFF;  // odd, so no decoded sample equals it

// Decodes one raw sample through the device: it is the first sample of plane 0, so raw row 0.
int16_t decodeThroughDevice(int platform, uint16_t raw) {
    ZentroxDeviceHQVGA device(platform);
    HqvgaFrame frame;
    frame.set(0, 0, raw);
    std::vector<int16_t> out(PIXELS * 4, UNWRITTEN);
    EXPECT_TRUE(device.getRawImages(frame.data(), out.data()));
    return out[0];
}

TEST(HqvgaDecode, SampleValues) {
    const struct {
        int platform;
        uint16_t raw;
        int16_t decoded;
    } rows[] = {
        {Platform::UNKNOWN, 0x0000, 0},
        {Platform::UNKNOWN, 0x0001, 16},
        {Platform::UNKNOWN, 0x0400, -16384},
        {Platform::UNKNOWN, 0x03FF, 16368},
        {Platform::UNKNOWN, 0x0FFF, -16},
        {Platform::UNKNOWN, 0x07FF, -16},
        {Platform::UNKNOWN, 0xF801, 16},  // bits above bit 10 are ignored
        {Platform::UNKNOWN, 0x1000, 0},
        {Platform::JETSON, 0x1000, 4096},
        {Platform::JETSON, 0x4000, -16384},
        {Platform::JETSON, 0x3FF0, 16368},
        {Platform::JETSON, 0x000F, 0},  // the four bits below the shift are dropped
        {Platform::JETSON, 0xFFFF, -16},
        {Platform::JETSON_NANO, 0x1000, 0},
        {Platform::RASPBERRY_PI_5, 0x0400, -16384},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(decodeThroughDevice(row.platform, row.raw), row.decoded)
            << "platform " << row.platform << " raw 0x" << std::hex << row.raw;
    }
}

TEST(HqvgaDecode, ShiftDependsOnThePlatformCodeAlone) {
    for (int platform = -1; platform <= 9; ++platform) {
        EXPECT_EQ(ZentroxDeviceHQVGA(platform).sampleShift(), platform == Platform::JETSON ? 4 : 0)
            << platform;
    }
}

TEST(HqvgaDecode, EveryRawValueMatchesTheShiftedSixteenBitForm) {
    // The same decoding written another way: the low 16 bits of (v >> shift) << 5 as a signed value,
    // halved arithmetically.
    for (int shift : {0, 4}) {
        for (uint32_t v = 0; v <= 0xFFFF; ++v) {
            const auto wide = static_cast<int16_t>(static_cast<uint16_t>((v >> shift) << 5));
            const int expected = wide >= 0 ? wide / 2 : -((-wide) / 2);  // wide is even: exact halving
            ASSERT_EQ(hqvgaDecodeSample(static_cast<uint16_t>(v), static_cast<uint8_t>(shift)), expected)
                << "v " << v << " shift " << shift;
        }
    }
}

TEST(HqvgaRaw, RowsInterleaveThePlanes) {
    for (int platform : {Platform::UNKNOWN, Platform::JETSON}) {
        ZentroxDeviceHQVGA device(platform);
        HqvgaFrame frame;
        uint32_t seed = 99u + platform;
        for (auto& b : frame.bytes) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<uint8_t>(seed >> 16);
        }
        std::vector<int16_t> raw(PIXELS * 4, UNWRITTEN);
        ASSERT_TRUE(device.getRawImages(frame.data(), raw.data()));
        for (int y = 0; y < 180; ++y) {
            for (int k = 0; k < 4; ++k) {
                for (int x = 0; x < 240; ++x) {
                    const int in = 2 * (k * PIXELS + 240 * y + x);
                    const auto sample = static_cast<uint16_t>(frame.bytes[in] | frame.bytes[in + 1] << 8);
                    ASSERT_EQ(raw[960 * y + 240 * k + x], hqvgaDecodeSample(sample, device.sampleShift()))
                        << "platform " << platform << " row " << 4 * y + k << " x " << x;
                }
            }
        }
    }
}

TEST(HqvgaRaw, OneMarkedSampleLandsInItsRow) {
    const struct {
        int plane, y, x;
    } marks[] = {{0, 0, 0}, {1, 0, 239}, {2, 5, 7}, {3, 179, 239}, {3, 0, 0}, {0, 179, 0}};
    for (const auto& m : marks) {
        ZentroxDeviceHQVGA device(0);
        HqvgaFrame frame;
        frame.set(m.plane, 240 * m.y + m.x, HqvgaFrame::encode(-3));
        std::vector<int16_t> raw(PIXELS * 4, UNWRITTEN);
        ASSERT_TRUE(device.getRawImages(frame.data(), raw.data()));
        const int at = (4 * m.y + m.plane) * 240 + m.x;
        for (int j = 0; j < PIXELS * 4; ++j) {
            ASSERT_EQ(raw[j], j == at ? -48 : 0)
                << "plane " << m.plane << " y " << m.y << " x " << m.x << " at " << j;
        }
    }
}

TEST(HqvgaRaw, NullBuffersAreRefused) {
    ZentroxDeviceHQVGA device(0);
    HqvgaFrame frame;
    std::vector<int16_t> raw(PIXELS * 4, UNWRITTEN);
    EXPECT_FALSE(device.getRawImages(nullptr, raw.data()));
    EXPECT_FALSE(device.getRawImages(frame.data(), nullptr));
    EXPECT_EQ(raw[0], UNWRITTEN);
}

}  // namespace
