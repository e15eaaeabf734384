#include "EvkConfig.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include <unistd.h>

#include "RegularFile.h"

namespace Zentrox {

namespace {

using nlohmann::json;

// Raised inside the parser only; parseEvkConfig turns it into its error text.
struct ConfigError {
    std::string what;
};

// Messages quote at most this many characters of a value or a key: a value of megabytes, or one
// nested thousands deep, must not turn into a message of the same size.
constexpr size_t QUOTED_CHARACTERS = 48;
// Arrays and objects inside each other, counting the top-level object as 1. A sound configuration
// nests 5 deep (scene, planes, a plane, its normal); the bound keeps every walk over a value,
// recursive or not, shallow.
constexpr int DEEPEST_NESTING = 16;
// Planes, boxes and spheres of one scene together. Every pixel's ray is traced against every
// object when the kit opens, so objects times pixels bounds the time the open takes: 2^27 ray tests
// take about half a second on a desktop core, a few seconds on a small board.
constexpr uint64_t MOST_SCENE_OBJECTS = 256;
constexpr uint64_t MOST_RAY_TESTS = uint64_t(1) << 27;

std::string shortened(std::string text, size_t limit) {
    if (text.size() > limit) {
        text.resize(limit);
        text += "...";
    }
    return text;
}

// The beginning of `value` in JSON text, stopped once `out` holds `limit` characters.
void appendPrefix(const json& value, std::string& out, size_t limit) {
    if (out.size() > limit) return;
    if (value.is_array() || value.is_object()) {
        out += value.is_array() ? '[' : '{';
        bool first = true;
        for (auto it = value.begin(); it != value.end() && out.size() <= limit; ++it) {
            out += first ? "" : ", ";
            first = false;
            if (value.is_object()) {
                appendPrefix(json(it.key().substr(0, limit)), out, limit);
                out += ": ";
            }
            appendPrefix(*it, out, limit);
        }
        out += value.is_array() ? ']' : '}';
    } else if (value.is_string()) {
        out += json(value.get_ref<const std::string&>().substr(0, limit)).dump();
    } else {
        out += value.dump();  // a number, true, false or null: a few characters
    }
}

// `value` as a message quotes it: its JSON text, cut short.
std::string quoted(const json& value) {
    std::string text;
    appendPrefix(value, text, QUOTED_CHARACTERS);
    return shortened(std::move(text), QUOTED_CHARACTERS);
}

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw ConfigError{
        (where.empty() ? std::string("the top level") : "\"" + shortened(where, QUOTED_CHARACTERS) + "\"") +
        " " + what};
}

std::string typeName(const json& value) {
    return value.type_name();
}

// Keys of an object, each known; `where` names the object in messages.
void requireKeys(const json& object, const std::string& where, std::initializer_list<const char*> known) {
    if (!object.is_object()) fail(where, "must be an object, not " + typeName(object));
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool found = false;
        for (const char* k : known)
            found = found || it.key() == k;
        if (!found) {
            std::string list;
            for (const char* k : known)
                list += std::string(list.empty() ? "" : ", ") + k;
            fail(where.empty() ? it.key() : where + "." + it.key(),
                 "is not a known key (known: " + list + ")");
        }
    }
}

std::string child(const std::string& where, const char* key) {
    return where.empty() ? key : where + "." + key;
}

double number(const json& value, const std::string& where, double lo, double hi) {
    if (!value.is_number()) fail(where, "must be a number, not " + typeName(value));
    const double v = value.get<double>();
    if (!std::isfinite(v) || v < lo || v > hi) {
        std::ostringstream range;
        range << "must lie between " << lo << " and " << hi << " (found " << quoted(value) << ")";
        fail(where, range.str());
    }
    return v;
}

uint64_t whole(const json& value, const std::string& where, uint64_t lo, uint64_t hi) {
    if (!value.is_number_integer() ||
        (value.is_number_integer() && !value.is_number_unsigned() && value.get<int64_t>() < 0)) {
        fail(where, "must be a whole number not below 0 (found " + quoted(value) + ")");
    }
    const uint64_t v = value.get<uint64_t>();
    if (v < lo || v > hi) {
        fail(where, "must lie between " + std::to_string(lo) + " and " + std::to_string(hi) + " (found " +
                        quoted(value) + ")");
    }
    return v;
}

bool flag(const json& value, const std::string& where) {
    if (!value.is_boolean()) fail(where, "must be true or false, not " + typeName(value));
    return value.get<bool>();
}

ScenePoint point(const json& value, const std::string& where) {
    if (!value.is_array() || value.size() != 3) fail(where, "must be an array of three numbers [x, y, z]");
    constexpr double FAR = 1e7;  // 10 km: beyond anything a kit can see
    return ScenePoint{number(value[0], where + "[0]", -FAR, FAR), number(value[1], where + "[1]", -FAR, FAR),
                      number(value[2], where + "[2]", -FAR, FAR)};
}

float reflectivity(const json& object, const std::string& where) {
    if (!object.contains("reflectivity")) return 0.5f;
    return static_cast<float>(number(object["reflectivity"], child(where, "reflectivity"), 0.0, 1.0));
}

const json& required(const json& object, const std::string& where, const char* key) {
    if (!object.contains(key)) fail(child(where, key), "is missing");
    return object[key];
}

template <typename Item>
void readList(const json& scene, const char* key, std::vector<Item>& out,
              Item (*read)(const json&, const std::string&)) {
    if (!scene.contains(key)) return;
    const json& list = scene[key];
    const std::string where = std::string("scene.") + key;
    if (!list.is_array()) fail(where, "must be an array, not " + typeName(list));
    for (size_t i = 0; i < list.size(); ++i)
        out.push_back(read(list[i], where + "[" + std::to_string(i) + "]"));
}

ScenePlane readPlane(const json& o, const std::string& where) {
    requireKeys(o, where, {"normal", "distance", "reflectivity"});
    ScenePlane plane;
    if (o.contains("normal")) plane.normal = point(o["normal"], child(where, "normal"));
    if (!(std::sqrt(plane.normal.x * plane.normal.x + plane.normal.y * plane.normal.y +
                    plane.normal.z * plane.normal.z) > 0.0)) {
        fail(child(where, "normal"), "must not be zero");
    }
    plane.distance = number(required(o, where, "distance"), child(where, "distance"), -1e7, 1e7);
    plane.reflectivity = reflectivity(o, where);
    return plane;
}

SceneBox readBox(const json& o, const std::string& where) {
    requireKeys(o, where, {"min", "max", "reflectivity"});
    SceneBox box;
    box.min = point(required(o, where, "min"), child(where, "min"));
    box.max = point(required(o, where, "max"), child(where, "max"));
    if (!(box.min.x < box.max.x && box.min.y < box.max.y && box.min.z < box.max.z)) {
        fail(where, "must have \"min\" below \"max\" on every axis");
    }
    box.reflectivity = reflectivity(o, where);
    return box;
}

SceneSphere readSphere(const json& o, const std::string& where) {
    requireKeys(o, where, {"center", "radius", "reflectivity"});
    SceneSphere sphere;
    sphere.center = point(required(o, where, "center"), child(where, "center"));
    sphere.radius = number(required(o, where, "radius"), child(where, "radius"), 1e-3, 1e7);
    sphere.reflectivity = reflectivity(o, where);
    return sphere;
}

// `pixels`: of one image, which sets how many objects the scene may hold.
Scene readScene(const json& value, uint64_t pixels) {
    if (value.is_string()) {
        if (value.get<std::string>() == "built-in") return Scene::builtIn();
        fail("scene", "must be \"built-in\" or an object with planes, boxes and spheres (found " +
                          quoted(value) + ")");
    }
    if (!value.is_object()) {
        fail("scene",
             "must be \"built-in\" or an object with planes, boxes and spheres, not " + typeName(value));
    }
    requireKeys(value, "scene", {"planes", "boxes", "spheres"});
    uint64_t objects = 0;
    for (const char* key : {"planes", "boxes", "spheres"})
        if (value.contains(key) && value[key].is_array()) objects += value[key].size();
    const uint64_t most = std::min(MOST_SCENE_OBJECTS, MOST_RAY_TESTS / std::max<uint64_t>(pixels, 1));
    if (objects > most) {
        fail("scene", "holds " + std::to_string(objects) + " planes, boxes and spheres; a kit of " +
                          std::to_string(pixels) + " pixels renders at most " + std::to_string(most) +
                          " of them (256, fewer where objects times pixels would exceed 2^27)");
    }
    Scene scene;
    readList<ScenePlane>(value, "planes", scene.planes, readPlane);
    readList<SceneBox>(value, "boxes", scene.boxes, readBox);
    readList<SceneSphere>(value, "spheres", scene.spheres, readSphere);
    return scene;
}

void readFaults(const json& value, EvkFaults& faults) {
    requireKeys(value, "faults", {"fail_open", "fail_init", "fail_start", "timeout_every", "wrong_size_at"});
    constexpr uint64_t MAX = std::numeric_limits<uint32_t>::max();
    if (value.contains("fail_open")) faults.fail_open = flag(value["fail_open"], "faults.fail_open");
    if (value.contains("fail_init")) faults.fail_init = flag(value["fail_init"], "faults.fail_init");
    if (value.contains("fail_start")) faults.fail_start = flag(value["fail_start"], "faults.fail_start");
    if (value.contains("timeout_every"))
        faults.timeout_every = whole(value["timeout_every"], "faults.timeout_every", 0, MAX);
    if (value.contains("wrong_size_at"))
        faults.wrong_size_at = whole(value["wrong_size_at"], "faults.wrong_size_at", 0, MAX);
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
    if (root.contains("frame_rate"))
        config.frame_rate = number(root["frame_rate"], "frame_rate", 0.0, 1000.0);
    if (root.contains("field_of_view"))
        config.field_of_view = number(root["field_of_view"], "field_of_view", 1.0, 170.0);
    if (root.contains("scene"))
        config.scene = readScene(root["scene"], uint64_t(config.width) * config.height);
    if (root.contains("amplitude")) config.amplitude = number(root["amplitude"], "amplitude", 0.0, 1e6);
    if (root.contains("ambient")) config.ambient = number(root["ambient"], "ambient", -1023.0, 1023.0);
    if (root.contains("noise")) config.noise = number(root["noise"], "noise", 0.0, 1000.0);
    if (root.contains("seed"))
        config.seed = whole(root["seed"], "seed", 0, std::numeric_limits<uint64_t>::max());
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
