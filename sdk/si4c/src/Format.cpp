#include <cmath>
#include <cstring>

#include "si4c_format.h"

namespace Zentrox {
namespace si4c {

namespace {

uint16_t checkWord(const uint16_t* row) {
    uint32_t sum = 0x5A5;
    for (int i = 0; i < META_CHECK; ++i)
        sum = (sum * 31u + row[i]) & 0xFFFFu;
    return uint16_t(sum & 0xFFFu);
}

uint16_t get16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
float getFloat(const uint8_t* p) {
    uint32_t bits = get32(p);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
void putFloat(uint8_t* p, float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    put32(p, bits);
}

bool entryUsable(const CalibrationEntry& e) {
    return e.frequency_khz != 0 && std::isfinite(e.phase_offset_rad) &&
           std::fabs(e.phase_offset_rad) <= 64.0f && std::isfinite(e.amplitude_gain) &&
           e.amplitude_gain > 0.0f && e.amplitude_gain <= 16.0f;
}

}  // namespace

void writeMetadata(uint16_t* row, const RawLayout& layout, int block, uint32_t counter) {
    std::memset(row, 0, size_t(layout.width) * sizeof(uint16_t));
    const int slot = block / kBlocksPerFrequency;
    row[META_MAGIC] = kMetaMagic;
    row[META_VERSION] = kMetaVersion;
    row[META_COUNTER_LOW] = uint16_t(counter & 0xFFF);
    row[META_COUNTER_HIGH] = uint16_t((counter >> 12) & 0xFFF);
    row[META_BLOCK] = uint16_t(block);
    row[META_BLOCK_COUNT] = uint16_t(layout.blocks());
    row[META_FREQUENCY] = uint16_t(slot);
    row[META_IMAGE] = uint16_t(block % kBlocksPerFrequency);
    row[META_FREQUENCY_CODE] = frequencyCode(frequencyHz(layout.single, slot));
    row[META_WIDTH] = uint16_t(layout.width & 0xFFF);
    row[META_HEIGHT] = uint16_t(layout.height & 0xFFF);
    row[META_CHECK] = checkWord(row);
}

bool checkMetadata(const uint16_t* row, const RawLayout& layout, int block, uint32_t* counter) {
    const int slot = block / kBlocksPerFrequency;
    if (row[META_MAGIC] != kMetaMagic || row[META_VERSION] != kMetaVersion) return false;
    if (row[META_BLOCK] != block || row[META_BLOCK_COUNT] != layout.blocks()) return false;
    if (row[META_FREQUENCY] != slot || row[META_IMAGE] != block % kBlocksPerFrequency) return false;
    if (row[META_FREQUENCY_CODE] != frequencyCode(frequencyHz(layout.single, slot))) return false;
    if (row[META_WIDTH] != (layout.width & 0xFFF) || row[META_HEIGHT] != (layout.height & 0xFFF))
        return false;
    if (row[META_CHECK] != checkWord(row)) return false;
    if (counter)
        *counter = uint32_t(row[META_COUNTER_LOW] & 0xFFF) | uint32_t(row[META_COUNTER_HIGH] & 0xFFF) << 12;
    return true;
}

const CalibrationEntry* Calibration::find(uint32_t frequency_khz) const {
    for (int i = 0; i < count && i < kMaxCalibrationEntries; ++i)
        if (entries[i].frequency_khz == frequency_khz) return &entries[i];
    return nullptr;
}

uint32_t crc32(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::vector<uint8_t> writeCalibrationBlob(const Calibration& calibration, size_t min_bytes) {
    if (calibration.count < 1 || calibration.count > kMaxCalibrationEntries) return {};
    for (int i = 0; i < calibration.count; ++i)
        if (!entryUsable(calibration.entries[i])) return {};
    size_t length = kCalibrationHeaderBytes + kCalibrationEntryBytes * size_t(calibration.count) + 4;
    if (length < min_bytes) length = min_bytes;
    if (length > kMaxCalibrationBytes) return {};
    std::vector<uint8_t> blob(length, 0);
    put16(&blob[0], uint16_t(length));
    put16(&blob[2], kCalibrationVersion);
    put32(&blob[4], kCalibrationMagic);
    put16(&blob[8], calibration.width);
    put16(&blob[10], calibration.height);
    put16(&blob[12], uint16_t(calibration.count));
    put16(&blob[14], uint16_t(kCalibrationEntryBytes));
    for (int i = 0; i < calibration.count; ++i) {
        uint8_t* e = &blob[kCalibrationHeaderBytes + kCalibrationEntryBytes * size_t(i)];
        put32(e, calibration.entries[i].frequency_khz);
        putFloat(e + 4, calibration.entries[i].phase_offset_rad);
        putFloat(e + 8, calibration.entries[i].amplitude_gain);
    }
    put32(&blob[length - 4], crc32(blob.data(), length - 4));
    return blob;
}

bool parseCalibrationBlob(const void* data, size_t length, Calibration& out, const char** reason) {
    const char* ignored = nullptr;
    const char*& why = reason ? *reason : ignored;
    const uint8_t* b = static_cast<const uint8_t*>(data);
    if (!b || length < kCalibrationHeaderBytes + kCalibrationEntryBytes + 4 ||
        length > kMaxCalibrationBytes) {
        why = "size out of range";
        return false;
    }
    if (get32(b + 4) != kCalibrationMagic) {
        why = "wrong magic";
        return false;
    }
    if (get16(b + 2) != kCalibrationVersion) {
        why = "unknown version";
        return false;
    }
    if (get16(b) != length) {
        why = "size does not match its length field";
        return false;
    }
    const int count = get16(b + 12);
    if (count < 1 || count > kMaxCalibrationEntries || get16(b + 14) != kCalibrationEntryBytes ||
        kCalibrationHeaderBytes + kCalibrationEntryBytes * size_t(count) + 4 > length) {
        why = "bad entry table";
        return false;
    }
    if (get32(b + length - 4) != crc32(b, length - 4)) {
        why = "checksum mismatch";
        return false;
    }
    Calibration parsed;
    parsed.width = get16(b + 8);
    parsed.height = get16(b + 10);
    parsed.count = count;
    if (parsed.width == 0 || parsed.height == 0) {
        why = "empty geometry";
        return false;
    }
    for (int i = 0; i < count; ++i) {
        const uint8_t* e = b + kCalibrationHeaderBytes + kCalibrationEntryBytes * size_t(i);
        parsed.entries[i].frequency_khz = get32(e);
        parsed.entries[i].phase_offset_rad = getFloat(e + 4);
        parsed.entries[i].amplitude_gain = getFloat(e + 8);
        if (!entryUsable(parsed.entries[i])) {
            why = "entry out of range";
            return false;
        }
    }
    out = parsed;
    return true;
}

}  // namespace si4c
}  // namespace Zentrox
