#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "ZentroxScene.h"

using namespace Zentrox;

namespace {

ScenePoint unit(double x, double y, double z) {
    const double n = std::sqrt(x * x + y * y + z * z);
    return ScenePoint{x / n, y / n, z / n};
}

TEST(PinholeCamera, FieldOfViewGivesFocalLengthAndCentredRays) {
    const PinholeCamera camera = PinholeCamera::fromFieldOfView(240, 180, 90.0);
    EXPECT_NEAR(camera.fx, 120.0, 1e-9);  // half width / tan(45 deg)
    EXPECT_DOUBLE_EQ(camera.fy, camera.fx);
    EXPECT_DOUBLE_EQ(camera.cx, 120.0);
    EXPECT_DOUBLE_EQ(camera.cy, 90.0);
    // The leftmost pixel's centre is half a pixel inside the field's edge.
    const ScenePoint left = camera.ray(0, 90);
    EXPECT_NEAR(left.x / left.z, -119.5 / 120.0, 1e-12);
    EXPECT_NEAR(left.y / left.z, 0.5 / 120.0, 1e-12);
    // Rays are unit length and mirror about the centre.
    const ScenePoint right = camera.ray(239, 89);
    EXPECT_NEAR(right.x, -left.x, 1e-12);
    EXPECT_NEAR(right.y, -left.y, 1e-12);
    EXPECT_NEAR(right.x * right.x + right.y * right.y + right.z * right.z, 1.0, 1e-12);
}

TEST(SceneRender, FlatWallGivesTheRadialDistanceOfEveryPixel) {
    const PinholeCamera camera = PinholeCamera::fromFieldOfView(64, 48, 70.0);
    SceneMap map;
    renderScene(Scene::flatWall(1500.0, 0.7f), camera, map);
    ASSERT_EQ(map.width, 64u);
    ASSERT_EQ(map.height, 48u);
    ASSERT_EQ(map.distance.size(), 64u * 48u);
    for (uint32_t v = 0; v < 48; ++v) {
        for (uint32_t u = 0; u < 64; ++u) {
            // A wall at z = 1500 lies 1500 / cos(angle to the axis) along the pixel's ray.
            const double x = (u + 0.5 - 32.0) / camera.fx;
            const double y = (v + 0.5 - 24.0) / camera.fy;
            const double expected = 1500.0 * std::sqrt(x * x + y * y + 1.0);
            EXPECT_NEAR(map.distance[v * 64 + u], expected, expected * 1e-6) << u << "," << v;
            EXPECT_FLOAT_EQ(map.reflectivity[v * 64 + u], 0.7f);
        }
    }
    EXPECT_GT(map.distance[0], map.distance[24 * 64 + 32]);  // corners lie farther than the centre
}

TEST(SceneRender, NearestSurfaceAlongARay) {
    Scene wall = Scene::flatWall(2000.0, 0.5f);
    Scene sphereAhead = wall;
    sphereAhead.spheres.push_back(SceneSphere{{0, 0, 1000}, 200, 0.9f});
    Scene boxAhead = wall;
    boxAhead.boxes.push_back(SceneBox{{-100, -100, 1200}, {100, 100, 1500}, 0.8f});
    Scene insideSphere;
    insideSphere.spheres.push_back(SceneSphere{{0, 0, 100}, 300, 0.4f});
    Scene insideBox;
    insideBox.boxes.push_back(SceneBox{{-500, -500, -500}, {500, 500, 700}, 0.3f});
    Scene behind;
    behind.spheres.push_back(SceneSphere{{0, 0, -1000}, 200, 0.9f});
    behind.planes.push_back(ScenePlane{{0, 0, 1}, -500, 0.9f});
    Scene floor;
    floor.planes.push_back(ScenePlane{{0, 2, 0}, 600, 0.3f});  // y = 600, normal not unit
    Scene both = sphereAhead;
    both.boxes = boxAhead.boxes;

    const struct {
        const char* name;
        const Scene* scene;
        ScenePoint dir;
        double distance;
        float reflectivity;
    } rows[] = {
        {"wall straight ahead", &wall, unit(0, 0, 1), 2000.0, 0.5f},
        {"wall at an angle", &wall, unit(1, 0, 1), 2000.0 * std::sqrt(2.0), 0.5f},
        {"sphere in front of the wall", &sphereAhead, unit(0, 0, 1), 800.0, 0.9f},
        {"ray past the sphere", &sphereAhead, unit(0.3, 0, 1), 2000.0 * std::sqrt(1.09), 0.5f},
        {"box front face", &boxAhead, unit(0, 0, 1), 1200.0, 0.8f},
        {"sphere before box", &both, unit(0, 0, 1), 800.0, 0.9f},
        {"from inside a sphere", &insideSphere, unit(0, 0, 1), 400.0, 0.4f},
        {"from inside a box", &insideBox, unit(0, 0, 1), 700.0, 0.3f},
        {"objects behind the camera", &behind, unit(0, 0, 1), 0.0, 0.0f},
        {"floor below", &floor, unit(0, 1, 1), 600.0 * std::sqrt(2.0), 0.3f},
        {"floor not reached looking up", &floor, unit(0, -1, 1), 0.0, 0.0f},
        {"ray parallel to the floor", &floor, unit(1, 0, 0), 0.0, 0.0f},
    };
    for (const auto& row : rows) {
        float reflectivity = -1.0f;
        EXPECT_NEAR(traceRay(*row.scene, row.dir, &reflectivity), row.distance, 1e-6) << row.name;
        EXPECT_FLOAT_EQ(reflectivity, row.reflectivity) << row.name;
    }
}

TEST(SceneRender, BuiltInSceneShowsWallBoxAndSphere) {
    const Scene scene = Scene::builtIn();
    EXPECT_STREQ(scene.defect(), "");
    SceneMap map;
    renderScene(scene, PinholeCamera::fromFieldOfView(240, 180, 70.0), map);
    int wall = 0, box = 0, sphere = 0, empty = 0;
    for (size_t i = 0; i < map.distance.size(); ++i) {
        if (map.distance[i] == 0.0f) ++empty;
        if (map.reflectivity[i] == scene.planes[0].reflectivity) ++wall;
        if (map.reflectivity[i] == scene.boxes[0].reflectivity) {
            ++box;
            EXPECT_LT(map.distance[i], 2000.0f);
        }
        if (map.reflectivity[i] == scene.spheres[0].reflectivity) {
            ++sphere;
            EXPECT_LT(map.distance[i], 2000.0f);
        }
    }
    EXPECT_EQ(empty, 0);  // the wall fills the background
    EXPECT_GT(wall, 20000);
    EXPECT_GT(box, 1000);
    EXPECT_GT(sphere, 1000);
}

TEST(SceneRender, DefectsAreNamed) {
    const double nan = std::nan("");
    const struct {
        Scene scene;
        std::string defect;
    } rows[] = {
        {Scene::flatWall(1000, 0.5f), ""},
        {Scene{{ScenePlane{{0, 0, 0}, 1000, 0.5f}}, {}, {}}, "zero normal"},
        {Scene{{ScenePlane{{0, 0, 1}, nan, 0.5f}}, {}, {}}, "non-finite"},
        {Scene{{ScenePlane{{0, 0, 1}, 1000, 1.5f}}, {}, {}}, "reflectivity"},
        {Scene{{}, {SceneBox{{0, 0, 0}, {1, 1, 0}, 0.5f}}, {}}, "min corner"},
        {Scene{{}, {SceneBox{{0, 0, 0}, {1, 1, 1}, -0.1f}}, {}}, "reflectivity"},
        {Scene{{}, {}, {SceneSphere{{0, 0, 1000}, 0, 0.5f}}}, "radius"},
        {Scene{{}, {}, {SceneSphere{{0, nan, 1000}, 10, 0.5f}}}, "non-finite"},
    };
    for (const auto& row : rows) {
        const std::string defect = row.scene.defect();
        if (row.defect.empty()) {
            EXPECT_EQ(defect, "");
        } else {
            EXPECT_NE(defect.find(row.defect), std::string::npos) << defect;
        }
    }
}

}  // namespace
