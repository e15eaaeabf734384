// A small scene model and its renderer: planes, axis-aligned boxes and spheres, each with a
// reflectivity, seen through a pinhole camera. Rendering gives, per pixel, the distance along the
// pixel's viewing ray to the nearest surface and that surface's reflectivity. Turning that map into
// sensor samples is a separate step (ZentroxPhaseEncoding.h), so every emulated module (the USB kit,
// the fake kernel behind the CSI transport, other raw layouts) shares one picture of the world.
//
// Coordinates: the camera's optical centre is the origin, x points right, y down, z forward (into
// the scene); every length is in millimetres.
#pragma once

#include <cstdint>
#include <vector>

namespace Zentrox {

struct ScenePoint {
    double x;
    double y;
    double z;
};

// The points p with dot(normal, p) == distance, normal scaled to unit length first. The default is
// a wall facing the camera. Both sides of a plane reflect.
struct ScenePlane {
    ScenePoint normal{0.0, 0.0, 1.0};
    double distance = 2000.0;
    float reflectivity = 0.5f;
};

// An axis-aligned box between two opposite corners (min below max on every axis).
struct SceneBox {
    ScenePoint min{0.0, 0.0, 0.0};
    ScenePoint max{0.0, 0.0, 0.0};
    float reflectivity = 0.5f;
};

struct SceneSphere {
    ScenePoint center{0.0, 0.0, 0.0};
    double radius = 0.0;
    float reflectivity = 0.5f;
};

// Reflectivity is the fraction of the emitted light a surface sends back, 0 to 1.
struct Scene {
    std::vector<ScenePlane> planes;
    std::vector<SceneBox> boxes;
    std::vector<SceneSphere> spheres;

    // A wall at 2 m, a box and a sphere in front of it: what an emulated camera shows by default.
    static Scene builtIn();
    // One wall facing the camera at `distance` mm and nothing else.
    static Scene flatWall(double distance, float reflectivity);
    // Why the scene cannot be rendered (a zero normal, an empty box, a radius not above 0, a
    // reflectivity outside 0..1, a non-finite number), or an empty text when it can.
    const char* defect() const;
};

// Pinhole intrinsics in pixels. The ray of pixel (u, v) passes through its centre:
// direction ((u + 0.5 - cx) / fx, (v + 0.5 - cy) / fy, 1).
struct PinholeCamera {
    uint32_t width = 0;
    uint32_t height = 0;
    double fx = 1.0;
    double fy = 1.0;
    double cx = 0.0;
    double cy = 0.0;

    // Square pixels, the principal point at the image centre, the given horizontal field of view
    // in degrees (above 0, below 180).
    static PinholeCamera fromFieldOfView(uint32_t width, uint32_t height, double horizontal_fov_deg);
    // Unit direction of the ray through the centre of pixel (u, v).
    ScenePoint ray(uint32_t u, uint32_t v) const;
};

// What the camera sees, row-major, width * height entries per plane.
struct SceneMap {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<float> distance;      // mm along the viewing ray; 0 where the ray hits nothing
    std::vector<float> reflectivity;  // of the surface hit; 0 where the ray hits nothing
};

// Distance along the unit ray `direction` from the origin to the nearest surface of `scene`, and
// that surface's reflectivity; 0 and 0 when the ray hits nothing.
double traceRay(const Scene& scene, const ScenePoint& direction, float* reflectivity);

// Renders every pixel of `camera` into `map` (resized to the camera's geometry).
void renderScene(const Scene& scene, const PinholeCamera& camera, SceneMap& map);

}  // namespace Zentrox
