// Recordings of raw kit images, as the emulated kit plays them back when opened with a ".bin" path.
// The file format is described in docs/emulated-kit.md: a 32-byte header, then per image a 16-byte
// record head and the image's bytes, every number little-endian.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace Zentrox {

struct RecordingHeader {
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t bit_width = 12;        // 8: one byte per sample; above 8: two bytes
    uint8_t images_per_frame = 4;  // images of one camera frame (4 phase images, or 1)
    uint32_t image_count = 0;
    uint32_t loop_gap_ms = 0;  // pause after the last image before the first plays again

    size_t imageBytes() const { return size_t{width} * height * (bit_width > 8 ? 2 : 1); }
};

constexpr char RECORDING_MAGIC[8] = {'Z', 'X', 'E', 'V', 'K', 'R', 'E', 'C'};
constexpr uint32_t RECORDING_VERSION = 1;
constexpr size_t RECORDING_HEADER_BYTES = 32;
constexpr size_t RECORDING_IMAGE_HEAD_BYTES = 16;

// Writes a recording image by image. The header's count and loop gap are written by finish().
class RecordingWriter {
  public:
    static constexpr uint32_t AUTOMATIC_GAP = UINT32_MAX;

    RecordingWriter() = default;
    ~RecordingWriter();  // finishes an open recording
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Creates (or truncates) `path`. Width and height 1 or more, bit width 8 to 16, at least one
    // image per frame.
    bool open(const std::string& path, uint32_t width, uint32_t height, uint8_t bit_width,
              uint8_t images_per_frame);
    // Appends one image of exactly imageBytes() bytes. Timestamps must not decrease.
    bool append(uint64_t timestamp_ms, const uint8_t* data, size_t size);
    // Completes the header and closes the file. The automatic loop gap is the largest gap between
    // two recorded images (33 ms for a recording of one image).
    bool finish(uint32_t loop_gap_ms = AUTOMATIC_GAP);
    const std::string& error() const { return lastError; }
    uint32_t imageCount() const { return header.image_count; }

  private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> file;
    RecordingHeader header;
    uint64_t lastTimestamp = 0;
    uint64_t largestGap = 0;
    std::string lastError;
};

// A whole recording in memory.
struct Recording {
    RecordingHeader header;
    std::vector<uint64_t> timestamps;  // ms, one per image, not decreasing
    std::vector<uint8_t> data;         // the images one after the other

    const uint8_t* image(size_t i) const { return data.data() + i * header.imageBytes(); }
};

// Reads and checks a recording: magic, version, geometry, count, sizes, timestamp order and that
// the file holds exactly what the header announces. A recording whose writer never finished (a count
// of 0) gives the whole frames it holds completely, with the automatic loop gap. False with the
// reason in `error` otherwise.
bool readRecording(const std::string& path, Recording& recording, std::string& error);

}  // namespace Zentrox
