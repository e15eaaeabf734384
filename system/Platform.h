// Board detection from the device-tree model text.
#pragma once

#include <cstdint>

namespace Zentrox {

namespace Platform {
constexpr int UNKNOWN = 0;
constexpr int JETSON_NANO = 2;
constexpr int JETSON = 3;
constexpr int RASPBERRY_PI = 5;
constexpr int RASPBERRY_PI_5 = 6;
constexpr int RADXA_ROCK = 7;
}  // namespace Platform

// Reads "/sys/firmware/devicetree/base/model" once and returns a Platform code; UNKNOWN when the
// file is missing or no rule matches. Never fails.
int detectPlatform();

// The rule table applied to a model text (the part before the first NUL of the first 99 characters).
int platformFromModel(const char* model);

}  // namespace Zentrox
