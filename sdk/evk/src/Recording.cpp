#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <unistd.h>

#include "RegularFile.h"
#include "ZentroxEvkRecording.h"

namespace Zentrox {

namespace {

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}
uint64_t get64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void encodeHeader(const RecordingHeader& h, uint8_t out[RECORDING_HEADER_BYTES]) {
    std::memset(out, 0, RECORDING_HEADER_BYTES);
    std::memcpy(out, RECORDING_MAGIC, sizeof RECORDING_MAGIC);
    put32(out + 8, RECORDING_VERSION);
    put32(out + 12, h.width);
    put32(out + 16, h.height);
    out[20] = h.bit_width;
    out[21] = h.images_per_frame;
    put32(out + 24, h.image_count);
    put32(out + 28, h.loop_gap_ms);
}

constexpr uint32_t LARGEST_SIDE = 16384;

}  // namespace

RecordingWriter::~RecordingWriter() {
    if (file) finish();
}

bool RecordingWriter::open(const std::string& path, uint32_t width, uint32_t height, uint8_t bit_width,
                           uint8_t images_per_frame) {
    if (file) finish();
    if (width == 0 || height == 0 || width > LARGEST_SIDE || height > LARGEST_SIDE || bit_width < 8 ||
        bit_width > 16 || images_per_frame == 0) {
        lastError = "unusable geometry for a recording";
        return false;
    }
    file.reset(std::fopen(path.c_str(), "wb"));
    if (!file) {
        lastError = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    header = RecordingHeader{width, height, bit_width, images_per_frame, 0, 0};
    lastTimestamp = 0;
    largestGap = 0;
    uint8_t bytes[RECORDING_HEADER_BYTES];
    encodeHeader(header, bytes);
    if (std::fwrite(bytes, sizeof bytes, 1, file.get()) != 1) {
        lastError = "cannot write the header";
        file.reset();
        return false;
    }
    return true;
}

bool RecordingWriter::append(uint64_t timestamp_ms, const uint8_t* data, size_t size) {
    if (!file) {
        lastError = "no recording is open";
        return false;
    }
    if (size != header.imageBytes() || data == nullptr) {
        lastError =
            "image size " + std::to_string(size) + " differs from " + std::to_string(header.imageBytes());
        return false;
    }
    if (header.image_count > 0 && timestamp_ms < lastTimestamp) {
        lastError = "timestamps must not decrease";
        return false;
    }
    if (header.image_count == std::numeric_limits<uint32_t>::max()) {
        lastError = "too many images";
        return false;
    }
    uint8_t head[RECORDING_IMAGE_HEAD_BYTES] = {};
    put64(head, timestamp_ms);
    put32(head + 8, static_cast<uint32_t>(size));
    if (std::fwrite(head, sizeof head, 1, file.get()) != 1 || std::fwrite(data, size, 1, file.get()) != 1) {
        lastError = "cannot write an image";
        return false;
    }
    if (header.image_count > 0 && timestamp_ms - lastTimestamp > largestGap) {
        largestGap = timestamp_ms - lastTimestamp;
    }
    lastTimestamp = timestamp_ms;
    ++header.image_count;
    return true;
}

bool RecordingWriter::finish(uint32_t loop_gap_ms) {
    if (!file) {
        lastError = "no recording is open";
        return false;
    }
    if (loop_gap_ms == AUTOMATIC_GAP) {
        loop_gap_ms = header.image_count > 1
                          ? static_cast<uint32_t>(std::min<uint64_t>(largestGap, AUTOMATIC_GAP - 1))
                          : 33;
    }
    header.loop_gap_ms = loop_gap_ms;
    uint8_t bytes[RECORDING_HEADER_BYTES];
    encodeHeader(header, bytes);
    bool ok =
        std::fseek(file.get(), 0, SEEK_SET) == 0 && std::fwrite(bytes, sizeof bytes, 1, file.get()) == 1;
    ok = std::fclose(file.release()) == 0 && ok;
    if (!ok) lastError = "cannot complete the recording";
    return ok;
}

bool readRecording(const std::string& path, Recording& recording, std::string& error) {
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    uint64_t fileBytes = 0;
    const int fd = openRegularFile(path, std::numeric_limits<uint64_t>::max(), fileBytes, error);
    if (fd < 0) return false;
    std::unique_ptr<std::FILE, FileCloser> file(::fdopen(fd, "rb"));
    if (!file) {
        ::close(fd);
        error = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    uint8_t bytes[RECORDING_HEADER_BYTES];
    if (fileBytes < sizeof bytes || std::fread(bytes, sizeof bytes, 1, file.get()) != 1) {
        error = "is too short to hold a recording header";
        return false;
    }
    if (std::memcmp(bytes, RECORDING_MAGIC, sizeof RECORDING_MAGIC) != 0) {
        error = "is not a recording (wrong magic number)";
        return false;
    }
    if (get32(bytes + 8) != RECORDING_VERSION) {
        error = "has recording version " + std::to_string(get32(bytes + 8)) + ", this kit reads version 1";
        return false;
    }
    RecordingHeader h;
    h.width = get32(bytes + 12);
    h.height = get32(bytes + 16);
    h.bit_width = bytes[20];
    h.images_per_frame = bytes[21];
    h.image_count = get32(bytes + 24);
    h.loop_gap_ms = get32(bytes + 28);
    if (h.width == 0 || h.height == 0 || h.width > LARGEST_SIDE || h.height > LARGEST_SIDE) {
        error = "has an unusable image size";
        return false;
    }
    if (h.bit_width < 8 || h.bit_width > 16 || h.images_per_frame == 0) {
        error = "has an unusable bit width or images per frame";
        return false;
    }
    const uint64_t imageBytes = h.imageBytes();
    const uint64_t recordBytes = RECORDING_IMAGE_HEAD_BYTES + imageBytes;
    const bool unfinished = h.image_count == 0;
    if (unfinished) {
        // The writer never finished (it was killed, or its disk filled up): the header still holds
        // a count of 0. The images written completely are recovered, whole frames of them; the
        // bytes of an image cut short are left alone.
        const uint64_t complete = (fileBytes - sizeof bytes) / recordBytes;
        const uint64_t frames = complete / h.images_per_frame;
        if (frames == 0) {
            error = "holds no complete frame (its writer never finished)";
            return false;
        }
        if (frames * h.images_per_frame > std::numeric_limits<uint32_t>::max()) {
            error = "holds more images than a recording can";
            return false;
        }
        h.image_count = static_cast<uint32_t>(frames * h.images_per_frame);
    } else if ((fileBytes - sizeof bytes) / recordBytes != h.image_count ||
               (fileBytes - sizeof bytes) % recordBytes != 0) {
        // Checked before anything is allocated: the file must hold exactly the announced images.
        error = "does not hold " + std::to_string(h.image_count) + " images of " +
                std::to_string(imageBytes) + " bytes";
        return false;
    }
    Recording result;
    result.header = h;
    result.timestamps.resize(h.image_count);
    result.data.resize(h.image_count * imageBytes);
    uint64_t largestGap = 0;
    for (uint32_t i = 0; i < h.image_count; ++i) {
        uint8_t head[RECORDING_IMAGE_HEAD_BYTES];
        if (std::fread(head, sizeof head, 1, file.get()) != 1 ||
            std::fread(result.data.data() + i * imageBytes, imageBytes, 1, file.get()) != 1) {
            error = "cannot be read to its end";
            return false;
        }
        result.timestamps[i] = get64(head);
        if (get32(head + 8) != imageBytes) {
            error = "image " + std::to_string(i) + " has a size that differs from the header's";
            return false;
        }
        if (i > 0 && result.timestamps[i] < result.timestamps[i - 1]) {
            error = "image " + std::to_string(i) + " has a timestamp before the previous one";
            return false;
        }
        if (unfinished && i > 0)
            largestGap = std::max(largestGap, result.timestamps[i] - result.timestamps[i - 1]);
    }
    // An unfinished header has no loop gap either: the writer's automatic one is used.
    if (unfinished) {
        result.header.loop_gap_ms =
            h.image_count > 1
                ? static_cast<uint32_t>(std::min<uint64_t>(largestGap, RecordingWriter::AUTOMATIC_GAP - 1))
                : 33;
    }
    recording = std::move(result);
    return true;
}

}  // namespace Zentrox
