// Reading the kit's JSON configuration: the checks of single values, which name the offending key
// in their message, and the readers of its parts. Used by EvkConfig.cpp and EvkSceneConfig.cpp only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>

#include "ZentroxScene.h"

namespace Zentrox {
namespace evkconfig {

using nlohmann::json;

// Raised by the readers; parseEvkConfig turns it into its error text.
struct ConfigError {
    std::string what;
};

// Messages quote at most this many characters of a value or a key: a value of megabytes, or one
// nested thousands deep, must not turn into a message of the same size.
constexpr size_t QUOTED_CHARACTERS = 48;

// `text` cut to `limit` characters, with "..." where it was cut.
std::string shortened(std::string text, size_t limit);
// `value` as a message quotes it: its JSON text, cut short.
std::string quoted(const json& value);
// Raises ConfigError: `where` (a dotted key path; empty: the top level) followed by `what`.
[[noreturn]] void fail(const std::string& where, const std::string& what);
std::string typeName(const json& value);
// `where` and `key` as one dotted path.
std::string child(const std::string& where, const char* key);

// Requires an object whose keys are all `known`; `where` names the object in messages.
void requireKeys(const json& object, const std::string& where, std::initializer_list<const char*> known);

double number(const json& value, const std::string& where, double lo, double hi);
uint64_t whole(const json& value, const std::string& where, uint64_t lo, uint64_t hi);
bool flag(const json& value, const std::string& where);
// An array [x, y, z] of numbers.
ScenePoint point(const json& value, const std::string& where);

// The value of `key`, which `object` must hold, read as a number or a point.
double requiredNumber(const json& object, const std::string& where, const char* key, double lo, double hi);
ScenePoint requiredPoint(const json& object, const std::string& where, const char* key);
// The value of `key` into `out` when `object` holds one; `out` stays as it is otherwise.
void optionalNumber(const json& object, const std::string& where, const char* key, double lo, double hi,
                    double& out);
void optionalWhole(const json& object, const std::string& where, const char* key, uint64_t lo, uint64_t hi,
                   uint64_t& out);
void optionalFlag(const json& object, const std::string& where, const char* key, bool& out);

// The scene: "built-in" or an object of planes, boxes and spheres. `pixels`, of one image, sets how
// many objects the scene may hold.
Scene readScene(const json& value, uint64_t pixels);

}  // namespace evkconfig
}  // namespace Zentrox
