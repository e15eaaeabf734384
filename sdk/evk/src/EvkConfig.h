// What an emulated kit emulates: the module, its stream, the scene it sees and the faults it shows.
// Read from the JSON configuration file described in docs/emulated-kit.md; every key is optional
// and a kit opened without a file uses the defaults below.
#pragma once

#include <cstdint>
#include <string>

#include "ZentroxScene.h"

namespace Zentrox {

// Faults a test can make the kit show. Image counts start at 1 with the first capture call that an
// image was due for after each start of the stream. A lost or short image ends its frame: the rest
// of that frame is dropped, and the next frame begins after a pause (see EvkCamera.h).
struct EvkFaults {
    bool fail_open = false;      // ZentroxOpenCamera fails after reading the file
    bool fail_init = false;      // ZentroxInitCamera fails
    bool fail_start = false;     // ZentroxStartCamera fails
    uint64_t timeout_every = 0;  // every Nth image is lost: its capture call times out (0: never)
    uint64_t wrong_size_at = 0;  // the Nth image reports one row too few bytes (0: never)
};

struct EvkConfig {
    std::string module = "hqvga";  // the module type, which fixes the image layout: "hqvga" or "vga"
    // Output size of the module. The vga module is 640 x 480 (its default) or 320 x 240; its kit
    // reports the raw frame height of its frequency mode instead (see VgaRenderer.h).
    uint32_t width = 240;
    uint32_t height = 180;
    uint32_t bit_width = 12;      // 8, 10, 12 or 14
    double frame_rate = 30.0;     // camera frames per second; 0: as fast as the caller takes them
    double field_of_view = 70.0;  // horizontal, degrees
    Scene scene = Scene::builtIn();
    double amplitude = 2000.0;  // counts returned by reflectivity 1 at 1 m
    double ambient = 64.0;      // counts of ambient light in every sample
    double noise = 1.0;         // standard deviation of every sample, counts; 0: bit-identical frames
    uint64_t seed = 1;
    // hqvga module only: each pixel is the mean of subpixels x subpixels rays over its area, so that
    // pixels on a depth edge mix both surfaces (flying pixels); 1 traces one ray per pixel.
    uint32_t subpixels = 1;
    // vga module only: single (5 blocks) or double (10 blocks) frequency, and an extra phase in
    // radians per frequency slot that a matching calibration blob takes out again.
    bool single_frequency = true;
    double phase_offsets[2] = {0.0, 0.0};
    EvkFaults faults;
};

// Reads `text` over the defaults in `config`. False with the reason in `error` when the text is not
// JSON, names an unknown key, or holds a value of the wrong type or outside its range.
bool parseEvkConfig(const std::string& text, EvkConfig& config, std::string& error);
// The same for a file; a file that cannot be read is an error too.
bool loadEvkConfig(const std::string& path, EvkConfig& config, std::string& error);

}  // namespace Zentrox
