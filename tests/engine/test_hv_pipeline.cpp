// The Horizontal/Vertical build pipeline end to end, through the engine's public
// interface: generated photos written to files, a build, a full-size render, and the
// outcome checked against the geometry the photos were rendered with. Cancellation,
// failures, repeated renders, cropping, rings and the saved analysis are covered too, and
// the engines' contract with their host: the factories and the highlight guard.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <tuple>

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "core/gauss.h"
#include "core/linalg.h"
#include "core/pano_element.h"
#include "document/engine_host.h"
#include "engine/auto_highlight.h"
#include "engine/hv/analysis.h"
#include "engine/lens_distortion.h"
#include "tests/engine/hv_test_access.h"
#include "tests/support/dib_manager_fixture.h"
#include "tests/support/recording_host.h"
#include "tests/support/scene.h"

using PanoramaLib::IPanoElement;
using PanoramaLib::PanoramaOptions;
using VarnoBase::Rect;

namespace {

const vltest::Scene& SharedScene()
{
    static const vltest::Scene scene(vltest::SceneOptions{.seed = 5, .planeWidth = 2048, .planeHeight = 2048,
                                                          .sphereWidth = 2048});
    return scene;
}

// Photos of a strip across the shared scene, overlapping by 0.4.
vltest::PhotoSet StripSet(int count, int width, int height, vltest::Motion motion = vltest::Motion::Similarity,
                          vltest::FileFormat format = vltest::FileFormat::Png, double rotationJitterDeg = 3.0,
                          double perpendicularJitter = 0.03)
{
    vltest::StripOptions o;
    o.count = count, o.width = width, o.height = height, o.motion = motion;
    o.rotationJitterDeg = rotationJitterDeg, o.perpendicularJitter = perpendicularJitter;
    return vltest::makeStripPhotoSet(SharedScene(), o, format);
}

// A pixel copy of an element (its bytes row by row, padding dropped).
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<u8> bytes;

    template <class RowAt>
    static Pixels Rows(int width, int height, std::size_t rowBytes, RowAt row)
    {
        Pixels p{width, height, {}};
        for (int y = 0; y < height; ++y)
            p.bytes.insert(p.bytes.end(), row(y), row(y) + rowBytes);
        return p;
    }
    static Pixels Of(const IPanoElement* e)
    {
        if (!e || !e->HasBits())
            return {};
        return Rows(e->GetWidth(), e->GetHeight(), std::size_t(e->GetWidth()) * (e->GetBPP() / 8),
                    [e](int y) { return e->GetBits() + std::size_t(y) * e->GetBPL(); });
    }
    const u8* At(int x, int y) const { return &bytes[(std::size_t(y) * width + x) * 3]; }
    bool operator==(const Pixels&) const = default;
};

// Every poll moves the bar on, within its range.
void ExpectTheBarMovesOn(const vltest::RecordingProgress& progress)
{
    const auto positions = progress.Positions();
    ASSERT_FALSE(positions.empty());
    for (std::size_t i = 0; i < positions.size(); ++i) {
        EXPECT_LE(positions[i].value, positions[i].max);
        if (i > 0 && positions[i].max == positions[i - 1].max) {
            EXPECT_GT(positions[i].value, positions[i - 1].value) << "poll " << i;
        }
    }
}

// One engine with recording host objects, driven as the document drives it.
class Pipeline {
public:
    explicit Pipeline(std::function<void(PanoramaOptions&)> configure = {}, const QStringList& paths = {})
    {
        engine = PanoramaLib::CreateHVPanoramaObject(&host);
        EXPECT_NE(engine, nullptr);
        engine->Initialize(&host, &wait, &ui);
        engine->Set_IProgressIndicator(&progress);
        PanoramaOptions o;
        engine->GetOptions(&o);
        o.bLensCompensation = false;  // the truth is the ideal pinhole geometry
        if (configure)
            configure(o);
        engine->SetOptions(o);
        Load(paths);
    }
    ~Pipeline()
    {
        PanoramaLib::FreePictureCollection(photos);
        if (engine)
            engine->Release();
    }
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    void Load(const QStringList& paths)
    {
        for (const QString& p : paths) {
            IPanoElement* e = PanoramaLib::CreateDibObject(false);
            EXPECT_TRUE(e->FromFile(p.toStdWString())) << p.toStdString();
            photos.push_back(e);
        }
    }
    bool Build() { return engine->BuildPanorama(photos, nullptr, 0, 0, 0); }
    int Status() const { return engine->GetPanoramaStatus()->nStatus; }
    std::vector<int> Unmatched() const { return engine->GetPanoramaStatus()->unmatchedImages; }
    CPanoramaTestAccess Inside() { return CPanoramaTestAccess(engine); }
    Pixels Preview() const { return Pixels::Of(engine->GetPanoramaPreview(false)); }
    Pixels Result() const { return Pixels::Of(engine->GetPanoramaImage()); }

    vltest::ScopedDibManager restore;  // the engine factory installs `host`; the previous one comes back
    EngineHost host;
    vltest::RecordingProgress progress;
    vltest::RecordingUserInterface ui;
    vltest::RecordingWaitCursor wait;
    PanoramaLib::IHVPanorama* engine = nullptr;
    std::vector<IPanoElement*> photos;
};

// Largest distance, over a grid of canvas points inside photo i, between where the
// engine's canvas transforms put the point in photo 0 and where the rendering did.
// `scale` converts engine photo pixels to the generated photos' pixels (working
// copies are box-filtered: pixel j covers [j s, (j + 1) s)).
double CanvasError(const std::vector<AFFINE_MATRIX>& transforms, const std::vector<vltest::PlaneShot>& shots,
                   std::size_t i, double scale)
{
    const auto toPhoto = [scale](double x) { return x * scale + (scale - 1) / 2; };
    double inv[3][3];
    EXPECT_TRUE(Utils::pinv3x3(inv, transforms[i]));
    const int w = shots[i].view.width, h = shots[i].view.height;
    double worst = 0;
    for (int gy = 0; gy <= 6; ++gy)
        for (int gx = 0; gx <= 6; ++gx) {
            const double px = gx * (w - 1) / 6.0, py = gy * (h - 1) / 6.0;  // photo i pixels
            const auto [cx, cy] = Map(inv, (px - (scale - 1) / 2) / scale, (py - (scale - 1) / 2) / scale);
            const auto [ex, ey] = Map(transforms[0], cx, cy);
            double tx, ty;
            shots[i].toFirst.map(px, py, tx, ty);
            worst = std::max(worst, std::hypot(toPhoto(ex) - tx, toPhoto(ey) - ty));
        }
    return worst;
}

// Mean absolute difference of two images of the same size.
double MeanDifference(const Pixels& a, const Pixels& b)
{
    EXPECT_EQ(a.width, b.width);
    EXPECT_EQ(a.height, b.height);
    if (a.bytes.size() != b.bytes.size() || a.bytes.empty())
        return 1e9;
    double sum = 0;
    for (std::size_t k = 0; k < a.bytes.size(); ++k)
        sum += std::abs(int(a.bytes[k]) - int(b.bytes[k]));
    return sum / double(a.bytes.size());
}

// A progress display that runs `onPoll` at every poll before recording it.
struct HookedProgress : vltest::RecordingProgress {
    std::function<void()> onPoll;
    bool AbortProgressIndicator(int max, int value) override
    {
        if (onPoll)
            onPoll();
        return RecordingProgress::AbortProgressIndicator(max, value);
    }
};

// Stops the work at poll `at`: a cancel answered there (and after), or an exception
// thrown from inside the call-back as a failing host would.
enum class Interruption { Cancel, ThrowStd, ThrowOther };
void Interrupt(HookedProgress& progress, int at, Interruption how)
{
    if (how == Interruption::Cancel)
        progress.CancelAtStep(at);
    else
        progress.onPoll = [at, how, calls = 0]() mutable {
            if (++calls == at && how == Interruption::ThrowStd)
                throw std::bad_alloc();
            if (calls == at)
                throw 42;  // not even a std::exception
        };
}

}  // namespace

// ---------------------------------------------------------------------------------
// A row under each motion model

class HvPipelineRow : public ::testing::TestWithParam<std::pair<vltest::Motion, PanoramaLib::MotionModel>> {};

TEST_P(HvPipelineRow, BuildsTheTrueCanvasWithSeamsInOverlapsAndRendersThePreview)
{
    const vltest::PhotoSet set = StripSet(4, 480, 360, GetParam().first);
    Pipeline p(
        [&](PanoramaOptions& o) {
            o.motionModel = GetParam().second;
            o.bAutoCrop = true;
        },
        set.paths);
    ASSERT_TRUE(p.Build());
    EXPECT_EQ(std::tuple(p.Status(), p.Unmatched().empty(), p.engine->HasBuilt(), p.ui.HighlightsBalanced(), p.progress.IsOpen()),
              std::tuple(1, true, true, true, false));

    CPanoramaTestAccess e = p.Inside();
    ASSERT_EQ(e.transforms.size(), 4u);
    for (std::size_t i = 1; i < 4; ++i)
        EXPECT_LT(CanvasError(e.transforms, set.planeShots, i, 1.0), 1.0) << "photo " << i;

    // The seams run where the photos overlap (their ends may cross a corner that the
    // overlap's bounding box holds but only one photo covers).
    int seamPoints = 0, outside = 0;
    for (std::size_t i = 0; i < e.seams.size(); ++i) {
        const CPanoElement* warped = e.warped[i];
        ASSERT_NE(warped, nullptr);
        for (unsigned char side : {1, 2, 4, 8}) {
            for (const VarnoBase::Point& q : e.seams[i].GetPoints(side).points) {
                const double cx = q.x + warped->m_position.x, cy = q.y + warped->m_position.y;
                int covering = 0;
                for (std::size_t j = 0; j < 4; ++j) {
                    const auto [u, v] = Map(e.transforms[j], cx, cy);
                    covering += u > -2 && v > -2 && u < 482 && v < 362;
                }
                outside += covering < 2;
                ++seamPoints;
            }
        }
    }
    EXPECT_GT(seamPoints, 3 * 300);  // three seams across photos 360 pixels high
    EXPECT_LT(outside, seamPoints / 50);

    // The preview shows the scene: compare with the root photo where it is alone.
    const Rect crop = p.engine->GetCropRect(false);
    const Pixels preview = p.Preview();
    ASSERT_GT(preview.width, 1000);
    ASSERT_EQ(std::pair(preview.width, preview.height), std::pair(crop.width(), crop.height()));
    const Pixels root = Pixels::Of(p.photos[std::size_t(e.centralImage)]);
    const AFFINE_MATRIX& rt = e.transforms[std::size_t(e.centralImage)];
    double diff = 0;
    int samples = 0;
    for (int y = 20; y < preview.height - 20; y += 7)
        for (int x = 0; x < preview.width; x += 7) {
            const auto [u, v] = Map(rt, x + crop.left, y + crop.top);
            const int iu = int(std::lround(u)), iv = int(std::lround(v));
            if (iu < 200 || iu > 280 || iv < 0 || iv >= 360 || std::fabs(u - iu) > 0.05 || std::fabs(v - iv) > 0.05)
                continue;
            for (int c = 0; c < 3; ++c)
                diff += std::abs(int(preview.At(x, y)[c]) - int(root.At(iu, iv)[c]));
            samples += 3;
        }
    ASSERT_GT(samples, 0);
    EXPECT_LT(diff / samples, 6.0);

    // At scale 1 the full-size pass repeats the preview pass (the seams scaled by 1
    // may end a pixel apart).
    p.progress.Clear();
    ASSERT_TRUE(p.engine->RenderPanorama());
    EXPECT_LT(MeanDifference(p.Result(), preview), 0.05);
    ExpectTheBarMovesOn(p.progress);
    const auto captions = p.progress.Captions();
    ASSERT_FALSE(captions.empty());
    EXPECT_EQ(captions.front().id, PanoramaLib::kCaptionRendering);
}

INSTANTIATE_TEST_SUITE_P(Models, HvPipelineRow,
                         ::testing::Values(std::pair{vltest::Motion::TranslateScale, PanoramaLib::MotionTranslate},
                                           std::pair{vltest::Motion::Similarity, PanoramaLib::MotionSimple},
                                           std::pair{vltest::Motion::Affine, PanoramaLib::MotionAffine}));

// ---------------------------------------------------------------------------------
// Full-size render from reduced working copies

TEST(HvPipeline, RenderFromScaledWorkingCopiesMatchesTruthAndPreview)
{
    // Landscape photos are fitted to the working size by their width, portrait ones by
    // their height: both give working copies 400 pixels long (400 x 267, 267 x 400), scale
    // 2.25. The portrait run keeps the whole canvas: the auto-crop grows row by row and is
    // not scale-invariant, and on that strip's stepped lower border it stops 34 rows short
    // of 2.25 times the preview's crop.
    for (const auto& [width, height] : {std::pair(900, 600), std::pair(600, 900)}) {
        SCOPED_TRACE(testing::Message() << width << " x " << height);
        const vltest::PhotoSet set = StripSet(3, width, height);
        Pipeline p(
            [landscape = width > height](PanoramaOptions& o) {
                o.motionModel = PanoramaLib::MotionSimple;
                o.nPreviewQuality = 0;  // working copies of 400 pixels: scale 2.25
                o.bAutoCrop = landscape;
            },
            set.paths);
        ASSERT_TRUE(p.Build());
        ASSERT_EQ(p.Status(), 1);
        CPanoramaTestAccess e = p.Inside();
        EXPECT_DOUBLE_EQ(e.scales[0], 2.25);
        EXPECT_EQ(e.workImages[0]->GetImageSize(), width > height ? VarnoBase::Size(400, 267) : VarnoBase::Size(267, 400));
        for (std::size_t i = 1; i < 3; ++i)
            EXPECT_LT(CanvasError(e.transforms, set.planeShots, i, 2.25), 2.25) << "photo " << i;
        const Pixels preview = p.Preview();
        ASSERT_GT(preview.width, 0);

        // The progress runs to its total exactly: 17 N - 2 steps for a build, P (L + 4) + 4
        // for a render (L = 5 pyramid levels at scale 2.25).
        ASSERT_FALSE(p.progress.Positions().empty());
        EXPECT_EQ(p.progress.Positions().back(), (vltest::RecordingProgress::Position{17 * 3 - 2, 17 * 3 - 2}));
        for (const auto& pos : p.progress.Positions())
            EXPECT_LE(pos.value, pos.max);
        p.progress.Clear();
        ASSERT_TRUE(p.engine->RenderPanorama());
        ExpectTheBarMovesOn(p.progress);
        EXPECT_EQ(p.progress.Positions().back(), (vltest::RecordingProgress::Position{3 * 9 + 4, 3 * 9 + 4}));
        for (std::size_t i = 1; i < 3; ++i)
            EXPECT_LT(CanvasError(e.fullTransforms, set.planeShots, i, 1.0), 1.5) << "photo " << i;
        const Pixels result = p.Result();
        EXPECT_LT(std::max(std::abs(result.width - preview.width * 2.25), std::abs(result.height - preview.height * 2.25)), 6);

        // The result reduced to the preview's size looks like the preview.
        QImage full(result.bytes.data(), result.width, result.height, result.width * 3, QImage::Format_RGB888);
        const QImage small = full.scaled(preview.width, preview.height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                 .convertToFormat(QImage::Format_RGB888);
        const Pixels reduced = Pixels::Rows(small.width(), small.height(), std::size_t(small.width()) * 3,
                                            [&small](int y) { return small.constScanLine(y); });
        EXPECT_LT(MeanDifference(reduced, preview), 14.0);

        // After a render the preview falls back on the full-size image.
        EXPECT_EQ(std::pair(p.engine->GetPanoramaPreview(false)->HasBits(), p.engine->GetPanoramaPreview(true)), std::pair(false, p.engine->GetPanoramaImage()));
        // A render while the result holds pixels changes nothing.
        const u8* bits = p.engine->GetPanoramaImage()->GetBits();
        EXPECT_TRUE(p.engine->RenderPanorama());
        EXPECT_EQ(p.engine->GetPanoramaImage()->GetBits(), bits);
    }
}

// ---------------------------------------------------------------------------------
// Colour equalisation across the seam

// Two crops of `scene` (w pixels wide, at both ends of it) with a textured band on top for
// the matching and flat grey below; the second crop is exposed 25 % darker from row
// `darkFrom` down. Built with translations and rendered at full size.
Pixels ExposurePair(const QRect& scene, int w, int darkFrom)
{
    const int W = scene.width(), H = scene.height();
    QImage world = vltest::planeCrop(SharedScene(), scene);
    QPainter(&world).fillRect(0, H / 2, W, H - H / 2, QColor(180, 180, 180));
    std::vector<QImage> images{world.copy(0, 0, w, H), world.copy(W - w, 0, w, H)};
    for (int y = darkFrom; y < H; ++y)
        for (u8* px = images[1].scanLine(y); px < images[1].scanLine(y) + w * 3; ++px)
            *px = u8(*px * 0.75);
    const vltest::PhotoSet set = vltest::makePhotoSet(images, vltest::FileFormat::Png);
    Pipeline p([](PanoramaOptions& o) { o.motionModel = PanoramaLib::MotionTranslate; }, set.paths);
    EXPECT_TRUE(p.Build());
    EXPECT_EQ(p.Status(), 1);
    EXPECT_TRUE(p.engine->RenderPanorama());
    if (::testing::Test::HasFailure())
        return Pixels();
    return p.Result();
}

TEST(HvPipeline, DifferentExposuresMeetWithoutAStep)
{
    // A wide picture: textured band on top (for the matching), flat grey below. Two
    // crops overlap by half; the second is exposed 25 % darker.
    const int W = 720, H = 360, w = 480;
    Pixels r;
    ASSERT_NO_FATAL_FAILURE(r = ExposurePair(QRect(100, 100, W, H), w, 0));
    ASSERT_NEAR(r.width, W, 3);
    // In the flat band no run of 8 pixels along a row changes by more than a few
    // levels; without equalisation the 45-level step would show within the blend.
    int worst = 0;
    // (Rows near the bottom edge get a weaker correction: its blur reaches past the photos.)
    for (int y = H * 3 / 5; y < H * 4 / 5; y += 5)
        for (int x = 0; x + 8 < r.width; ++x)
            worst = std::max(worst, std::abs(int(r.At(x + 8, y)[1]) - int(r.At(x, y)[1])));
    EXPECT_LE(worst, 6);
    // Both ends keep most of their own exposure: the correction fades out.
    EXPECT_GT(r.At(5, H - 10)[1], r.At(r.width - 6, H - 10)[1] + 15);
}

// Portrait photos: the overlap is measured over the photo's full height, not only as
// far down as the photo is wide. Textured on top (for the matching), flat grey below;
// the second photo's lower half alone is exposed 25 % darker, so only the lower part
// of the overlap holds a difference to even out.
TEST(HvPipeline, PortraitPhotosAreEqualisedDownToTheirLowerHalf)
{
    const int W = 420, H = 480, w = 300;
    Pixels r;
    ASSERT_NO_FATAL_FAILURE(r = ExposurePair(QRect(300, 200, W, H), w, H / 2));
    ASSERT_NEAR(r.width, W, 3);
    ASSERT_NEAR(r.height, H, 3);
    // Below the photos' width (y > w) no run of 8 pixels along a row changes by more
    // than a few levels.
    int worst = 0;
    for (int y = w + 20; y < H - 40; y += 5)
        for (int x = 0; x + 8 < r.width; ++x)
            worst = std::max(worst, std::abs(int(r.At(x + 8, y)[1]) - int(r.At(x, y)[1])));
    // (About 10 here, the overlap being narrow against the correction's blur; about 20,
    // the 45-level step softened by the blend alone, where the correction stops at y = w.)
    EXPECT_LE(worst, 13);
}

// ---------------------------------------------------------------------------------
// Failures and cancellation

// Photos of unrelated scenes: nothing built, all unmatched, nothing to render. A null
// entry and a stray photo beside a matching pair: the pair is built and the stray photo
// reported by its input index.
TEST(HvPipeline, UnmatchedPhotosKeepTheirInputIndices)
{
    const vltest::Scene other(vltest::smallSceneOptions(99));
    {
        const vltest::PhotoSet set = vltest::makePhotoSet({vltest::planeCrop(SharedScene(), QRect(0, 0, 360, 270)),
                                                           vltest::planeCrop(other, QRect(0, 0, 360, 270)),
                                                           vltest::planeCrop(SharedScene(), QRect(1200, 1200, 360, 270))},
                                                          vltest::FileFormat::Png);
        Pipeline p({}, set.paths);
        EXPECT_FALSE(p.Build());
        EXPECT_EQ(std::tuple(p.Status(), p.Unmatched(), p.engine->HasBuilt(), p.engine->GetPanoramaPreview(true)->HasBits(),
                             p.progress.IsOpen(), p.wait.Begins()),
                  std::tuple(3, std::vector<int>{0, 1, 2}, false, false, false, p.wait.Ends()));
        EXPECT_FALSE(p.engine->RenderPanorama() || p.engine->GetPanoramaImage()->HasBits());
    }
    const vltest::PhotoSet set = StripSet(2, 360, 270);
    const vltest::PhotoSet stray =
        vltest::makePhotoSet({vltest::planeCrop(other, QRect(300, 300, 360, 270))}, vltest::FileFormat::Png);
    Pipeline p;
    p.Load({set.paths[0]});
    p.photos.push_back(nullptr);
    p.Load({set.paths[1], stray.paths[0]});
    ASSERT_TRUE(p.Build());
    EXPECT_EQ(std::tuple(p.Status(), p.engine->GetPanoramaStatus()->nImages, p.Unmatched()),
              std::tuple(1, 4, std::vector<int>{1, 3}));
    EXPECT_TRUE(p.engine->RenderPanorama());
}

// A build or a render stopped at any point, by a cancel or by an exception from the
// host's progress call-back, fails cleanly: no partial result, the progress closed,
// the preview of the last build kept. The next render (lens compensation on, the
// default) equals one never interrupted, and so does a render after a finished one,
// with other lens options set meanwhile; a render after a photo file vanished fails.
TEST(HvPipeline, InterruptedBuildsAndRendersFailCleanlyAndARetryEqualsAnUninterruptedRun)
{
    const vltest::PhotoSet set = StripSet(3, 600, 400, vltest::Motion::Similarity, vltest::FileFormat::Jpeg);
    const auto lensOn = [](PanoramaOptions& o) {
        o.bLensCompensation = true;
        o.nLensType = 7;
        o.nPreviewQuality = 0;
    };
    Pixels reference;
    int buildSteps = 0, renderSteps = 0;
    {
        Pipeline p(lensOn, set.paths);
        ASSERT_TRUE(p.Build());
        buildSteps = p.progress.AbortCalls();
        p.progress.Clear();
        ASSERT_TRUE(p.engine->RenderPanorama());
        renderSteps = p.progress.AbortCalls();
        ExpectTheBarMovesOn(p.progress);
        reference = p.Result();
        ASSERT_GT(reference.width, 0);
    }
    ASSERT_GT(buildSteps, 10);
    // (The last poll of a render comes after the result is complete and is only stored.)
    using enum Interruption;
    const struct {
        bool render;
        int at;
        Interruption how;
    } cases[] = {{true, 1, Cancel}, {true, 2, Cancel}, {true, renderSteps / 3, Cancel},
                 {true, renderSteps / 2, Cancel}, {true, renderSteps - 2, Cancel}, {true, renderSteps - 1, Cancel},
                 {true, 2, ThrowStd}, {true, 6, ThrowOther},
                 // (Builds last: the abort poll follows the newest engine.)
                 {false, 1, Cancel}, {false, buildSteps / 4, Cancel}, {false, buildSteps / 2, Cancel},
                 {false, buildSteps * 3 / 4, Cancel}, {false, buildSteps, Cancel},
                 {false, 3, ThrowStd}, {false, 15, ThrowOther}};
    Pipeline p(lensOn, set.paths);
    ASSERT_TRUE(p.Build());
    const Pixels preview = p.Preview();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.render ? "render" : "build") << " stopped at " << c.at << " by "
                                        << int(c.how));
        HookedProgress progress;
        Interrupt(progress, c.at, c.how);
        if (c.render) {
            p.engine->Set_IProgressIndicator(&progress);
            EXPECT_FALSE(p.engine->RenderPanorama());
            EXPECT_EQ(p.Preview(), preview);
        } else {
            Pipeline q(lensOn, set.paths);
            q.engine->Set_IProgressIndicator(&progress);
            EXPECT_FALSE(q.Build());
            EXPECT_EQ(std::tuple(q.Status(), q.engine->HasBuilt(), q.engine->GetPanoramaPreview(true)->HasBits(),
                                 q.ui.HighlightsBalanced(), q.wait.Begins()),
                      std::tuple(2, false, false, true, q.wait.Ends()));
            EXPECT_FALSE(q.engine->RenderPanorama() || q.engine->GetPanoramaImage()->HasBits());
        }
        EXPECT_FALSE(p.engine->GetPanoramaImage()->HasBits() || progress.IsOpen());
    }
    // Lens options changed since the build (another type, then none) do not reach its render.
    p.engine->Set_IProgressIndicator(&p.progress);
    for (const bool lens : {true, false}) {
        PanoramaOptions o;
        p.engine->GetOptions(&o);
        o.bLensCompensation = lens, o.nLensType = 2;
        p.engine->SetOptions(o);
        p.engine->GetPanoramaImage()->FreeImage();
        ASSERT_TRUE(p.engine->RenderPanorama());
        EXPECT_EQ(p.Result(), reference) << lens;
    }
    p.engine->GetPanoramaImage()->FreeImage();
    ASSERT_TRUE(QFile::remove(set.paths[2]));
    EXPECT_FALSE(p.engine->RenderPanorama() || p.engine->GetPanoramaImage()->HasBits());
}

// ---------------------------------------------------------------------------------
// Crop, ring, analysis

TEST(HvPipeline, WithoutAutoCropTheWholeCanvasStaysWhiteWhereNothingWasStitched)
{
    const vltest::PhotoSet set =
        StripSet(3, 360, 270, vltest::Motion::Similarity, vltest::FileFormat::Png, 4.0, 0.08);
    Pipeline p([](PanoramaOptions& opt) { opt.bAutoCrop = false; }, set.paths);
    ASSERT_TRUE(p.Build());
    CPanoramaTestAccess e = p.Inside();
    const Pixels preview = p.Preview();
    EXPECT_EQ(std::pair(preview.width, preview.height), std::pair(e.canvas.width(), e.canvas.height()));
    EXPECT_EQ(p.engine->GetPanoramaPreview(false)->GetAlphaBits(), nullptr);
    int empty = 0, notWhite = 0;
    for (int y = 0; y < preview.height; ++y)
        for (int x = 0; x < preview.width; ++x) {
            bool covered = false;
            for (std::size_t j = 0; j < 3 && !covered; ++j) {
                const auto [u, v] = Map(e.transforms[j], x, y);
                covered = u > -1.5 && v > -1.5 && u < 361.5 && v < 271.5;
            }
            if (covered)
                continue;
            ++empty;
            const u8* px = preview.At(x, y);
            notWhite += !(px[0] == 255 && px[1] == 255 && px[2] == 255);
        }
    EXPECT_GT(empty, 1000);
    EXPECT_EQ(notWhite, 0);
    ASSERT_TRUE(p.engine->RenderPanorama());
    EXPECT_LT(MeanDifference(p.Result(), preview), 0.05);
}

TEST(HvPipeline, CycloramaClosesAFullRingAndReportsAnOpenOne)
{
    // Eight photos whose field of view is exactly that of lens type 5, so the lens
    // correction turns them into the true longitude and latitude.
    const int lensType = 5;
    const double factor = g_lensType.Factor(lensType);
    vltest::RingOptions ro;
    ro.count = 8, ro.width = 360, ro.height = 240;
    ro.overlap = 1 - 45.0 / (2 * std::atan(1 / factor) * 180 / M_PI);
    const std::vector<vltest::CameraShot> shots = vltest::makeRing(SharedScene(), ro);
    const std::vector<QImage> images = vltest::imagesOf(shots);
    ASSERT_NEAR(shots[0].camera.f, factor * ro.width / 2, 1e-6);
    const auto ring = [lensType](PanoramaOptions& o) {
        o.bCyclorama = true;
        o.bLensCompensation = true;
        o.nLensType = lensType;
        o.motionModel = PanoramaLib::MotionSimple;
    };
    {
        const vltest::PhotoSet set = vltest::makePhotoSet(images, vltest::FileFormat::Png);
        Pipeline p(ring, set.paths);
        ASSERT_TRUE(p.Build());
        EXPECT_EQ(p.Status(), 1);
        CPanoramaTestAccess e = p.Inside();
        EXPECT_GE(e.duplicate, 8);
        // One turn: the canvas is as long as the circumference of the corrected photos'
        // sphere (half the longer side per radian, times the corrected image's scale).
        LensCorrectedGeometry g;
        ASSERT_TRUE(CalcLensCorrectedGeometry(ro.width, ro.height, factor, &g));
        const double circumference = 2 * M_PI * (ro.width / 2.0) * g.outWidth / g.sphereWidth;
        EXPECT_NEAR(e.canvas.width(), circumference, circumference * 0.02);
        ASSERT_TRUE(p.engine->RenderPanorama());
        EXPECT_GT(p.Result().width, 0);
    }
    {
        // Half the ring: the ends never meet.
        const vltest::PhotoSet set = vltest::makePhotoSet({images.begin(), images.begin() + 4}, vltest::FileFormat::Png);
        Pipeline p(ring, set.paths);
        EXPECT_TRUE(p.Build() && p.Status() == 4) << p.Status();
    }
}

// Freeing the images leaves nothing built. Free releases the engine's hold on the
// photos and keeps their analysis on request: the next build skips feature extraction
// (fewer polls, the bar still ends at its total, the same features); after a full Free,
// at another working size or with the lens compensation switched, the photos are
// analysed again. No photos: nothing built.
TEST(HvPipeline, SavedAnalysisIsKeptOnRequestAndRedoneForAnotherWorkingSizeOrLens)
{
    const vltest::PhotoSet set = StripSet(2, 500, 360, vltest::Motion::TranslateScale);
    Pipeline p([](PanoramaOptions& o) { o.motionModel = PanoramaLib::MotionTranslate; }, set.paths);
    ASSERT_TRUE(p.Build());
    const int fresh = p.progress.AbortCalls();
    const auto keysOf = [&p] {
        std::vector<double> xy;
        for (const auto& k : p.Inside().databases[0]->m_keys)
            xy.insert(xy.end(), {k->x, k->y});
        return xy;
    };
    const std::vector<double> keys = keysOf();
    p.engine->FreePanoramaImages();
    EXPECT_FALSE(p.engine->HasBuilt() || p.engine->GetPanoramaPreview(false)->HasBits());

    for (const bool analysis : {false, true}) {
        p.engine->Free(analysis, true);
        EXPECT_FALSE(p.engine->HasBuilt());
        for (IPanoElement* photo : p.photos)
            EXPECT_EQ(static_cast<CPanoElement*>(photo)->RefCount(), analysis ? 1 : 2);  // its own working copy
        p.progress.Clear();
        ASSERT_TRUE(p.Build());
        if (analysis)
            EXPECT_EQ(p.progress.AbortCalls(), fresh);
        else
            EXPECT_LT(p.progress.AbortCalls(), fresh);
        EXPECT_EQ(p.progress.Positions().back(), (vltest::RecordingProgress::Position{17 * 2 - 2, 17 * 2 - 2}));
        EXPECT_EQ(keysOf(), keys);
    }
    PanoramaOptions o;
    p.engine->GetOptions(&o);
    for (const bool lens : {true, false}) {
        o.bLensCompensation = lens;
        p.engine->SetOptions(o);
        ASSERT_TRUE(p.Build());
        EXPECT_EQ(std::pair(keysOf() == keys, p.engine->GetPanoramaStatus()->options.bLensCompensation), std::pair(!lens, lens));
    }
    o.nPreviewQuality = 0;  // working copies of 400 pixels
    p.engine->SetOptions(o);
    ASSERT_TRUE(p.Build());
    CPanoramaTestAccess e = p.Inside();
    EXPECT_EQ(std::pair(e.workImages[0]->GetWidth(), e.databases[0]->GetModel(0)),
              std::pair(400, e.workImages[0]->GetImageSize()));
    EXPECT_NE(e.databases[0]->m_keys.size() * 2, keys.size());

    EXPECT_TRUE(!p.engine->BuildPanorama({}, nullptr, 0, 0, 0) && p.Status() == 3 && !p.engine->RenderPanorama());
}

// A rebuild with the same photos and lens settings analyses no photo again, lens
// compensation on or off: fewer polls, the same keypoints and the same panorama. A lens
// type changed or the compensation switched analyses every photo again (the polls of a
// fresh build); so does a photo rewritten at its path with another size, on and off
// (more polls than a rebuild, and its keypoints those of a fresh build of the new file).
TEST(HvPipeline, RebuildAnalysesAgainOnlyForAnotherLensOrAPhotoOfAnotherSize)
{
    const vltest::PhotoSet set = StripSet(3, 500, 360, vltest::Motion::TranslateScale);
    int rebuildPolls[2] = {};
    for (const bool lens : {false, true}) {
        SCOPED_TRACE(lens ? "lens compensation on" : "off");
        const auto options = [lens](PanoramaOptions& o) {
            o.motionModel = PanoramaLib::MotionTranslate;
            o.bLensCompensation = lens, o.nLensType = 3;
        };
        const auto keysOf = [](Pipeline& p, std::size_t photo) {
            std::vector<double> xy;
            for (const auto& k : p.Inside().databases.at(photo)->m_keys)
                xy.insert(xy.end(), {k->x, k->y, k->scale});
            return xy;
        };
        // Builds again; its polls.
        const auto build = [](Pipeline& p) {
            p.progress.Clear();
            EXPECT_TRUE(p.Build());
            return p.progress.AbortCalls();
        };
        Pipeline p(options, set.paths);
        const int fresh = build(p);
        const auto keys = keysOf(p, 1);
        const Pixels preview = p.Preview();
        const int rebuilt = rebuildPolls[lens] = build(p);
        EXPECT_LT(rebuilt, fresh);
        EXPECT_EQ(keysOf(p, 1), keys);
        EXPECT_TRUE(p.Preview() == preview);

        PanoramaOptions o;
        p.engine->GetOptions(&o);
        if (lens) {
            o.nLensType = 4;
            p.engine->SetOptions(o);
            EXPECT_EQ(build(p), fresh) << "another lens type";
            o.nLensType = 3;
            p.engine->SetOptions(o);
            EXPECT_EQ(build(p), fresh) << "the lens type back";
        }
        o.bLensCompensation = !lens;
        p.engine->SetOptions(o);
        EXPECT_EQ(build(p), fresh) << "compensation switched";
        o.bLensCompensation = lens;
        p.engine->SetOptions(o);
        EXPECT_EQ(build(p), fresh) << "and back";
        EXPECT_EQ(keysOf(p, 1), keys);

        // Photo 1 rewritten narrower under its own name and loaded again.
        QTemporaryDir dir;
        QStringList paths;
        for (const QString& path : set.paths)
            ASSERT_TRUE(QFile::copy(path, paths.emplace_back(dir.filePath(QFileInfo(path).fileName()))));
        Pipeline q(options, paths);
        EXPECT_EQ(build(q), fresh);
        ASSERT_TRUE(QImage(paths[1]).copy(0, 0, 440, 360).save(paths[1]));
        q.photos[1]->Release();
        q.photos[1] = PanoramaLib::CreateDibObject(false);
        ASSERT_TRUE(q.photos[1]->FromFile(paths[1].toStdWString()));
        EXPECT_GT(build(q), rebuilt);
        Pipeline truth(options, paths);
        build(truth);
        EXPECT_EQ(keysOf(q, 1), keysOf(truth, 1));
        EXPECT_NE(keysOf(q, 1), keys);
    }
    // The same steps with the lens-corrected working copies as without them.
    EXPECT_EQ(rebuildPolls[1], rebuildPolls[0]);
}

// ---------------------------------------------------------------------------------
// Warping at the photo's borders

TEST(HvPipeline, WarpingTreatsPositionsBeforeThePhotoAsOutside)
{
    vltest::ScopedDibManager dibs;
    CPanorama engine;
    CPanoramaTestAccess e(engine);
    auto* photo = new CPanoElement(false);
    ASSERT_TRUE(photo->CreateImage(24, 10, 8));
    photo->FillByValue(90);
    e.workImages.push_back(photo);
    AFFINE_MATRIX m;
    m.v[0][2] = -0.5;  // canvas x -> photo x - 0.5
    m.v[1][2] = -0.25;
    e.transforms.push_back(m);
    ASSERT_TRUE(e.TransformImage(0));
    const CPanoElement* w = e.warped[0];
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->GetImageRect(), Rect(0, 0, 11, 9));
    const auto alpha = [w](int x, int y) { return int(w->m_pAlpha[std::size_t(y) * w->GetAlphaBPL() + x]); };
    for (int k = 0; k < 11; ++k)  // v = -0.25: above the photo; u = -0.5: left of it
        EXPECT_EQ(std::pair(alpha(k, 0), alpha(0, std::min(k, 8))), std::pair(0, 0)) << k;
    EXPECT_EQ(std::pair(alpha(1, 1), alpha(10, 8)), std::pair(255, 255));  // u = 9.5, v = 7.75 still sample the last column and row
    EXPECT_EQ(w->GetBits()[std::size_t(3) * w->GetBPL() + 5 * 3], 90);
}

// Stitching a patch again recomposes the auto-cropped preview at the crop rectangle:
// the picture stays where it was, apart from the patch's own surroundings.
TEST(HvPipeline, PatchKeepsTheCroppedPreviewInPlace)
{
    const vltest::PhotoSet set = StripSet(3, 360, 270);
    Pipeline p([](PanoramaOptions& o) { o.bAutoCrop = true; }, set.paths);
    ASSERT_TRUE(p.Build());
    CPanoramaTestAccess e = p.Inside();
    const Rect crop = p.engine->GetCropRect(false);
    const Pixels before = p.Preview();
    ASSERT_FALSE(crop.isEmpty());
    ASSERT_GT(crop.left + crop.top, 0);  // a crop that would show as an offset
    // A patch over the overlap of the first two photos.
    const Rect overlap = e.warped[0]->GetImageRect() & e.warped[1]->GetImageRect() & crop;
    ASSERT_FALSE(overlap.isEmpty());
    const Rect patch(overlap.left + overlap.width() / 4, overlap.top + overlap.height() / 4,
                     overlap.right - overlap.width() / 4, overlap.bottom - overlap.height() / 4);
    p.engine->SetPatchRect(patch);
    EXPECT_LT(MeanDifference(p.Preview(), before), 4.0);
}

// The full-size pass holds one photo at a time: loaded (and lens-corrected) only while
// it is warped, its warped image released once it is composited.
TEST(HvPipeline, RenderHoldsOneFullSizePhotoAtATime)
{
    const vltest::PhotoSet set = StripSet(4, 600, 400);
    for (bool lens : {false, true}) {
        const auto options = [lens](PanoramaOptions& o) {
            o.nPreviewQuality = 0;
            o.bLensCompensation = lens;
        };
        Pipeline p(options, set.paths);
        ASSERT_TRUE(p.Build());
        CPanoramaTestAccess e = p.Inside();
        HookedProgress watch;
        int maxInputs = 0, maxCopies = 0, maxWarped = 0, polls = 0;
        watch.onPoll = [&] {
            int inputs = 0, copies = 0, warped = 0;
            for (IPanoElement* photo : p.photos)
                inputs += photo->HasBits();
            for (std::size_t i = 0; i < e.photos.size(); ++i)
                copies += e.photos[i] && e.photos[i] != p.photos[i] && e.photos[i]->HasBits();
            for (CPanoElement* w : e.fullWarped)
                warped += w != nullptr;
            maxInputs = std::max(maxInputs, inputs);
            maxCopies = std::max(maxCopies, copies);
            maxWarped = std::max(maxWarped, warped);
            ++polls;
        };
        p.engine->Set_IProgressIndicator(&watch);
        ASSERT_TRUE(p.engine->RenderPanorama());
        EXPECT_GT(polls, 10);
        EXPECT_LE(std::max({maxInputs, maxCopies, maxWarped}), 1) << "lens " << lens;
        for (IPanoElement* photo : p.photos)
            EXPECT_FALSE(photo->HasBits());
        // One thread (analysis, matching and render in order, nothing warped ahead)
        // gives the very same panorama.
        SetMatchingThreads(1);
        Pipeline serial(options, set.paths);
        const bool serialDone = serial.Build() && serial.engine->RenderPanorama();
        SetMatchingThreads(0);
        ASSERT_TRUE(serialDone);
        EXPECT_EQ(serial.Result(), p.Result()) << "lens " << lens;
    }
}

namespace {

// The preview panorama of an engine with the similarity model for the seam set-up:
// w x h, grey `grey`, transparent (the engine owns it).
CPanoElement* SeamPreview(CPanorama& engine, int w, int h, u8 grey)
{
    PanoramaOptions o;
    engine.GetOptions(&o);
    o.motionModel = PanoramaLib::MotionSimple;
    engine.SetOptions(o);
    auto* pano = static_cast<CPanoElement*>(engine.GetPanoramaPreview(false));
    EXPECT_TRUE(pano->CreateImage(24, w, h));
    pano->FillByValue(grey);
    pano->AddAlphaChannel(false);
    return pano;
}

// A warped photo for the seam set-up: w x h, grey `grey`, at `at` (the caller hands it on).
CPanoElement* SolidPhoto(int w, int h, u8 grey, VarnoBase::Point at)
{
    auto* photo = new CPanoElement(false);
    EXPECT_TRUE(photo->CreateImage(24, w, h));
    photo->FillByValue(grey);
    photo->m_position = at;
    return photo;
}

}  // namespace

// The seam side of a photo inside the panorama is decided by the empty panorama pixels
// along the photo's own left and right columns (its rows, not the panorama's first ones,
// down to the last row at the panorama's bottom edge).
TEST(HvPipeline, SeamSideCountsAlongThePhotosOwnRows)
{
    vltest::ScopedDibManager dibs;
    for (const bool lastRowDecides : {false, true}) {
        SCOPED_TRACE(lastRowDecides);
        CPanorama engine;
        CPanoramaTestAccess e(engine);
        CPanoElement* pano = SeamPreview(engine, 300, 100, 120);
        CPanoElement* photo = SolidPhoto(100, 50, 60, VarnoBase::Point(100, 50));
        if (!lastRowDecides) {
            // Opaque where the photo's rows meet the panorama's left part, and in the top
            // rows right of the photo's middle: counted from the panorama's top, the left
            // column would look emptier than the right one.
            pano->FillAlphaByValue(Rect(0, 50, 150, 100), 255, false);
            pano->FillAlphaByValue(Rect(150, 0, 300, 50), 255, false);
            photo->AddAlphaChannel(true);
        } else {
            // The photo is opaque on columns 120..179 only, the panorama on 120..149 of
            // them; of the photo's outer columns only the left one has an empty pixel, in
            // the panorama's last row.
            photo->AddAlphaChannel(false);
            photo->FillAlphaByValue(Rect(20, 0, 80, 50), 255, true);
            pano->FillAlphaByValue(Rect(120, 50, 150, 100), 255, false);
            pano->FillAlphaByValue(Rect(100, 50, 101, 99), 255, false);
            pano->FillAlphaByValue(Rect(199, 50, 200, 100), 255, false);
        }
        e.warped.push_back(photo);
        e.seams.resize(1);
        ASSERT_TRUE(e.BuildStichingLine(0));
        EXPECT_EQ(e.seams[0].GetSeamOrient(), lastRowDecides ? kSeamRight : kSeamLeft);
    }
}

// The seam runs down a valley where panorama and photo agree, and steps around pixels
// that are transparent on either side (their grey under the hole agrees too), as it
// does around pixels transparent on both.
TEST(HvPipeline, SeamAvoidsPixelsTransparentOnEitherSide)
{
    vltest::ScopedDibManager dibs;
    // Panorama 200 x 60, opaque left of x = 140; photo 100 x 60 at x = 80, grey 50 but
    // for the valley column x = 110, as grey as the panorama. Hole: x 105..115, y 20..39.
    const Rect hole(105, 20, 116, 40);
    constexpr int kPhotoLeft = 80, kValley = 110;
    for (const int side : {1, 2, 3}) {  // panorama, photo, both
        SCOPED_TRACE(side);
        CPanorama engine;
        CPanoramaTestAccess e(engine);
        CPanoElement* pano = SeamPreview(engine, 200, 60, 200);
        pano->FillAlphaByValue(Rect(0, 0, 140, 60), 255, false);
        CPanoElement* photo = SolidPhoto(100, 60, 50, VarnoBase::Point(kPhotoLeft, 0));
        for (int y = 0; y < 60; ++y)
            std::memset(photo->GetBits() + std::size_t(y) * photo->GetBPL() + 3 * (kValley - kPhotoLeft), 200, 3);
        photo->AddAlphaChannel(true);
        if (side & 1)
            pano->FillAlphaByValue(hole, 0, false);
        if (side & 2)
            photo->FillAlphaByValue(hole, 0, false);
        e.warped.push_back(photo);
        e.seams.resize(1);
        ASSERT_TRUE(e.BuildStichingLine(0));
        ASSERT_EQ(e.seams[0].GetSeamOrient(), kSeamLeft);

        // The cut clears the photo left of the seam: its first opaque pixel of a row is
        // the seam's.
        auto seamAt = [&](int y) {
            const u8* row = photo->GetAlphaBits() + std::size_t(y) * photo->GetAlphaBPL();
            return kPhotoLeft + int(std::find_if(row, row + 100, [](u8 a) { return a != 0; }) - row);
        };
        EXPECT_EQ(seamAt(5), kValley);
        EXPECT_EQ(seamAt(55), kValley);
        for (int y = hole.top + 3; y < hole.bottom - 3; ++y) {
            const int x = seamAt(y);
            EXPECT_TRUE(x < hole.left || x >= hole.right) << "row " << y << " crosses the hole at " << x;
        }
    }
}

// ---------------------------------------------------------------------------------
// The engines' contract with their host

// Each factory installs its store factory for every element made afterwards; a null one
// is stored too and gives no engine.
TEST(EngineFactories, StoreFactoryIsInstalledAndANullOneGivesNoEngine)
{
    vltest::ScopedDibManager keep;  // the store factory in use comes back
    EngineHost host, other;
    CPanoElement::m_pIDibManager = nullptr;
    if (PanoramaLib::IHVPanorama* hv = PanoramaLib::CreateHVPanoramaObject(&host))
        hv->Release();
    EXPECT_EQ(CPanoElement::m_pIDibManager, &host);
    if (PanoramaLib::ITiledPanorama* tiled = PanoramaLib::CreateTiledPanoramaObject(&other))
        tiled->Release();
    EXPECT_EQ(CPanoElement::m_pIDibManager, &other);

    EXPECT_EQ(PanoramaLib::CreateHVPanoramaObject(nullptr), nullptr);
    EXPECT_EQ(CPanoElement::m_pIDibManager, nullptr);
    CPanoElement::m_pIDibManager = &host;
    EXPECT_EQ(PanoramaLib::CreateTiledPanoramaObject(nullptr), nullptr);
    EXPECT_EQ(CPanoElement::m_pIDibManager, nullptr);
}

TEST(AutoHighlightFile, MarksForTheScopeEvenWhenTheWorkThrowsAndNothingWhenSuppressed)
{
    vltest::RecordingUserInterface ui;
    {
        CAutoHighlightFile outer(L"/photos/a.jpg", &ui, false);
        try {
            CAutoHighlightFile inner(L"/photos/b.jpg", &ui, false);
            throw std::runtime_error("analysis failed");
        } catch (const std::runtime_error&) {
        }
    }
    using H = vltest::RecordingUserInterface::Highlight;
    EXPECT_EQ(ui.Highlights(), (std::vector<H>{{L"/photos/a.jpg", true},
                                               {L"/photos/b.jpg", true},
                                               {L"/photos/b.jpg", false},
                                               {L"/photos/a.jpg", false}}));
    EXPECT_TRUE(ui.HighlightsBalanced());

    // Suppressed, or without an interface: nothing marked.
    vltest::RecordingUserInterface quiet;
    {
        CAutoHighlightFile full(L"/photos/a.jpg", &quiet, true);
        CAutoHighlightFile none(L"/photos/b.jpg", nullptr, false);
    }
    EXPECT_TRUE(quiet.Highlights().empty());
}
