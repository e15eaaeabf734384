// Formats shared by the depth engine, the emulated kit and the tests: the VGA raw frame layout with its
// metadata rows, the modulation frequencies, and the calibration blob.
//
// Raw frame (16-bit words, 12 significant bits, row-major, `width` words per row):
//   single frequency: 5 blocks, double frequency: 10 blocks, each of (height + 1) rows: one metadata
//   row, then `height` image rows. Blocks 5f .. 5f+3 hold the phase images of frequency slot f taken
//   at 0, 90, 180 and 270 degrees, block 5f+4 the ambient image (light without modulation).
//   A phase sample is  ambient + a + a * cos(phi - k * 90 deg),  phi = 2 pi * distance / range(f),
//   so I = P0 - P2 = 2a cos(phi) and Q = P1 - P3 = 2a sin(phi).
//
// Metadata row: the words listed by MetaWord, every one below 4096 so that any 12-bit path carries
// it; the rest of the row is zero. The engine refuses a frame whose metadata rows disagree with the
// layout it was initialised for or with each other (torn frames mix frame counters).
//
// Frequencies: single frequency uses slot 0 at 120 MHz (range 1250 mm). Double frequency uses slot 0
// at 100 MHz (1500 mm) and slot 1 at 200/3 MHz (2250 mm); their common range is 4500 mm, three wraps
// of the first and two of the second, in which the pair of phases identifies the distance uniquely.
// Ranges follow range = c / (2 f) with c = 3e8 m/s throughout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Zentrox {
namespace si4c {

constexpr double kSpeedOfLight = 3.0e8;  // m/s
constexpr double kPi = 3.14159265358979323846;
constexpr double kSingleFrequencyHz = 120.0e6;
constexpr double kDoubleFrequencyHz[2] = {100.0e6, 200.0e6 / 3.0};
constexpr double kDoubleRangeMm = 4500.0;
constexpr int kBlocksPerFrequency = 5;
constexpr int kAmbientImage = 4;  // image index of the ambient block; 0..3 are the phases
constexpr int kMaxSample = 4095;
constexpr int kMinWidth = 16;  // a metadata row must hold every MetaWord
constexpr int kMaxWidth = 4096;
constexpr int kMaxHeight = 4096;

// Modulation frequency of slot `slot` in the given mode.
inline double frequencyHz(bool single, int slot) {
    return single ? kSingleFrequencyHz : kDoubleFrequencyHz[slot];
}
inline double rangeMm(double frequency_hz) {
    return kSpeedOfLight / (2.0 * frequency_hz) * 1000.0;
}
// The frequency as the metadata row and the calibration blob carry it.
inline uint16_t frequencyCode(double frequency_hz) {
    return uint16_t(frequency_hz / 1.0e5 + 0.5);
}  // 100 kHz
inline uint32_t frequencyKhz(double frequency_hz) {
    return uint32_t(frequency_hz / 1.0e3 + 0.5);
}

struct RawLayout {
    int width = 0;
    int height = 0;
    bool single = true;

    int frequencies() const { return single ? 1 : 2; }
    int blocks() const { return kBlocksPerFrequency * frequencies(); }
    int rawHeight() const { return (height + 1) * blocks(); }
    size_t samples() const { return size_t(width) * size_t(rawHeight()); }
    size_t bytes() const { return samples() * 2; }
    // Sample index of the metadata row of `block`, and of its first image sample.
    size_t metadataOffset(int block) const { return size_t(block) * size_t(height + 1) * size_t(width); }
    size_t imageOffset(int block) const { return metadataOffset(block) + size_t(width); }
    static int blockOf(int slot, int image) { return slot * kBlocksPerFrequency + image; }
};

enum MetaWord : int {
    META_MAGIC = 0,
    META_VERSION,
    META_COUNTER_LOW,   // frame counter, low 12 bits
    META_COUNTER_HIGH,  // frame counter, next 12 bits
    META_BLOCK,         // block index within the frame
    META_BLOCK_COUNT,   // 5 or 10
    META_FREQUENCY,     // frequency slot 0 or 1
    META_IMAGE,         // 0..3 phase k x 90 degrees, 4 ambient
    META_FREQUENCY_CODE,
    META_WIDTH,
    META_HEIGHT,
    META_CHECK,  // check word over the words before it
    META_WORDS,
};
constexpr uint16_t kMetaMagic = 0xA5C;
constexpr uint16_t kMetaVersion = 1;

// Fills the metadata row of `block` (width words) for frame `counter` (24 bits kept).
void writeMetadata(uint16_t* row, const RawLayout& layout, int block, uint32_t counter);
// True when `row` is a valid metadata row of `block` in `layout`; its frame counter goes to *counter.
bool checkMetadata(const uint16_t* row, const RawLayout& layout, int block, uint32_t* counter);

// Calibration blob, little-endian, as stored in the module's memory or in "cali.bin":
//   0    u16  total length L of the blob in bytes (the module-memory reader relies on this word)
//   2    u16  version, 1
//   4    u32  magic 0x4C41435A ("ZCAL")
//   8    u16  width, 10 u16 height: the module geometry it was measured on
//   12   u16  entry count n (1..4), 14 u16 entry size (16)
//   16   n entries of { u32 frequency in kHz, f32 phase offset in radians (subtracted from the
//        measured phase), f32 amplitude gain (0 < gain <= 16), u32 reserved 0 }
//   ...  zero padding
//   L-4  u32  CRC-32 (IEEE 802.3) of bytes 0 .. L-5
// The engine takes a blob whose geometry equals the output size or twice it (2 x 2 binning).
constexpr uint32_t kCalibrationMagic = 0x4C41435A;
constexpr uint16_t kCalibrationVersion = 1;
constexpr int kMaxCalibrationEntries = 4;
constexpr size_t kCalibrationHeaderBytes = 16;
constexpr size_t kCalibrationEntryBytes = 16;
constexpr size_t kMaxCalibrationBytes = 16384;

struct CalibrationEntry {
    uint32_t frequency_khz = 0;
    float phase_offset_rad = 0.0f;
    float amplitude_gain = 1.0f;
};

struct Calibration {
    uint16_t width = 0;
    uint16_t height = 0;
    int count = 0;
    CalibrationEntry entries[kMaxCalibrationEntries];

    // The entry for a frequency, or null.
    const CalibrationEntry* find(uint32_t frequency_khz) const;
};

uint32_t crc32(const uint8_t* data, size_t length);

// Serialises `calibration`, padded with zeros to at least `min_bytes` (512 lets it live in module
// memory); empty when the calibration cannot be represented.
std::vector<uint8_t> writeCalibrationBlob(const Calibration& calibration, size_t min_bytes = 512);

// Parses a blob; false with a short reason when it is not well formed.
bool parseCalibrationBlob(const void* data, size_t length, Calibration& out, const char** reason);

}  // namespace si4c
}  // namespace Zentrox
