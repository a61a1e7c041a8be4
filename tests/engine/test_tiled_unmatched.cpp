// The tiled engine's report of photos left out of its result: a stranger in the middle
// of the photo list, two islands of overlapping photos, a null entry, and a set where
// nothing overlaps. Photos are views of the synthetic scene written to JPEG files.
#include <gtest/gtest.h>

#include <QImage>

#include <vector>

#include "tests/engine/tiled_test_util.h"

using namespace tiled_test;

namespace {

QImage View(double ry, double rx = 0)
{
    vltest::Camera c;
    c.f = 320;
    c.width = 320;
    c.height = 240;
    c.ry = ry;
    c.rx = rx;
    return vltest::renderCameraView(SharedScene(), c);
}

}  // namespace

TEST(TiledUnmatched, PhotosLeftOutOfTheResultAreListed)
{
    const QImage stranger = View(180, 10);
    struct Case {
        const char* name;
        std::vector<QImage> images;
        bool nullInMiddle;
        int status;
        std::vector<std::vector<int>> expected;  // any of these lists
    } cases[] = {
        {"stranger in a strip", {View(0), View(20), stranger, View(40), View(60)}, false, PanoramaLib::kStatusBuilt,
         {{2}}},
        // Two pairs that do not overlap each other: only the reference photo's pair is placed.
        {"two islands", {View(0), View(20), stranger, View(90), View(110)}, false, PanoramaLib::kStatusBuilt,
         {{2, 3, 4}, {0, 1, 2}}},
        {"null entry", {View(0), View(20), View(40)}, true, PanoramaLib::kStatusBuilt, {{1}}},
        {"nothing overlaps", {View(0), stranger}, false, PanoramaLib::kStatusNoOverlap, {{0, 1}}},
    };
    for (const Case& c : cases) {
        Photos photos(c.images);
        std::vector<PanoramaLib::IPanoElement*> input = photos.elements;
        if (c.nullInMiddle)
            input.insert(input.begin() + 1, nullptr);
        EngineOnHost h;
        EXPECT_EQ(h.engine->BuildPanorama(input, nullptr, 0, 0, 0), c.status == PanoramaLib::kStatusBuilt)
            << c.name;
        const PanoramaLib::PanoramaStatus* status = h.engine->GetPanoramaStatus();
        EXPECT_EQ(status->nStatus, c.status) << c.name;
        bool found = false;
        for (const auto& e : c.expected)
            found = found || status->unmatchedImages == e;
        EXPECT_TRUE(found) << c.name << ": " << ::testing::PrintToString(status->unmatchedImages);
        if (c.status == PanoramaLib::kStatusBuilt) {
            EXPECT_EQ(h.self->m_order.size() + status->unmatchedImages.size(), input.size()) << c.name;
        }
    }
}
