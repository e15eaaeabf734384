#include "sensor/csi/FrameConverters.h"

#include <algorithm>
#include <cstring>

#include "system/Platform.h"

namespace Zentrox {

namespace {

constexpr size_t kPaddedRow = 512;
constexpr size_t kImageRow = 480;
constexpr size_t kPairChunk = 960;

// Copies up to `count` bytes to the sink; returns what fitted.
size_t put(FrameSink& sink, const uint8_t* from, size_t count) {
    size_t n = std::min(count, sink.room());
    if (n) std::memcpy(sink.data + sink.position, from, n);
    sink.position += n;
    return n;
}

}  // namespace

void copyFrame(const uint8_t* source, size_t length, uint32_t, FrameSink& sink) {
    put(sink, source, length);
}

void stripRowPadding(const uint8_t* source, size_t length, uint32_t, FrameSink& sink) {
    for (size_t row = 0; row < length && sink.room(); row += kPaddedRow) {
        // A last, partial row gives only the image bytes it holds.
        put(sink, source + row, std::min(kImageRow, length - row));
    }
}

void reorderRowPairs(const uint8_t* source, size_t length, uint32_t, FrameSink& sink) {
    for (size_t at = 0; at < length && sink.room(); at += kPairChunk) {
        const uint8_t* chunk = source + at;
        if (length - at < kPairChunk) {
            // An incomplete pair cannot be reordered: its bytes are passed on as they stand.
            put(sink, chunk, length - at);
            break;
        }
        if (put(sink, chunk, 448) < 448) break;
        if (put(sink, chunk + 896, 32) < 32) break;
        put(sink, chunk + 448, 480);
    }
}

void unpackRaw12(const uint8_t* source, size_t length, uint32_t width, FrameSink& sink) {
    if (length <= 8) return;
    const size_t rowBytes = size_t(width) * 3 / 2;
    const size_t pad = ((rowBytes + 15) / 16) * 16 - rowBytes;
    const size_t limit = length - 8;
    size_t samples = sink.position / 2;
    const size_t sampleRoom = sink.capacity / 2;
    // The output position modulo the width, kept by counting rather than dividing per pair.
    const bool skipsPadding = pad != 0 && width != 0;
    size_t column = skipsPadding ? samples % width : 0;
    uint8_t* out = sink.data;
    size_t j = 0;
    auto unpack = [&](size_t at, size_t sample, bool both) {
        const uint8_t b0 = source[at], b1 = source[at + 1], b2 = source[at + 2];
        const uint16_t first = uint16_t((b0 << 4) | (b2 & 0x0F));
        const uint16_t second = uint16_t((b1 << 4) | (b2 >> 4));
        std::memcpy(out + sample * 2, &first, 2);
        if (both) std::memcpy(out + sample * 2 + 2, &second, 2);
    };
    // Three bytes are read per pair; the check keeps a skip over row padding from reading past
    // the buffer when it ends inside a row.
    while (j + 3 <= length && samples < sampleRoom) {
        // Pairs that can go without reaching the room's end, the buffer's, the limit or a row's end.
        const size_t beforeLimit = j + 1 < limit ? (limit - j - 1) / 3 : 0;  // a skip may pass the limit
        size_t run = std::min({(sampleRoom - samples) / 2, (length - j) / 3, beforeLimit});
        if (skipsPadding) run = (width - column) % 2 == 0 ? std::min(run, (width - column) / 2 - 1) : 0;
        for (size_t k = 0; k < run; ++k, j += 3, samples += 2)
            unpack(j, samples, true);
        column += 2 * run;
        if (j + 3 > length || samples >= sampleRoom) break;
        // One pair with every check.
        unpack(j, samples, samples + 1 < sampleRoom);
        samples = std::min(samples + 2, sampleRoom);
        j += 3;
        if (j >= limit) break;
        if (skipsPadding) {
            column += 2;
            while (column >= width)
                column -= width;
            if (column == 0) j += pad;
        }
    }
    sink.position = std::max(sink.position, samples * 2);
}

FrameConverter chooseConverter(uint32_t reportedLength, int platform) {
    if (reportedLength == kPaddedRow * 180) return stripRowPadding;
    if (platform == Platform::JETSON) return reorderRowPairs;
    if (platform == Platform::RASPBERRY_PI_5) return unpackRaw12;
    return copyFrame;
}

}  // namespace Zentrox
