#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <vector>

#include "EvkConfigReading.h"

namespace Zentrox {
namespace evkconfig {

namespace {

// Planes, boxes and spheres of one scene together. Every pixel's ray is traced against every
// object when the kit opens, so objects times pixels bounds the time the open takes: 2^27 ray tests
// take about half a second on a desktop core, a few seconds on a small board.
constexpr uint64_t MOST_SCENE_OBJECTS = 256;
constexpr uint64_t MOST_RAY_TESTS = uint64_t(1) << 27;

float reflectivity(const json& object, const std::string& where) {
    double value = 0.5;
    optionalNumber(object, where, "reflectivity", 0.0, 1.0, value);
    return static_cast<float>(value);
}

// The objects of kind `key` in the scene, each an object of the `known` keys: its own read by
// `read`, its reflectivity (0.5 unless given) here.
template <typename Item>
void readList(const json& scene, const char* key, std::initializer_list<const char*> known,
              std::vector<Item>& out, Item (*read)(const json&, const std::string&)) {
    if (!scene.contains(key)) return;
    const json& list = scene[key];
    const std::string where = std::string("scene.") + key;
    if (!list.is_array()) fail(where, "must be an array, not " + typeName(list));
    for (size_t i = 0; i < list.size(); ++i) {
        const std::string at = where + "[" + std::to_string(i) + "]";
        requireKeys(list[i], at, known);
        Item item = read(list[i], at);
        item.reflectivity = reflectivity(list[i], at);
        out.push_back(item);
    }
}

ScenePlane readPlane(const json& o, const std::string& where) {
    ScenePlane plane;
    if (o.contains("normal")) plane.normal = point(o["normal"], child(where, "normal"));
    if (!(std::sqrt(plane.normal.x * plane.normal.x + plane.normal.y * plane.normal.y +
                    plane.normal.z * plane.normal.z) > 0.0)) {
        fail(child(where, "normal"), "must not be zero");
    }
    plane.distance = requiredNumber(o, where, "distance", -1e7, 1e7);
    return plane;
}

SceneBox readBox(const json& o, const std::string& where) {
    SceneBox box;
    box.min = requiredPoint(o, where, "min");
    box.max = requiredPoint(o, where, "max");
    if (!(box.min.x < box.max.x && box.min.y < box.max.y && box.min.z < box.max.z)) {
        fail(where, "must have \"min\" below \"max\" on every axis");
    }
    return box;
}

SceneSphere readSphere(const json& o, const std::string& where) {
    SceneSphere sphere;
    sphere.center = requiredPoint(o, where, "center");
    sphere.radius = requiredNumber(o, where, "radius", 1e-3, 1e7);
    return sphere;
}

}  // namespace

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
    readList<ScenePlane>(value, "planes", {"normal", "distance", "reflectivity"}, scene.planes, readPlane);
    readList<SceneBox>(value, "boxes", {"min", "max", "reflectivity"}, scene.boxes, readBox);
    readList<SceneSphere>(value, "spheres", {"center", "radius", "reflectivity"}, scene.spheres, readSphere);
    return scene;
}

}  // namespace evkconfig
}  // namespace Zentrox
