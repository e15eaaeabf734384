// The four conversions from a mapped capture buffer into the camera's frame buffer. All sub-frames of
// one camera frame go through the same converter and are laid end to end: `sink.position` (bytes)
// is shared by the calls of one frame. Every converter reads at most `length` bytes of `source` and
// writes nothing beyond `sink.capacity`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Zentrox {

struct FrameSink {
    uint8_t* data;
    size_t capacity;  // bytes the destination holds
    size_t position;  // bytes written so far
    size_t room() const { return position < capacity ? capacity - position : 0; }
};

using FrameConverter = void (*)(const uint8_t* source, size_t length, uint32_t width, FrameSink& sink);

// Copies the buffer as it stands.
void copyFrame(const uint8_t* source, size_t length, uint32_t width, FrameSink& sink);
// Rows of 512 bytes holding 480 bytes of image each (240 samples of two bytes).
void stripRowPadding(const uint8_t* source, size_t length, uint32_t width, FrameSink& sink);
// Chunks of 960 bytes whose bytes 448..927 come first in the second row and whose bytes 896..927
// also end the first row.
void reorderRowPairs(const uint8_t* source, size_t length, uint32_t width, FrameSink& sink);
// 12-bit samples packed two in three bytes, rows padded to a multiple of 16 bytes, into 16-bit words.
void unpackRaw12(const uint8_t* source, size_t length, uint32_t width, FrameSink& sink);

// The converter for a buffer of `reportedLength` bytes (the driver's v4l2_buffer.length) on a board.
FrameConverter chooseConverter(uint32_t reportedLength, int platform);

}  // namespace Zentrox
