#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "sensor/csi/FrameConverters.h"
#include "tests/cpp/csi/CsiRig.h"

using namespace Zentrox;

namespace {

// Source bytes whose value tells their position.
std::vector<uint8_t> numbered(size_t n, uint8_t salt = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(i * 31 + i / 251 + salt);
    return v;
}

// A source that ends exactly where the mapping would: a heap block of that size (the sanitizer
// builds catch any read beyond it).
std::unique_ptr<uint8_t[]> exact(const std::vector<uint8_t>& bytes) {
    std::unique_ptr<uint8_t[]> p(new uint8_t[bytes.size()]);
    if (!bytes.empty()) std::memcpy(p.get(), bytes.data(), bytes.size());
    return p;
}

TEST(FrameConverters, ChosenByLengthThenPlatform) {
    const struct {
        uint32_t length;
        int platform;
        FrameConverter expected;
    } rows[] = {
        {92160, Platform::JETSON, stripRowPadding},
        {92160, Platform::RASPBERRY_PI_5, stripRowPadding},
        {92160, Platform::RASPBERRY_PI, stripRowPadding},
        {92160, Platform::RADXA_ROCK, stripRowPadding},
        {92160, Platform::UNKNOWN, stripRowPadding},
        {92160, Platform::JETSON_NANO, stripRowPadding},
        {86400, Platform::JETSON, reorderRowPairs},
        {115200, Platform::JETSON, reorderRowPairs},
        {1, Platform::JETSON, reorderRowPairs},
        {66240, Platform::RASPBERRY_PI_5, unpackRaw12},
        {86400, Platform::RASPBERRY_PI, copyFrame},
        {86400, Platform::JETSON_NANO, copyFrame},
        {1, Platform::RADXA_ROCK, copyFrame},
        {92161, Platform::UNKNOWN, copyFrame},
    };
    for (const auto& row : rows)
        EXPECT_EQ(chooseConverter(row.length, row.platform), row.expected) << row.length;
}

TEST(FrameConverters, PaddedRowsGiveTheImageBytesOnly) {
    auto src = numbered(92160);
    std::vector<uint8_t> out(86400 + 16, 0xCC);
    FrameSink sink{out.data(), 86400, 0};
    stripRowPadding(src.data(), src.size(), 240, sink);
    EXPECT_EQ(sink.position, 86400u);
    for (size_t row = 0; row < 180; ++row)
        for (size_t b = 0; b < 480; ++b)
            ASSERT_EQ(out[row * 480 + b], src[row * 512 + b]) << row << " " << b;
    for (size_t i = 86400; i < out.size(); ++i)
        EXPECT_EQ(out[i], 0xCC);
}

TEST(FrameConverters, RowPairsAreReordered) {
    auto src = numbered(960 * 3);
    std::vector<uint8_t> out(960 * 3);
    FrameSink sink{out.data(), out.size(), 0};
    reorderRowPairs(src.data(), src.size(), 240, sink);
    ASSERT_EQ(sink.position, 2880u);
    for (size_t c = 0; c < 3; ++c) {
        const uint8_t* o = out.data() + 960 * c;
        const uint8_t* s = src.data() + 960 * c;
        for (size_t b = 0; b < 448; ++b)
            ASSERT_EQ(o[b], s[b]);
        for (size_t b = 448; b < 480; ++b)
            ASSERT_EQ(o[b], s[b + 448]);  // chunk bytes 896..927
        for (size_t b = 480; b < 960; ++b)
            ASSERT_EQ(o[b], s[b - 32]);  // chunk bytes 448..927
    }
}

TEST(FrameConverters, UnpacksTwelveBitSkippingRowPadding) {
    // Width 240: 360 bytes of samples per row, padded to 368.
    const uint32_t w = 240, h = 4;
    std::vector<uint16_t> samples(w * h);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = uint16_t((i * 37 + 5) & 0xFFF);
    std::vector<uint8_t> packed(368 * h, 0xEE);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; x += 2) {
            uint16_t a = samples[y * w + x], b = samples[y * w + x + 1];
            uint8_t* p = packed.data() + y * 368 + x / 2 * 3;
            p[0] = uint8_t(a >> 4);
            p[1] = uint8_t(b >> 4);
            p[2] = uint8_t((a & 0xF) | (b & 0xF) << 4);
        }
    std::vector<uint16_t> out(w * h + 8, 0xBEEF);
    FrameSink sink{reinterpret_cast<uint8_t*>(out.data()), w * h * 2, 0};
    auto src = exact(packed);
    unpackRaw12(src.get(), packed.size(), w, sink);
    EXPECT_EQ(sink.position, w * h * 2);
    for (size_t i = 0; i < samples.size(); ++i)
        ASSERT_EQ(out[i], samples[i]) << i;
    for (size_t i = w * h; i < out.size(); ++i)
        EXPECT_EQ(out[i], 0xBEEF);
}

TEST(FrameConverters, UnpackNeverReadsTheLastEightBytes) {
    for (size_t length : {0u, 1u, 8u}) {
        std::vector<uint8_t> src(length, 0x12);
        uint16_t out[4] = {7, 7, 7, 7};
        FrameSink sink{reinterpret_cast<uint8_t*>(out), sizeof out, 0};
        unpackRaw12(src.data(), length, 240, sink);
        EXPECT_EQ(sink.position, 0u) << length;
        EXPECT_EQ(out[0], 7);
    }
    // 9 bytes: one pair from bytes 0..2, then the limit (1) is passed.
    std::vector<uint8_t> src = {0xAB, 0xCD, 0x21, 0, 0, 0, 0, 0, 0};
    uint16_t out[4] = {};
    FrameSink sink{reinterpret_cast<uint8_t*>(out), sizeof out, 0};
    unpackRaw12(src.data(), src.size(), 240, sink);
    EXPECT_EQ(sink.position, 4u);
    EXPECT_EQ(out[0], 0xAB1);
    EXPECT_EQ(out[1], 0xCD2);
}

// Every converter stops at the room left in the destination and at the end of the source,
// including the partial last row or chunk.
TEST(FrameConverters, BoundedByDestinationAndSource) {
    const struct {
        const char* name;
        FrameConverter convert;
        size_t length;
        size_t capacity;
        size_t start;
        size_t written;  // position after the call
    } rows[] = {
        {"copy, room for less", copyFrame, 1000, 600, 100, 600},
        {"copy, full", copyFrame, 1000, 600, 600, 600},
        {"strip, room ends in a row", stripRowPadding, 92160, 1000, 0, 1000},
        {"strip, partial last row", stripRowPadding, 512 * 2 + 100, 5000, 0, 480 * 2 + 100},
        {"strip, partial last row longer than the image part", stripRowPadding, 512 + 500, 5000, 0, 480 * 2},
        {"pairs, room ends inside a chunk", reorderRowPairs, 960 * 4, 1500, 0, 1500},
        {"pairs, room ends in the moved bytes", reorderRowPairs, 960 * 4, 460, 0, 460},
        {"pairs, partial last chunk copied", reorderRowPairs, 960 * 2 + 500, 5000, 0, 960 * 2 + 500},
        {"pairs, 640 x 2405 frame", reorderRowPairs, 640 * 2405 * 2, 640 * 2405 * 2, 0, 640 * 2405 * 2},
        {"unpack, room for less", unpackRaw12, 66240, 1000, 0, 1000},
        {"unpack, odd room", unpackRaw12, 66240, 1001, 0, 1000},
        {"unpack, skip over padding at the very end", unpackRaw12, 360 + 9, 100000, 0, 480},
        {"unpack, buffer ends inside a row", unpackRaw12, 368 + 200, 100000, 0, (240 + 128) * 2},
    };
    for (const auto& row : rows) {
        auto bytes = numbered(row.length);
        auto src = exact(bytes);
        std::vector<uint8_t> out(row.capacity + 64, 0xCC);
        FrameSink sink{out.data(), row.capacity, row.start};
        row.convert(src.get(), row.length, 240, sink);
        EXPECT_EQ(sink.position, row.written) << row.name;
        for (size_t i = row.capacity; i < out.size(); ++i)
            ASSERT_EQ(out[i], 0xCC) << row.name << " wrote at " << i;
    }
}

TEST(FrameConverters, PartialChunkOfRowPairsIsPassedOnAsItStands) {
    auto bytes = numbered(960 + 300);
    auto src = exact(bytes);
    std::vector<uint8_t> out(960 + 300);
    FrameSink sink{out.data(), out.size(), 0};
    reorderRowPairs(src.get(), bytes.size(), 240, sink);
    EXPECT_TRUE(std::equal(out.begin() + 960, out.end(), bytes.begin() + 960));
}

TEST(FrameConverters, SubFramesAreLaidEndToEnd) {
    auto a = numbered(92160, 1), b = numbered(92160, 2);
    std::vector<uint8_t> out(2 * 86400);
    FrameSink sink{out.data(), out.size(), 0};
    stripRowPadding(a.data(), a.size(), 240, sink);
    stripRowPadding(b.data(), b.size(), 240, sink);
    EXPECT_EQ(sink.position, 2 * 86400u);
    EXPECT_EQ(out[86400], b[0]);
    EXPECT_EQ(out[86399], a[179 * 512 + 479]);
}

// Through the transport: a 92160-byte buffer is stripped on every board that delivers one, and
// a Jetson frame of other lengths has its row pairs reordered.
TEST(FrameConvertersOnBoards, PaddedBufferGivesEightySixThousandFourHundredBytes) {
    for (int platform : kAllBoards) {
        if (platform == Platform::RADXA_ROCK) continue;  // multi-plane: the plane count is reported
        FakeKernel kernel;
        ScopedKernel installed(kernel);
        FakeBoard board(kernel, platform);
        CaptureNodeConfig c;
        c.strideAlignment = 512;  // every line padded to 512 bytes
        // Offered as the boards' drivers do: a Raspberry Pi 5 asks for packed samples, and a node
        // that answers with another format is refused.
        c.pixelFormats = {V4L2_PIX_FMT_Y12, V4L2_PIX_FMT_Y12P};
        board.capture = std::make_shared<FakeCaptureNode>(c);
        board.capture->setByteWriter([](uint64_t seq, uint8_t* m, size_t n) {
            for (size_t i = 0; i < n; ++i)
                m[i] = uint8_t(i + seq);
        });
        kernel.addDevice(board.videoPath, board.capture);
        ZentroxTOFCSISensor sensor(board.videoPath.c_str(), platform);
        CameraInfo info{};
        ASSERT_EQ(sensor.open(info), 0) << platformName(platform);
        ASSERT_EQ(sensor.start(), 0) << platformName(platform);
        EXPECT_EQ(sensor.frameConverter(), stripRowPadding) << platformName(platform);
        std::vector<uint8_t> out(86400 + 32, 0xCC);
        uint64_t ts = 0;
        ASSERT_EQ(sensor.getFrame(out.data(), &ts), 0);
        EXPECT_EQ(out[86399], uint8_t(179 * 512 + 479));
        EXPECT_EQ(out[86400], 0xCC);
        sensor.stop();
        sensor.close();
    }
}

TEST(FrameConvertersOnBoards, JetsonReordersRowPairs) {
    CsiRig rig(Platform::JETSON);
    rig.board.capture->setByteWriter([](uint64_t, uint8_t* m, size_t n) {
        for (size_t i = 0; i < n; ++i)
            m[i] = uint8_t(i * 7 + i / 960);
    });
    ASSERT_EQ(rig.open(), 0);
    rig.sensor->setControl(CameraCtrl::FMT_WIDTH, 320);  // 640-byte lines: 115200-byte buffers
    ASSERT_EQ(rig.sensor->start(), 0);
    EXPECT_EQ(rig.board.capture->format().sizeimage, 115200u);
    EXPECT_EQ(rig.sensor->frameConverter(), reorderRowPairs);
    std::vector<uint8_t> out(115200);
    uint64_t ts = 0;
    ASSERT_EQ(rig.sensor->getFrame(out.data(), &ts), 0);
    auto src = [](size_t i) { return uint8_t(i * 7 + i / 960); };
    for (size_t c = 0; c < 120; ++c)
        for (size_t b = 0; b < 960; ++b) {
            size_t from = b < 448 ? b : b < 480 ? b + 448 : b - 32;
            ASSERT_EQ(out[c * 960 + b], src(c * 960 + from)) << c << " " << b;
        }
}

}  // namespace
