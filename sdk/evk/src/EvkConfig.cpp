#include "EvkConfig.h"

#include <algorithm>
#include <cerrno>
#include <limits>

#include <unistd.h>

#include "EvkConfigReading.h"
#include "RegularFile.h"

namespace Zentrox {

using namespace evkconfig;

namespace {

// Arrays and objects inside each other, counting the top-level object as 1. A sound configuration
// nests 5 deep (scene, planes, a plane, its normal); the bound keeps every walk over a value,
// recursive or not, shallow.
constexpr int DEEPEST_NESTING = 16;

void readFaults(const json& value, EvkFaults& faults) {
    requireKeys(value, "faults", {"fail_open", "fail_init", "fail_start", "timeout_every", "wrong_size_at"});
    constexpr uint64_t MAX = std::numeric_limits<uint32_t>::max();
    optionalFlag(value, "faults", "fail_open", faults.fail_open);
    optionalFlag(value, "faults", "fail_init", faults.fail_init);
    optionalFlag(value, "faults", "fail_start", faults.fail_start);
    optionalWhole(value, "faults", "timeout_every", 0, MAX, faults.timeout_every);
    optionalWhole(value, "faults", "wrong_size_at", 0, MAX, faults.wrong_size_at);
}

// The keys of the vga module, and the sizes and bit width its raw layout allows.
void readVgaKeys(const json& root, bool vga, EvkConfig& config) {
    for (const char* key : {"frequency_mode", "phase_offsets"})
        if (root.contains(key) && !vga) fail(key, "applies to the \"vga\" module only");
    if (!vga) return;
    if (!((config.width == 640 && config.height == 480) || (config.width == 320 && config.height == 240))) {
        fail("width", "and \"height\" of the \"vga\" module must be 640 x 480 or 320 x 240 (found " +
                          std::to_string(config.width) + " x " + std::to_string(config.height) + ")");
    }
    if (config.bit_width != 12) fail("bit_width", "of the \"vga\" module must be 12");
    if (root.contains("frequency_mode")) {
        const json& mode = root["frequency_mode"];
        if (!mode.is_string() || (mode.get<std::string>() != "single" && mode.get<std::string>() != "double"))
            fail("frequency_mode", "must be \"single\" or \"double\" (found " + quoted(mode) + ")");
        config.single_frequency = mode.get<std::string>() == "single";
    }
    if (root.contains("phase_offsets")) {
        const json& offsets = root["phase_offsets"];
        if (!offsets.is_array() || offsets.empty() || offsets.size() > 2)
            fail("phase_offsets", "must be an array of one or two numbers (radians per frequency)");
        constexpr double TURN = 6.283185307179586;
        for (size_t i = 0; i < 2; ++i)
            config.phase_offsets[i] =
                i < offsets.size()
                    ? number(offsets[i], "phase_offsets[" + std::to_string(i) + "]", -TURN, TURN)
                    : 0.0;
    }
}

void readConfig(const json& root, EvkConfig& config) {
    requireKeys(
        root, "",
        {"module", "width", "height", "bit_width", "frame_rate", "field_of_view", "scene", "amplitude",
         "ambient", "noise", "seed", "faults", "frequency_mode", "phase_offsets", "subpixels"});
    if (root.contains("module")) {
        const json& module = root["module"];
        if (!module.is_string() ||
            (module.get<std::string>() != "hqvga" && module.get<std::string>() != "vga")) {
            fail("module",
                 "must name a known module type: \"hqvga\" or \"vga\" (found " + quoted(module) + ")");
        }
        config.module = module.get<std::string>();
    }
    const bool vga = config.module == "vga";
    if (vga && !root.contains("width") && !root.contains("height")) {
        config.width = 640;
        config.height = 480;
    }
    if (root.contains("width")) config.width = static_cast<uint32_t>(whole(root["width"], "width", 1, 4096));
    if (root.contains("height"))
        config.height = static_cast<uint32_t>(whole(root["height"], "height", 1, 4096));
    if (root.contains("bit_width")) {
        const uint64_t bits = whole(root["bit_width"], "bit_width", 8, 14);
        if (bits % 2 != 0) fail("bit_width", "must be 8, 10, 12 or 14 (found " + std::to_string(bits) + ")");
        config.bit_width = static_cast<uint32_t>(bits);
    }
    optionalNumber(root, "", "frame_rate", 0.0, 1000.0, config.frame_rate);
    optionalNumber(root, "", "field_of_view", 1.0, 170.0, config.field_of_view);
    if (root.contains("scene"))
        config.scene = readScene(root["scene"], uint64_t(config.width) * config.height);
    optionalNumber(root, "", "amplitude", 0.0, 1e6, config.amplitude);
    optionalNumber(root, "", "ambient", -1023.0, 1023.0, config.ambient);
    optionalNumber(root, "", "noise", 0.0, 1000.0, config.noise);
    optionalWhole(root, "", "seed", 0, std::numeric_limits<uint64_t>::max(), config.seed);
    if (root.contains("faults")) readFaults(root["faults"], config.faults);
    if (root.contains("subpixels")) {
        if (vga) fail("subpixels", "applies to the \"hqvga\" module only");
        config.subpixels = static_cast<uint32_t>(whole(root["subpixels"], "subpixels", 1, 8));
        // The traced map holds width x height x subpixels^2 rays; keep it to 16 Mi (a few 100 MB).
        const uint64_t rays = uint64_t{config.width} * config.height * config.subpixels * config.subpixels;
        if (rays > (uint64_t{1} << 24))
            fail("subpixels", "needs " + std::to_string(rays) + " rays per image, more than 16777216");
    }
    readVgaKeys(root, vga, config);
}

// Reads JSON text without building it, for the deepest nesting of its arrays and objects (the
// top-level value counts 1). Stops at the first level beyond the bound, and at a syntax error, which
// the parse proper then reports.
struct NestingDepth {
    int current = 0;
    int deepest = 0;
    bool open() {
        deepest = std::max(deepest, ++current);
        return current <= DEEPEST_NESTING;
    }
    bool close() {
        --current;
        return true;
    }
    bool null() { return true; }
    bool boolean(bool) { return true; }
    bool number_integer(json::number_integer_t) { return true; }
    bool number_unsigned(json::number_unsigned_t) { return true; }
    bool number_float(json::number_float_t, const json::string_t&) { return true; }
    bool string(json::string_t&) { return true; }
    bool binary(json::binary_t&) { return true; }
    bool start_object(std::size_t) { return open(); }
    bool key(json::string_t&) { return true; }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const json::exception&) { return false; }
};

}  // namespace

bool parseEvkConfig(const std::string& text, EvkConfig& config, std::string& error) {
    try {
        // Measured before a value is built, so that nothing deep ever exists to be walked.
        NestingDepth depth;
        json::sax_parse(text, &depth, json::input_format_t::json, true, true);
        if (depth.deepest > DEEPEST_NESTING) {
            fail("", "nests arrays and objects more than " + std::to_string(DEEPEST_NESTING) + " deep");
        }
        const json root = json::parse(text, nullptr, true, true);
        EvkConfig parsed = config;
        readConfig(root, parsed);
        config = std::move(parsed);
        return true;
    } catch (const ConfigError& e) {
        error = e.what;
    } catch (const json::exception& e) {
        // The parser's message may quote the text it stopped at, which can be a string of megabytes.
        error = shortened(std::string("not valid JSON: ") + e.what(), 160);
    } catch (const std::exception& e) {
        error = std::string("cannot be read: ") + e.what();
    }
    return false;
}

bool loadEvkConfig(const std::string& path, EvkConfig& config, std::string& error) {
    constexpr uint64_t LARGEST = 16 << 20;  // far above any configuration
    uint64_t bytes = 0;
    const int fd = openRegularFile(path, LARGEST, bytes, error);
    if (fd < 0) return false;
    std::string text(size_t(bytes), '\0');
    size_t done = 0;
    bool failed = false;
    while (done < text.size()) {
        const ssize_t n = ::read(fd, &text[done], text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        failed = n < 0;
        if (n <= 0) break;
        done += size_t(n);
    }
    ::close(fd);
    if (failed) {
        error = "cannot be read";
        return false;
    }
    text.resize(done);  // a file that shrank while it was read is parsed as far as it went
    return parseEvkConfig(text, config, error);
}

}  // namespace Zentrox
