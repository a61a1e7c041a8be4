// The two-photo preview on photos of a synthetic scene written to files and read
// back, compared with the scene itself.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>

#include "core/pano_element.h"
#include "core/refcount.h"
#include "document/engine_host.h"
#include "engine/stitch_two_images.h"
#include "tests/support/dib_manager_fixture.h"
#include "tests/support/scene.h"

using PanoramaLib::IPanoElement;
using PanoramaLib::StitchTwoImagesFast;
using VarnoBase::RefPtr;

namespace {

using M3 = double[3][3];
using ElementPtr = RefPtr<IPanoElement>;

ElementPtr Adopt(IPanoElement* e)
{
    ElementPtr p;
    p.Adopt(e);
    return p;
}

ElementPtr LoadPhoto(const QString& path)
{
    ElementPtr e = Adopt(new CPanoElement(false));
    EXPECT_TRUE(e->FromFile(path.toStdWString())) << path.toStdString();
    return e;
}

const u8* PixelAt(const IPanoElement* e, int x, int y)
{
    return e->GetBits() + std::size_t(y) * e->GetBPL() + 3 * std::size_t(x);
}

// Two overlapping 360 x 270 views of one scene, the second turned by a few degrees,
// scaled by 5 % and moved 230 pixels to the right, written as PNG files.
struct TwoViews {
    vltest::Scene scene{vltest::SceneOptions{3, 1024, 1024, 512}};
    vltest::PlaneView first, second;
    vltest::PhotoSet files;
    ElementPtr a, b;
    M3 truth;  // first photo's pixels -> second photo's pixels

    TwoViews()
    {
        first.toScene = vltest::Mat3::translation(150, 220);
        first.width = 360, first.height = 270;
        second.toScene = vltest::Mat3::translation(380, 240) * vltest::Mat3::rotation(4.0) *
                         vltest::Mat3::scaling(1.05, 1.05);
        second.width = 360, second.height = 270;
        files = vltest::makePhotoSet({vltest::renderPlaneView(scene, first), vltest::renderPlaneView(scene, second)},
                                     vltest::FileFormat::Png);
        a = LoadPhoto(files.paths[0]);
        b = LoadPhoto(files.paths[1]);
        std::memcpy(truth, (second.toScene.inverse() * first.toScene).m, sizeof truth);
    }
    // The preview with the true transform, which it rewrites into `m`.
    IPanoElement* Stitch(std::atomic<int>& abort, M3 m)
    {
        std::memcpy(m, truth, sizeof truth);
        return StitchTwoImagesFast(a, b, m, abort);
    }
};

}  // namespace

class StitchTwoImages : public ::testing::Test {
protected:
    vltest::ScopedDibManager dibs;
    std::atomic<int> noAbort{0};
};

TEST_F(StitchTwoImages, OverlappingViewsMatchTheScene)
{
    TwoViews v;
    M3 m;
    ElementPtr out = Adopt(v.Stitch(noAbort, m));
    ASSERT_TRUE(out);
    EXPECT_EQ(std::pair(out->GetBPP(), out->GetAlphaBits()), std::pair(24, (u8*)nullptr));  // flattened

    // Expected canvas: the union of the first photo and the second's outline.
    const vltest::Mat3 secondToFirst = v.first.toScene.inverse() * v.second.toScene;
    double minX = 0, minY = 0, maxX = v.first.width, maxY = v.first.height;
    for (auto [cx, cy] : {std::pair{0, 0}, {v.second.width, 0}, {v.second.width, v.second.height}, {0, v.second.height}}) {
        double x, y;
        secondToFirst.map(cx, cy, x, y);
        minX = std::min(minX, std::floor(x)), maxX = std::max(maxX, std::ceil(x));
        minY = std::min(minY, std::floor(y)), maxY = std::max(maxY, std::ceil(y));
    }
    EXPECT_EQ(out->GetImageSize(), VarnoBase::Size(int(maxX - minX), int(maxY - minY)));

    // The rewritten m says how far the canvas is moved against the first photo:
    // inverse(original m) * rewritten m is a shift by the canvas's corner.
    vltest::Mat3 original, rewritten;
    std::memcpy(original.m, v.truth, sizeof original.m);
    std::memcpy(rewritten.m, m, sizeof rewritten.m);
    EXPECT_LT(vltest::maxAbsDifference(original.inverse() * rewritten, vltest::Mat3::translation(minX, minY)), 1e-6);

    // Against the scene; pixels within 2 of an outline are left out (nearest-neighbour
    // sampling may take either side there).
    const auto inside = [](double x, double y, int w, int h, double margin) {
        return x >= margin && y >= margin && x <= w - 1 - margin && y <= h - 1 - margin;
    };
    double sumO = 0, sumS = 0;  // absolute errors per channel where both photos show, where only the second does
    long overlapPixels = 0, secondOnlyPixels = 0, firstOnlyMismatches = 0, uncoveredNotWhite = 0;
    for (int y = 0; y < out->GetHeight(); ++y) {
        for (int x = 0; x < out->GetWidth(); ++x) {
            const double fx = x + minX, fy = y + minY;
            double sx, sy;
            original.map(fx, fy, sx, sy);
            const bool inA = inside(fx, fy, v.first.width, v.first.height, 0);
            const bool inB = inside(sx, sy, v.second.width, v.second.height, 2);
            const bool outB = !inside(sx, sy, v.second.width, v.second.height, -2);
            const u8* p = PixelAt(out, x, y);
            if (inA && outB) {
                if (std::memcmp(p, PixelAt(v.a.get(), int(fx), int(fy)), 3) != 0)
                    ++firstOnlyMismatches;
                continue;
            }
            const bool outA = !inside(fx, fy, v.first.width, v.first.height, -0.5);
            if (outA && outB) {
                if (p[0] != 255 || p[1] != 255 || p[2] != 255)
                    ++uncoveredNotWhite;
                continue;
            }
            if (!inB)
                continue;
            double scx, scy;
            v.first.toScene.map(fx, fy, scx, scy);
            const QRgb t = v.scene.planeColor(scx, scy);
            const double err =
                (std::abs(p[0] - qRed(t)) + std::abs(p[1] - qGreen(t)) + std::abs(p[2] - qBlue(t))) / 3.0;
            if (inA && inside(fx, fy, v.first.width, v.first.height, 2)) {
                sumO += err;
                ++overlapPixels;
            } else if (outA) {
                sumS += err;
                ++secondOnlyPixels;
            }
        }
    }
    EXPECT_GT(std::min(overlapPixels, secondOnlyPixels), 20000);
    EXPECT_EQ(std::pair(firstOnlyMismatches, uncoveredNotWhite), std::pair(0L, 0L));
    EXPECT_LT(sumO / overlapPixels, 0.9);  // about 0.5 here; a half-pixel sampling shift doubles it
    EXPECT_LT(sumS / secondOnlyPixels, 1.2);
}

// A photo with itself gives the photo; a second photo below and to the left of the
// first gives a canvas that holds both, each at its place.
TEST_F(StitchTwoImages, IdentityGivesThePhotoAndAPhotoBelowLeftKeepsBothInPlace)
{
    TwoViews v;
    M3 m = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    ElementPtr out = Adopt(StitchTwoImagesFast(v.a, v.a, m, noAbort));
    ASSERT_TRUE(out);
    ASSERT_EQ(out->GetImageSize(), v.a->GetImageSize());
    for (int y = 0; y < out->GetHeight(); ++y)
        ASSERT_EQ(std::memcmp(PixelAt(out, 0, y), PixelAt(v.a, 0, y), 3 * std::size_t(out->GetWidth())), 0) << y;
    EXPECT_EQ(std::pair(m[0][2], m[1][2]), std::pair(0.0, 0.0));

    M3 below = {{1, 0, 300}, {0, 1, -200}, {0, 0, 1}};  // second's origin at (-300, 200) of the first
    out = Adopt(StitchTwoImagesFast(v.a, v.b, below, noAbort));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->GetImageSize(), VarnoBase::Size(300 + 360, 200 + 270));
    EXPECT_EQ(std::pair(below[0][2], below[1][2]), std::pair(0.0, -200.0));  // canvas (0, 200) is the second photo's (0, 0)
    EXPECT_EQ(std::memcmp(PixelAt(out, 300, 0), PixelAt(v.a, 0, 0), 3), 0);
    EXPECT_EQ(std::memcmp(PixelAt(out, 0, 469), PixelAt(v.b, 0, 269), 3), 0);
    EXPECT_EQ(std::memcmp(PixelAt(out, 659, 0), PixelAt(v.a, 359, 0), 3), 0);
    const u8* corner = PixelAt(out, 0, 0);  // covered by neither
    EXPECT_EQ(corner[0] + corner[1] + corner[2], 3 * 255);
}

TEST_F(StitchTwoImages, RefusesGreyPhotosAnAbortAlreadySetAndUnusableTransforms)
{
    TwoViews v;
    ElementPtr grey = Adopt(new CPanoElement(false));
    ASSERT_TRUE(grey->CreateImage(8, 100, 80));
    M3 id = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (const auto& [first, second] : {std::pair{grey, v.a}, {v.a, grey}, {ElementPtr(), v.a}})
        EXPECT_EQ(StitchTwoImagesFast(first, second, id, noAbort), nullptr);

    std::atomic<int> aborted{1};
    EXPECT_EQ(StitchTwoImagesFast(v.a, v.b, id, aborted), nullptr);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    M3 withNan = {{1, 0, nan}, {0, 1, 0}, {0, 0, 1}};
    EXPECT_EQ(StitchTwoImagesFast(v.a, v.b, withNan, noAbort), nullptr);
    M3 singular = {{1, 2, 0}, {2, 4, 0}, {0, 0, 1}};
    EXPECT_EQ(StitchTwoImagesFast(v.a, v.b, singular, noAbort), nullptr);
    M3 farAway = {{1, 0, -40000}, {0, 1, 0}, {0, 0, 1}};
    EXPECT_EQ(StitchTwoImagesFast(v.a, v.b, farAway, noAbort), nullptr);
    EXPECT_EQ(farAway[0][2], -40000.0);  // untouched when refused before the canvas
    // Inside the 16-bit range but asking for a canvas of about 32000 x 24000 pixels:
    // refused without trying to allocate gigabytes.
    M3 shrink = {{1.0 / 90, 0, 0}, {0, 1.0 / 90, 0}, {0, 0, 1}};
    EXPECT_EQ(StitchTwoImagesFast(v.a, v.b, shrink, noAbort), nullptr);
}

namespace {

// The program's own store factory, which also lets a test step in at the moment the
// preview's canvas store is made: the hook runs on the stitching thread.
struct HookedDibManager : EngineHost {
    std::function<void()> onCreate;
    PanoramaLib::IDib* CreateDibObject(bool threadSafe) const override
    {
        if (onCreate)
            onCreate();
        return EngineHost::CreateDibObject(threadSafe);
    }
};

}  // namespace

// The matching dialog's worker is stopped by another thread setting the flag while the
// preview is being made: it returns nothing and frees what it made.
TEST_F(StitchTwoImages, StopsWhenAbortedFromAnotherThread)
{
    TwoViews v;
    HookedDibManager hooked;
    CPanoElement::m_pIDibManager = &hooked;  // restored by the fixture's ScopedDibManager

    std::atomic<int> abortFlag{0};
    std::mutex mutex;
    std::condition_variable cv;
    bool canvasStarted = false, abortSet = false;
    // The canceller waits for the stitch to be under way, sets the flag, and lets the
    // stitch go on only then, so the flag is certainly set mid-run.
    hooked.onCreate = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        canvasStarted = true;
        cv.notify_all();
        cv.wait(lock, [&] { return abortSet; });
    };
    std::thread canceller([&] {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return canvasStarted; });
        abortFlag.store(1);
        abortSet = true;
        cv.notify_all();
    });

    IPanoElement* result = nullptr;
    M3 m;
    std::thread worker([&] { result = v.Stitch(abortFlag, m); });
    worker.join();
    canceller.join();
    EXPECT_EQ(result, nullptr);
    IPanoElement::SafeRelease(result);

    // The same photos stitch normally once the flag is clear again.
    hooked.onCreate = nullptr;
    abortFlag.store(0);
    EXPECT_TRUE(Adopt(v.Stitch(abortFlag, m)));
}

// A canceller racing the stitch at an arbitrary moment: whatever the moment, the call
// either finishes with a whole preview or gives nothing, and never leaks.
TEST_F(StitchTwoImages, RacingCancellationGivesWholePreviewOrNothing)
{
    TwoViews v;
    for (int round = 0; round < 6; ++round) {
        std::atomic<int> abortFlag{0};
        IPanoElement* result = nullptr;
        M3 m;
        std::thread worker([&] { result = v.Stitch(abortFlag, m); });
        std::thread canceller([&] {
            for (int spin = 0; spin < round * 20000; ++spin)
                std::this_thread::yield();
            abortFlag.store(1);
        });
        worker.join();
        canceller.join();
        if (result != nullptr) {
            EXPECT_EQ(result->GetAlphaBits(), nullptr);
            EXPECT_GT(result->GetWidth(), v.first.width);
        }
        IPanoElement::SafeRelease(result);
    }
}

// Transparent pixels count as absent on either photo: the other photo shows through
// unchanged (not averaged with whatever colour the transparent pixel carries), and
// where neither shows the canvas stays white. The second photo sits 20 pixels right of
// the first; both are 60 x 8.
TEST_F(StitchTwoImages, TransparentPixelsOfEitherPhotoAreLeftOut)
{
    const u8 red[3] = {200, 40, 40}, blue[3] = {40, 60, 220};
    // Solid colour with an alpha plane transparent over the columns [from, to) of each range.
    auto solid = [](const u8(&colour)[3], std::initializer_list<std::pair<int, int>> clear) {
        ElementPtr e = Adopt(new CPanoElement(false));
        EXPECT_TRUE(e->CreateImage(24, 60, 8));
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 60; ++x)
                std::memcpy(e->GetBits() + std::size_t(y) * e->GetBPL() + 3 * std::size_t(x), colour, 3);
        static_cast<CPanoElement*>(e.get())->AddAlphaChannel(true);
        for (int y = 0; y < 8; ++y)
            for (const auto& [from, to] : clear)
                std::memset(e->GetAlphaBits() + std::size_t(y) * e->GetAlphaBPL() + from, 0, std::size_t(to - from));
        return e;
    };
    const ElementPtr first = solid(red, {{5, 10}, {20, 30}});
    const ElementPtr second = solid(blue, {{10, 20}, {50, 60}});
    M3 m = {{1, 0, -20}, {0, 1, 0}, {0, 0, 1}};
    const ElementPtr out = Adopt(StitchTwoImagesFast(first, second, m, noAbort));
    ASSERT_TRUE(out);
    ASSERT_EQ(out->GetImageSize(), VarnoBase::Size(80, 8));
    EXPECT_EQ(out->GetAlphaBits(), nullptr);

    const u8 white[3] = {255, 255, 255};
    const u8 mean[3] = {(200 + 40) >> 1, (40 + 60) >> 1, (40 + 220) >> 1};
    const struct {
        int from, to;
        const u8* colour;
        const char* what;
    } spans[] = {
        {0, 5, red, "first alone"},
        {5, 10, white, "first transparent, no second"},
        {10, 20, red, "first alone"},
        {20, 30, blue, "first transparent over the second"},
        {30, 40, red, "second transparent under the first"},
        {40, 60, mean, "both"},
        {60, 70, blue, "second alone"},
        {70, 80, white, "second transparent, no first"},
    };
    for (const auto& span : spans)
        for (int x = span.from; x < span.to; ++x)
            for (int y : {0, 7})
                EXPECT_EQ(std::memcmp(PixelAt(out, x, y), span.colour, 3), 0) << span.what << " at " << x << "," << y;
}
