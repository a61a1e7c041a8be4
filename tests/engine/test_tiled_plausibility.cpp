// Plausibility tests of the tiled engine: the transform a pair's fit gives (both
// directions of the corner test), and the refusals of a result whose adjusted cameras
// cannot describe their photos.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/linalg.h"
#include "core/match_graph.h"
#include "engine/tiled/panorama.h"
#include "tests/engine/tiled_test_util.h"

using VarnoBase::Size;

// The fit maps photo a into photo b; each direction of the test catches its own
// transforms: a shift that carries b's corners back beyond the 16-bit range while a's
// corners stay inside it is caught only by the first, the opposite shift only by the
// second, and BadTransform1 refuses both.
TEST(TiledPairTransform, EachDirectionIsCheckedOnItsOwn)
{
    const Size a(400, 300), b(1900, 300);
    struct Case {
        const char* name;
        Size sizeA, sizeB;
        double H[3][3];
        bool forward, backward;  // BadTransform2(a, b, H), BadTransform2(b, a, inverse)
    } const cases[] = {
        {"identity", a, a, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, false, false},
        {"b wider than a, within five times", a, b, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, false, false},
        {"b's corners carried back beyond the range", a, b, {{1, 0, -32500}, {0, 1, 0}, {0, 0, 1}}, true, false},
        {"a's corners carried beyond the range", a, b, {{1, 0, 32500}, {0, 1, 0}, {0, 0, 1}}, false, true},
        {"a magnified five and a half times", a, a, {{5.5, 0, 0}, {0, 5.5, 0}, {0, 0, 1}}, true, true},
    };
    for (const Case& c : cases) {
        double inverse[3][3];
        ASSERT_TRUE(Utils::pinv3x3(inverse, c.H)) << c.name;
        EXPECT_EQ(std::pair(Tiled_Panorama::BadTransform2(c.sizeA, c.sizeB, c.H),
                            Tiled_Panorama::BadTransform2(c.sizeB, c.sizeA, inverse)),
                  std::pair(c.forward, c.backward))
            << c.name;
        EXPECT_EQ(Tiled_Panorama::BadTransform1(c.sizeA, c.sizeB, c.H), c.forward || c.backward) << c.name;
    }
    const double line[3][3] = {{1, 0, 0}, {0, 0, 0}, {0, 0, 1}};  // a squeezed to a line: no inverse
    EXPECT_TRUE(Tiled_Panorama::BadTransform1(a, a, line));
}

namespace {

using PanoramaLib::SurfaceCylindrical;
using PanoramaLib::SurfaceSpherical;

constexpr double kRadToDeg = 180.0 / 3.141592653589793;

// The true cameras of a rows x cols mosaic turning about its centre, as the test scenes
// and make_scene take them: rows above and below the horizon, columns left and right.
std::vector<D3Param> MosaicCameras(int rows, int cols, int width, int height, double f, double overlap)
{
    const double pitchStep = 2 * std::atan(height / 2.0 / f) * kRadToDeg * (1 - overlap);
    const double yawStep = 2 * std::atan(width / 2.0 / f) * kRadToDeg * (1 - overlap);
    std::vector<D3Param> out;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            out.push_back({f, ((rows - 1) / 2.0 - r) * pitchStep, (c - (cols - 1) / 2.0) * yawStep, 0});
    return out;
}

// A row of 1200 x 800 photos 30 degrees apart with these focal lengths.
std::vector<D3Param> Row(std::initializer_list<double> focal)
{
    std::vector<D3Param> out;
    for (double f : focal)
        out.push_back({f, 0, 30.0 * static_cast<double>(out.size()), 0});
    return out;
}

D3Param Lens(double k1)
{
    D3Param p;
    p.lens = 1;
    p.k1 = k1;
    return p;
}

}  // namespace

// Each refusal of the adjusted cameras on its own, through the engine's check on a
// prepared surface: the inputs a build would leave (cameras, shared lens, the worst
// link's miss, links with the zooms their transforms show from each photo to the
// next). Right cameras are never refused for what a surface does with them: rows of a
// mosaic far above and below the horizon stretch on a cylinder (the 6 x 6 mosaic's
// photo 1 covered 2744 x 4817 surface pixels for its own 1174 x 783, and the build was
// refused), and photos taken at different zooms are no fault when their matches show
// the zoom. A photo whose edge holds the zenith cannot be unrolled on a cylinder at
// all; the sphere takes it.
TEST(TiledPlausibility, EachRefusalOnItsOwnAndRightCamerasOnEitherSurface)
{
    // The zenith on the top edge's centre of photos 1200 x 800 at f = 1200.
    const double zenithOnEdge = 90.0 - std::atan(400.0 / 1200.0) * kRadToDeg;
    std::vector<D3Param> aroundZenith;
    for (double yaw : {0.0, 90.0, 180.0, 270.0})
        aroundZenith.push_back({1200, zenithOnEdge, yaw, 0});
    struct Case {
        const char* name;
        std::vector<D3Param> cameras;
        std::vector<double> zooms;  // of the link from photo i to i + 1; none: 1 each
        D3Param lens;
        double miss;  // the worst link's miss over the photo's longer side
        PanoramaLib::SurfaceRenderingType surface;
        const char* refusal;  // a part of the reason; empty: accepted
    } const cases[] = {
        {"6 x 6 mosaic, rows 60 degrees from the horizon", MosaicCameras(6, 6, 1200, 800, 1200, 0.35), {}, {}, 0.004,
         SurfaceCylindrical, ""},
        {"the same on the sphere", MosaicCameras(6, 6, 1200, 800, 1200, 0.35), {}, {}, 0.004, SurfaceSpherical, ""},
        {"photos zoomed 1.25 and 1.4 times", Row({1000, 1000, 1250, 1400}), {1.0, 1.25, 1.12}, Lens(2e-8), 0.005,
         SurfaceCylindrical, ""},
        {"a zoom of 1.4 the matches do not show", Row({1000, 1400}), {}, {}, 0.005, SurfaceCylindrical, ""},
        {"a photo zoomed 5 times, as its matches show", Row({1000, 5000}), {5.0}, {}, 0.005, SurfaceCylindrical, ""},
        {"photos around the zenith on the sphere", aroundZenith, {}, {}, 0.004, SurfaceSpherical, ""},
        {"a link missed by 3 percent", Row({1000, 1000}), {}, {}, 0.03, SurfaceCylindrical,
         "do not fit one camera turning about its centre"},
        {"a lens bending the corners by a fifth", Row({1000, 1000}), {}, Lens(0.2 / (721.1 * 721.1)), 0.005,
         SurfaceCylindrical, "the lens model bends photo 1"},
        {"a lens folding back within the photo", Row({1000, 1000}), {}, Lens(-1.0 / (3 * 600.0 * 600.0)), 0.005,
         SurfaceSpherical, "the lens model bends photo 1"},
        {"a camera seeing its photo 152 degrees wide", Row({1000, 180}), {1.0}, {}, 0.005, SurfaceSpherical,
         "photo 2 of the result would show 152 degrees across its diagonal"},
        {"focal lengths 4.5 times apart, matches of one scale", Row({1000, 1000, 4500}), {1.0, 1.0}, {}, 0.005,
         SurfaceSpherical, "the focal lengths of photos 1 and 3 of the result are 1000 and 4500 pixels where their "
                           "matches show a zoom of 1.00 between them"},
        {"a photo zoomed 5 times where its matches show 1.2", Row({1000, 5000}), {1.2}, {}, 0.005, SurfaceCylindrical,
         "are 1000 and 5000 pixels where their matches show a zoom of 1.20"},
        {"a zoom of 5 the focal lengths do not show", Row({1000, 1000}), {5.0}, {}, 0.005, SurfaceCylindrical,
         "photos 2 and 1 of the result are 1000 and 1000 pixels where their matches show a zoom of 0.20"},
        {"photos around the zenith on the cylinder", aroundZenith, {}, {}, 0.004, SurfaceCylindrical,
         "too large to hold"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tiled_test::EngineOnHost h;
        Tiled_Panorama::CPanorama& e = *h.self;
        const int n = static_cast<int>(c.cameras.size());
        for (int i = 0; i < n; ++i) {
            auto* photo = new CPanoElement(false);  // its size only: the check reads no pixel
            ASSERT_TRUE(photo->CreateImage(true, 1200, 800, false));
            e.m_images.push_back(photo);
            e.m_order.push_back(i);
            e.m_graph.AddNode(i);
        }
        for (int i = 0; i + 1 < n; ++i) {
            const double z = static_cast<std::size_t>(i) < c.zooms.size() ? c.zooms[static_cast<std::size_t>(i)] : 1;
            const double m[3][3] = {{z, 0, -600}, {0, z, 0}, {0, 0, 1}};
            tiled_test::AddLink(e.m_graph, i, i + 1, 100, m);
        }
        e.m_params = c.cameras;
        e.m_worldParams = c.lens;
        e.m_worstLink = {0, 1, c.miss * 1200, c.miss};
        CCylindricalSurface& s = c.surface == SurfaceCylindrical ? e.m_cylinder : e.m_sphere;
        s.AddImages(e.m_order, e.m_worldParams, e.m_params, e.m_images, {});
        s.LevelOrientation();
        const std::string reason = e.PlausibilityReason(s);
        s.RemoveAllImages();
        if (*c.refusal)
            EXPECT_NE(reason.find(c.refusal), std::string::npos) << reason;
        else
            EXPECT_EQ(reason, "");
    }
}

// The zooms the links show, from the reference along the strongest links: a link read
// backwards divides, a weaker link to a photo reached already is not followed, and a
// photo no placed link reaches keeps 1.
TEST(TiledPlausibility, ZoomsFollowTheStrongestLinksFromTheReference)
{
    match_graph::CGraph g;
    for (int i = 0; i < 5; ++i)
        g.AddNode(i);
    const double z2[3][3] = {{2, 0, 0}, {0, 2, 0}, {0, 0, 1}}, z3[3][3] = {{0, 3, 0}, {-3, 0, 0}, {0, 0, 1}};
    const double z5[3][3] = {{5, 0, 0}, {0, 5, 0}, {0, 0, 1}};
    tiled_test::AddLink(g, 0, 1, 50, z2);   // 0 -> 1: twice as large in 1
    tiled_test::AddLink(g, 2, 1, 40, z3);   // 2 -> 1, turned: 1 three times larger than 2
    tiled_test::AddLink(g, 0, 2, 10, z5);   // weaker: not followed
    tiled_test::AddLink(g, 3, 4, 90, z5);   // photo 4 is not placed
    const std::vector<double> zoom = Tiled_Panorama::LinkZooms(g, {1, 0, 2, 3}, 5);
    ASSERT_EQ(zoom.size(), 5u);
    EXPECT_NEAR(zoom[1], 1.0, 1e-12);
    EXPECT_NEAR(zoom[0], 0.5, 1e-12);
    EXPECT_NEAR(zoom[2], 1.0 / 3.0, 1e-12);
    EXPECT_NEAR(zoom[3], 1.0, 1e-12);
    EXPECT_NEAR(zoom[4], 1.0, 1e-12);
}

// A whole build of photos whose top and bottom rows reach within a degree and a half of
// the zenith and the nadir (portrait photos at a wide angle, rows 50 degrees apart): on
// the cylinder the top and bottom rows stretch some twenty times their height, and the
// result was refused for it ("photo 3 of the result covers 908 x 9201 pixels of the
// surface where its own size is 320 x 480"). Its cameras are right, so it is built on
// both surfaces, every photo placed at its true focal length.
TEST(TiledPlausibility, RowsNearThePolesAreBuiltOnBothSurfaces)
{
    vltest::MosaicOptions o = tiled_test::MosaicOptions(3, 2, 320, 480);
    o.focal = 300.0;
    tiled_test::Photos photos(o);
    for (PanoramaLib::SurfaceRenderingType type : {SurfaceCylindrical, SurfaceSpherical}) {
        SCOPED_TRACE(type == SurfaceCylindrical ? "cylinder" : "sphere");
        tiled_test::EngineOnHost h;
        h.Options(false, type);
        EXPECT_TRUE(h.engine->BuildPanorama(photos.elements, nullptr, 0, 0, 0))
            << h.engine->GetPanoramaStatus()->reason;
        EXPECT_EQ(h.engine->GetPanoramaStatus()->nStatus, PanoramaLib::kStatusBuilt);
        EXPECT_EQ(h.self->m_order.size(), photos.elements.size());
        for (const D3Param& p : h.self->m_params)
            EXPECT_NEAR(p.f, o.focal, 0.01 * o.focal);
    }
}
