// The synthetic photo generator is the ground truth of every engine test: its worlds
// repeat from their seed, and its cameras turn the way the engines' rotations do. The
// rest of it is checked by the engine tests that recover its transforms.
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "core/linalg.h"
#include "tests/support/scene.h"

// Option structs are set with designated initializers; members left out keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace vltest;

namespace {
constexpr double kPi = 3.141592653589793;
}  // namespace

TEST(SceneGenerator, SameSeedGivesSameWorldAndOtherSeedDiffers)
{
    SceneOptions o{.seed = 42, .planeWidth = 1000, .planeHeight = 768, .sphereWidth = 2048};  // width rounded up to 1024
    const Scene first(o);
    const Scene again(o);
    EXPECT_EQ(again.planeWidth(), 1024);
    EXPECT_TRUE(again.planeTexture() == first.planeTexture() && again.sphereTexture() == first.sphereTexture());
    o.seed = 43;
    EXPECT_NE(Scene(o).planeTexture(), first.planeTexture());

    StripOptions st{.width = 240, .height = 160};
    const auto s1 = makeStrip(first, st);
    const auto s2 = makeStrip(again, st);
    ASSERT_EQ(s1.size(), 3u);
    for (std::size_t i = 0; i < s1.size(); ++i)
        EXPECT_TRUE(s1[i].image == s2[i].image && maxAbsDifference(s1[i].view.toScene, s2[i].view.toScene) == 0.0) << i;
}

TEST(SceneCameras, RotationFollowsTheEngineConvention)
{
    // The generator's cameras must use the engines' own rotation, axis order included.
    for (const auto& a : {std::array<double, 3>{90, 0, 0}, {0, 90, 0}, {0, 0, 90}, {90, 90, 0}, {12.5, -33, 71}}) {
        double e[3][3];
        Utils::Calc3RotateMatrix(e, a[0], a[1], a[2]);
        const Mat3 m = rotationMatrix(a[0], a[1], a[2]);
        for (int i = 0; i < 9; ++i)
            EXPECT_NEAR(m.m[i / 3][i % 3], e[i / 3][i % 3], 1e-12) << a[0] << " " << a[1] << " " << a[2] << " @" << i;
    }
    // Yaw turns the optical axis right to longitude ry, pitch turns it up to latitude -rx.
    const Camera cam{500, 10, 30, 7, 400, 300};
    double X, Y, Z;
    pixelRay(cam, 200, 150, X, Y, Z);
    EXPECT_NEAR(std::atan2(X, Z) * 180 / kPi, 30, 1e-9);
    EXPECT_NEAR(std::atan2(Y, std::hypot(X, Z)) * 180 / kPi, -10, 1e-9);
    double x, y;
    ASSERT_TRUE(projectRay(cam, X, Y, Z, x, y));
    EXPECT_LT(std::hypot(x - 200, y - 150), 1e-9);
    EXPECT_FALSE(projectRay(cam, -X, -Y, -Z, x, y));
}
