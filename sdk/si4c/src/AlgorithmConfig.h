// Algorithm parameters of the engine and the reader of "ConfigAlgorithm.json" (INI-style text).
#pragma once

#include <string>

namespace Zentrox {
namespace si4c {

struct AlgorithmParams {
    float valid_dist_min_mm = 0.0f;     // [ConfidenceParams] ValidDistMin
    float valid_dist_max_mm = 7000.0f;  // [ConfidenceParams] ValidDistMax
    float confidence_min = 0.0f;        // [ConfidenceParams] ConfidenceThreshold, 0..100
};

// NOT_A_FILE: something other than a regular file has the name (a FIFO, a directory, a device).
enum class ConfigRead { LOADED, MISSING, MALFORMED, NOT_A_FILE };

// Parses INI text: "[section]" lines (no brackets inside the name: sections do not nest), "key=value"
// lines, blank lines and comment lines beginning with "//", ";" or "#". Any other line, a value of a
// known key that is not a finite number >= 0, or a minimum above the maximum makes the whole text
// malformed and leaves `params` unchanged.
bool parseAlgorithmConfig(const std::string& text, AlgorithmParams& params);

// Reads "<directory>/ConfigAlgorithm.json" into `params`, never waiting on the name; unless LOADED
// they stay unchanged.
ConfigRead readAlgorithmConfig(const std::string& directory, AlgorithmParams& params);

}  // namespace si4c
}  // namespace Zentrox
