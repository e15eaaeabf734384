#include "EvkConfigReading.h"

#include <cmath>
#include <sstream>

namespace Zentrox {
namespace evkconfig {

namespace {

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

const json& required(const json& object, const std::string& where, const char* key) {
    if (!object.contains(key)) fail(child(where, key), "is missing");
    return object[key];
}

}  // namespace

std::string shortened(std::string text, size_t limit) {
    if (text.size() > limit) {
        text.resize(limit);
        text += "...";
    }
    return text;
}

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

double requiredNumber(const json& object, const std::string& where, const char* key, double lo, double hi) {
    return number(required(object, where, key), child(where, key), lo, hi);
}

ScenePoint requiredPoint(const json& object, const std::string& where, const char* key) {
    return point(required(object, where, key), child(where, key));
}

void optionalNumber(const json& object, const std::string& where, const char* key, double lo, double hi,
                    double& out) {
    if (object.contains(key)) out = number(object[key], child(where, key), lo, hi);
}

void optionalWhole(const json& object, const std::string& where, const char* key, uint64_t lo, uint64_t hi,
                   uint64_t& out) {
    if (object.contains(key)) out = whole(object[key], child(where, key), lo, hi);
}

void optionalFlag(const json& object, const std::string& where, const char* key, bool& out) {
    if (object.contains(key)) out = flag(object[key], child(where, key));
}

}  // namespace evkconfig
}  // namespace Zentrox
