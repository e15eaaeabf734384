#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "ZentroxScene.h"

namespace Zentrox {

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr double NO_HIT = std::numeric_limits<double>::infinity();

double dot(const ScenePoint& a, const ScenePoint& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
double length(const ScenePoint& a) {
    return std::sqrt(dot(a, a));
}
bool finite(const ScenePoint& a) {
    return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z);
}
bool validReflectivity(float r) {
    return std::isfinite(r) && r >= 0.0f && r <= 1.0f;
}

double hitPlane(const ScenePlane& plane, const ScenePoint& dir) {
    const double norm = length(plane.normal);
    if (!(norm > 0.0)) return NO_HIT;
    const double facing = dot(plane.normal, dir) / norm;
    if (std::fabs(facing) < 1e-12) return NO_HIT;
    const double t = plane.distance / facing;
    return t > 0.0 ? t : NO_HIT;
}

// Slab test against the box; the nearest entry in front of the origin, or the exit when the origin
// is inside.
double hitBox(const SceneBox& box, const ScenePoint& dir) {
    double enter = -NO_HIT;
    double leave = NO_HIT;
    const double lo[3] = {box.min.x, box.min.y, box.min.z};
    const double hi[3] = {box.max.x, box.max.y, box.max.z};
    const double d[3] = {dir.x, dir.y, dir.z};
    for (int axis = 0; axis < 3; ++axis) {
        if (d[axis] == 0.0) {
            if (0.0 < lo[axis] || 0.0 > hi[axis]) return NO_HIT;
            continue;
        }
        double t0 = lo[axis] / d[axis];
        double t1 = hi[axis] / d[axis];
        if (t0 > t1) std::swap(t0, t1);
        enter = std::max(enter, t0);
        leave = std::min(leave, t1);
    }
    if (enter > leave || leave <= 0.0) return NO_HIT;
    return enter > 0.0 ? enter : leave;
}

double hitSphere(const SceneSphere& sphere, const ScenePoint& dir) {
    // |t dir - c|^2 = r^2 with |dir| = 1: t^2 - 2 t (dir.c) + |c|^2 - r^2 = 0.
    const double b = dot(dir, sphere.center);
    const double c = dot(sphere.center, sphere.center) - sphere.radius * sphere.radius;
    const double disc = b * b - c;
    if (disc < 0.0) return NO_HIT;
    const double root = std::sqrt(disc);
    const double near = b - root;
    if (near > 0.0) return near;
    const double far = b + root;
    return far > 0.0 ? far : NO_HIT;
}

}  // namespace

Scene Scene::builtIn() {
    Scene scene;
    scene.planes.push_back(ScenePlane{{0.0, 0.0, 1.0}, 2000.0, 0.6f});
    scene.boxes.push_back(SceneBox{{-700.0, -150.0, 1300.0}, {-250.0, 450.0, 1600.0}, 0.8f});
    scene.spheres.push_back(SceneSphere{{450.0, 100.0, 1200.0}, 250.0, 0.9f});
    return scene;
}

Scene Scene::flatWall(double distance, float reflectivity) {
    Scene scene;
    scene.planes.push_back(ScenePlane{{0.0, 0.0, 1.0}, distance, reflectivity});
    return scene;
}

const char* Scene::defect() const {
    for (const auto& p : planes) {
        if (!finite(p.normal) || !std::isfinite(p.distance)) return "a plane has a non-finite number";
        if (!(length(p.normal) > 0.0)) return "a plane has a zero normal";
        if (!validReflectivity(p.reflectivity)) return "a plane's reflectivity is outside 0 to 1";
    }
    for (const auto& b : boxes) {
        if (!finite(b.min) || !finite(b.max)) return "a box has a non-finite number";
        if (!(b.min.x < b.max.x && b.min.y < b.max.y && b.min.z < b.max.z))
            return "a box's min corner is not below its max corner on every axis";
        if (!validReflectivity(b.reflectivity)) return "a box's reflectivity is outside 0 to 1";
    }
    for (const auto& s : spheres) {
        if (!finite(s.center) || !std::isfinite(s.radius)) return "a sphere has a non-finite number";
        if (!(s.radius > 0.0)) return "a sphere's radius is not above 0";
        if (!validReflectivity(s.reflectivity)) return "a sphere's reflectivity is outside 0 to 1";
    }
    return "";
}

PinholeCamera PinholeCamera::fromFieldOfView(uint32_t width, uint32_t height, double horizontal_fov_deg) {
    PinholeCamera camera;
    camera.width = width;
    camera.height = height;
    camera.fx = (width / 2.0) / std::tan(horizontal_fov_deg * PI / 360.0);
    camera.fy = camera.fx;
    camera.cx = width / 2.0;
    camera.cy = height / 2.0;
    return camera;
}

ScenePoint PinholeCamera::ray(uint32_t u, uint32_t v) const {
    ScenePoint dir{(u + 0.5 - cx) / fx, (v + 0.5 - cy) / fy, 1.0};
    const double norm = length(dir);
    return ScenePoint{dir.x / norm, dir.y / norm, dir.z / norm};
}

double traceRay(const Scene& scene, const ScenePoint& direction, float* reflectivity) {
    double best = NO_HIT;
    float surface = 0.0f;
    auto consider = [&](double t, float r) {
        if (t < best) {
            best = t;
            surface = r;
        }
    };
    for (const auto& p : scene.planes)
        consider(hitPlane(p, direction), p.reflectivity);
    for (const auto& b : scene.boxes)
        consider(hitBox(b, direction), b.reflectivity);
    for (const auto& s : scene.spheres)
        consider(hitSphere(s, direction), s.reflectivity);
    if (best == NO_HIT) {
        if (reflectivity) *reflectivity = 0.0f;
        return 0.0;
    }
    if (reflectivity) *reflectivity = surface;
    return best;
}

void renderScene(const Scene& scene, const PinholeCamera& camera, SceneMap& map) {
    map.width = camera.width;
    map.height = camera.height;
    const size_t pixels = size_t{camera.width} * camera.height;
    map.distance.assign(pixels, 0.0f);
    map.reflectivity.assign(pixels, 0.0f);
    for (uint32_t v = 0; v < camera.height; ++v) {
        for (uint32_t u = 0; u < camera.width; ++u) {
            const size_t i = size_t{v} * camera.width + u;
            float r = 0.0f;
            map.distance[i] = static_cast<float>(traceRay(scene, camera.ray(u, v), &r));
            map.reflectivity[i] = r;
        }
    }
}

}  // namespace Zentrox
