// Recordings: the writer, the reader's checks, and playback in a loop with the recorded spacing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "ZentroxEvkRecording.h"
#include "tests/cpp/evk/KitTestSupport.h"

using namespace Zentrox;
using namespace Zentrox::KitTest;

namespace {

// Image i of a test recording: every byte tells the image apart.
std::vector<uint8_t> imageBytes(size_t bytes, int i) {
    std::vector<uint8_t> image(bytes);
    for (size_t b = 0; b < bytes; ++b)
        image[b] = static_cast<uint8_t>(i * 31 + b);
    return image;
}

std::string makeRecording(ScratchDir& dir, const std::string& name, const std::vector<uint64_t>& timestamps,
                          uint32_t width = 8, uint32_t height = 4, uint8_t bits = 12,
                          uint32_t gap = RecordingWriter::AUTOMATIC_GAP) {
    const std::string path = dir.file(name);
    RecordingWriter writer;
    EXPECT_TRUE(writer.open(path, width, height, bits, 4)) << writer.error();
    const size_t bytes = size_t{width} * height * (bits > 8 ? 2 : 1);
    for (size_t i = 0; i < timestamps.size(); ++i) {
        EXPECT_TRUE(writer.append(timestamps[i], imageBytes(bytes, int(i)).data(), bytes)) << writer.error();
    }
    EXPECT_TRUE(writer.finish(gap)) << writer.error();
    return path;
}

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(KitRecording, WriterAndReaderAgree) {
    ScratchDir dir;
    const std::vector<uint64_t> stamps = {100, 101, 103, 104, 140, 141, 143, 144};
    const std::string path = makeRecording(dir, "a.bin", stamps, 5, 3, 10, 25);
    Recording recording;
    std::string error;
    ASSERT_TRUE(readRecording(path, recording, error)) << error;
    EXPECT_EQ(recording.header.width, 5u);
    EXPECT_EQ(recording.header.height, 3u);
    EXPECT_EQ(recording.header.bit_width, 10);
    EXPECT_EQ(recording.header.images_per_frame, 4);
    EXPECT_EQ(recording.header.image_count, 8u);
    EXPECT_EQ(recording.header.loop_gap_ms, 25u);
    EXPECT_EQ(recording.timestamps, stamps);
    for (int i = 0; i < 8; ++i) {
        const auto expected = imageBytes(30, i);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), recording.image(i))) << i;
    }
    // The layout is the documented one: 32-byte header, 16-byte image heads.
    const auto bytes = fileBytes(path);
    ASSERT_EQ(bytes.size(), 32u + 8u * (16u + 30u));
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "ZXEVKREC");
    EXPECT_EQ(bytes[8], 1);     // version
    EXPECT_EQ(bytes[12], 5);    // width
    EXPECT_EQ(bytes[16], 3);    // height
    EXPECT_EQ(bytes[20], 10);   // bit width
    EXPECT_EQ(bytes[21], 4);    // images per frame
    EXPECT_EQ(bytes[24], 8);    // image count
    EXPECT_EQ(bytes[28], 25);   // loop gap
    EXPECT_EQ(bytes[32], 100);  // first timestamp
    EXPECT_EQ(bytes[40], 30);   // first data size
    EXPECT_EQ(bytes[48], imageBytes(30, 0)[0]);

    // The automatic loop gap is the largest recorded gap; 33 ms for a single image.
    ASSERT_TRUE(readRecording(makeRecording(dir, "b.bin", stamps), recording, error)) << error;
    EXPECT_EQ(recording.header.loop_gap_ms, 36u);
    ASSERT_TRUE(readRecording(makeRecording(dir, "c.bin", {7}), recording, error)) << error;
    EXPECT_EQ(recording.header.loop_gap_ms, 33u);
}

TEST(KitRecording, WriterRefusesWhatItCannotRecord) {
    ScratchDir dir;
    RecordingWriter writer;
    EXPECT_FALSE(writer.open(dir.file("x.bin"), 0, 4, 12, 4));
    EXPECT_FALSE(writer.open(dir.file("x.bin"), 4, 4, 7, 4));
    EXPECT_FALSE(writer.open(dir.file("x.bin"), 4, 4, 12, 0));
    EXPECT_FALSE(writer.open(dir.path + "/no/such/dir.bin", 4, 4, 12, 4));
    uint8_t image[32] = {};
    EXPECT_FALSE(writer.append(0, image, 32));  // nothing open
    ASSERT_TRUE(writer.open(dir.file("y.bin"), 4, 4, 12, 4));
    EXPECT_FALSE(writer.append(0, image, 31));
    EXPECT_TRUE(writer.append(10, image, 32));
    EXPECT_FALSE(writer.append(9, image, 32));
    EXPECT_TRUE(writer.append(10, image, 32));
    EXPECT_EQ(writer.imageCount(), 2u);
    EXPECT_TRUE(writer.finish());
    EXPECT_FALSE(writer.finish());
}

TEST(KitRecording, MalformedRecordingsFailOpenWithAClearMessage) {
    ScratchDir dir;
    const std::string good = makeRecording(dir, "good.bin", {0, 1, 2, 3}, 4, 2, 12);
    const std::vector<uint8_t> bytes = fileBytes(good);
    const size_t head = 32;
    const size_t record = 16 + 16;
    const struct {
        const char* name;
        size_t offset;  // byte to change, or the new length when `truncate`
        uint8_t value;
        bool truncate;
        const char* message;
    } rows[] = {
        {"magic", 0, 'Y', false, "wrong magic"},
        {"version", 8, 2, false, "version 2"},
        {"zero width", 12, 0, false, "image size"},
        {"bit width", 20, 7, false, "bit width"},
        {"images per frame", 21, 0, false, "images per frame"},
        {"count above the images", 24, 5, false, "does not hold 5 images"},
        {"image size field", head + 8, 15, false, "size that differs"},
        {"timestamps backwards", head + record, 0xFF, false, ""},
        {"cut short", head + 3 * record + 10, 0, true, "does not hold"},
        {"header cut short", 20, 0, true, "too short"},
    };
    for (const auto& row : rows) {
        std::vector<uint8_t> broken = bytes;
        if (row.truncate) {
            broken.resize(row.offset);
        } else {
            broken[row.offset] = row.value;
        }
        if (std::string(row.name) == "timestamps backwards") {
            broken[head + 2 * record] = 0;  // image 2 at 0 after image 1 at 255
        }
        const std::string path = dir.file(std::string(row.name) + ".bin");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(broken.data()), broken.size());
        Kit kit(path.c_str(), true);
        EXPECT_EQ(kit.openResult, ZENTROX_EVK_CONFIG_ERROR) << row.name;
        EXPECT_EQ(kit.handle, nullptr);
        EXPECT_NE(kit.stderrText.find("recording \"" + path + "\""), std::string::npos) << kit.stderrText;
        EXPECT_NE(kit.stderrText.find(row.message), std::string::npos) << row.name << ": " << kit.stderrText;
    }
    // Trailing bytes are refused too, and so is a file that is not there.
    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    const std::string trailing = dir.file("trailing.bin");
    std::ofstream(trailing, std::ios::binary)
        .write(reinterpret_cast<const char*>(longer.data()), longer.size());
    EXPECT_EQ(Kit(trailing.c_str(), true).openResult, ZENTROX_EVK_CONFIG_ERROR);
    EXPECT_EQ(Kit((dir.path + "/missing.bin").c_str(), true).openResult, ZENTROX_EVK_CONFIG_ERROR);
}

// A writer that never finished (killed, or its disk full) left a count of 0 and maybe an image cut
// short: the reader recovers the whole frames written completely, with the automatic loop gap.
TEST(KitRecording, UnfinishedRecordingsGiveTheirCompleteFrames) {
    ScratchDir dir;
    const std::vector<uint64_t> stamps = {100, 101, 102, 103, 150, 151, 152, 153, 170, 171, 172, 173};
    const std::vector<uint8_t> finished = fileBytes(makeRecording(dir, "full.bin", stamps, 4, 2, 12, 9));
    const size_t record = 16 + 16;
    const struct {
        size_t length;  // bytes of the finished file that the unfinished one keeps
        uint32_t images;
        uint32_t gap;  // 0: refused
    } rows[] = {
        {finished.size(), 12, 47},     // every image written, only the count missing
        {finished.size() - 5, 8, 47},  // the last image cut short: its frame goes
        {32 + 7 * record + 16, 4, 1},  // one frame and a half plus a lone image head
        {32 + 4 * record, 4, 1},       // exactly one frame
        {32 + 3 * record + 20, 0, 0},  // not one complete frame
        {32, 0, 0},                    // the header alone
    };
    for (const auto& row : rows) {
        std::vector<uint8_t> bytes(finished.begin(), finished.begin() + long(row.length));
        for (size_t b = 24; b < 32 && b < bytes.size(); ++b)
            bytes[b] = 0;  // count and loop gap as open() wrote them
        const std::string path = dir.file("unfinished" + std::to_string(row.length) + ".bin");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        Recording recording;
        std::string error;
        const bool read = readRecording(path, recording, error);
        ASSERT_EQ(read, row.images > 0) << row.length << ": " << error;
        if (!read) {
            EXPECT_NE(error.find("no complete frame"), std::string::npos) << error;
            EXPECT_EQ(Kit(path.c_str(), true).openResult, ZENTROX_EVK_CONFIG_ERROR);
            continue;
        }
        EXPECT_EQ(recording.header.image_count, row.images);
        EXPECT_EQ(recording.header.loop_gap_ms, row.gap) << row.length;
        EXPECT_EQ(recording.timestamps, std::vector<uint64_t>(stamps.begin(), stamps.begin() + row.images));
        for (uint32_t i = 0; i < row.images; ++i) {
            const auto expected = imageBytes(16, int(i));
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), recording.image(i))) << i;
        }
        EXPECT_EQ(Kit(path.c_str(), true).openResult, ZENTROX_EVK_OK);
    }
}

TEST(KitRecording, PlaysInALoopKeepingTheRecordedSpacing) {
    ScratchDir dir;
    // Two frames of four images, 40 ms apart; the pass repeats 30 ms after its last image.
    const std::vector<uint64_t> stamps = {5000, 5001, 5003, 5004, 5040, 5041, 5043, 5044};
    const std::string path = makeRecording(dir, "loop.bin", stamps, 6, 2, 14, 30);
    Kit kit(path.c_str(), true);
    ASSERT_EQ(kit.openResult, ZENTROX_EVK_OK) << kit.stderrText;
    EXPECT_NE(kit.stderrText.find("played in a loop"), std::string::npos) << kit.stderrText;
    ASSERT_TRUE(kit.stream());
    const ZentroxCameraConfig config = kit.config();
    EXPECT_EQ(config.width, 6u);
    EXPECT_EQ(config.height, 2u);
    EXPECT_EQ(config.bit_width, 14);
    EXPECT_EQ(config.images_per_frame, 4);
    std::vector<ZentroxImage> records;
    for (int i = 0; i < 20; ++i) {
        std::vector<uint8_t> image;
        ZentroxImage record{};
        ASSERT_EQ(kit.capture(image, &record), ZENTROX_EVK_OK);
        EXPECT_EQ(image, imageBytes(24, i % 8)) << i;
        EXPECT_EQ(record.data_size, 24u);
        records.push_back(record);
    }
    for (size_t i = 1; i < records.size(); ++i) {
        const uint64_t recorded = i % 8 == 0 ? 30 : stamps[i % 8] - stamps[i % 8 - 1];
        EXPECT_EQ(records[i].timestamp - records[i - 1].timestamp, recorded) << i;
    }
    // Range registers do not change a recording.
    ZentroxWriteSensorReg(kit.handle, 0x216C, 0x08);
    std::vector<uint8_t> image;
    ASSERT_EQ(kit.capture(image), ZENTROX_EVK_OK);
    EXPECT_EQ(image, imageBytes(24, 20 % 8));
}

TEST(KitRecording, ImagesCarryTheirRecordedTimestampsPassAfterPass) {
    ScratchDir dir;
    // Two frames of four images; a pass lasts 5044 - 5000 + 30 = 74 ms.
    const std::vector<uint64_t> stamps = {5000, 5001, 5003, 5004, 5040, 5041, 5043, 5044};
    const std::string path = makeRecording(dir, "stamps.bin", stamps, 6, 2, 14, 30);
    Kit kit(path.c_str(), true);
    ASSERT_TRUE(kit.stream()) << kit.stderrText;
    for (uint64_t i = 0; i < 24; ++i) {
        // A reader more than four frame periods late moves the kit's schedule on, not the stamps.
        if (i == 12) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::vector<uint8_t> image;
        ZentroxImage record{};
        ASSERT_EQ(kit.capture(image, &record), ZENTROX_EVK_OK);
        EXPECT_EQ(image, imageBytes(24, int(i % 8))) << i;
        EXPECT_EQ(record.timestamp, stamps[i % 8] + i / 8 * 74) << i;
    }
}

}  // namespace
