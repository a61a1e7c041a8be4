// The Horizontal/Vertical engine's stages before compositing. The engine object: options
// it keeps and refuses, its single-instance abort poll, working copies and the box-filter
// resampling behind them. Photo analysis and matching on generated photos (real files,
// real SIFT) checked against the transforms the photos were rendered with. Mosaic
// geometry on hand-made match graphs. Build thread only, except the matching threads.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "core/linalg.h"
#include "core/pair_matching.h"
#include "core/panorama_exceptions.h"
#include "core/resample.h"
#include "engine/hv/analysis.h"
#include "engine/hv/mosaic.h"
#include "tests/engine/hv_test_access.h"
#include "tests/support/dib_manager_fixture.h"
#include "tests/support/recording_host.h"
#include "tests/support/scene.h"

using match_graph::CGraph;
using match_graph::CGraphLink;
using PanoramaLib::PanoramaOptions;
using VarnoBase::Point;
using VarnoBase::Rect;
using VarnoBase::Size;

namespace {

const vltest::Scene& SharedScene()
{
    static const vltest::Scene scene(vltest::SceneOptions{.seed = 21, .planeWidth = 2048, .planeHeight = 2048});
    return scene;
}

// PNG photos of 360 x 270 pixels along a strip across the shared scene.
vltest::PhotoSet MakeRow(int count, vltest::Motion motion, double overlap = 0.45)
{
    vltest::StripOptions o;
    o.count = count, o.width = 360, o.height = 270, o.overlap = overlap, o.motion = motion;
    return vltest::makeStripPhotoSet(SharedScene(), o, vltest::FileFormat::Png);
}

// Photos, owning one reference each.
struct Photos {
    ~Photos() { FreePictureCollection(items); }
    std::vector<CPanoElement*> items;
};

// A photo without a file and a feature store made up for it: `count` keypoints at random
// places whose descriptors are `base` moved `distance` along random directions (random
// unit vectors when base is null), each followed by a decoy moved `decoy` (0: none).
// Keypoint i of the base sits at (x + dx, y + dy) here, moved `jitter` pixels further
// in a random direction. Stores made this way are taken
// as a finished analysis of a working copy of the same size.
struct MadeUpPhoto {
    CPanoElement* photo = nullptr;
    CPanoElement* work = nullptr;
    CImageDataBase* store = nullptr;
};
constexpr int kMadeUpW = 400, kMadeUpH = 300;

std::vector<double> RandomUnit(std::mt19937& rng)
{
    std::normal_distribution<double> g;
    std::vector<double> v(ScaleSpace::kDescriptorLength);
    std::generate(v.begin(), v.end(), [&] { return g(rng); });
    const double n = std::sqrt(std::inner_product(v.begin(), v.end(), v.begin(), 0.0));
    for (double& x : v)
        x /= n;
    return v;
}

MadeUpPhoto MadeUp(std::mt19937& rng, int count, const CImageDataBase* base = nullptr, double distance = 0,
                   double decoy = 0, double dx = 0, double dy = 0, double jitter = 0)
{
    MadeUpPhoto m;
    for (CPanoElement** e : {&m.photo, &m.work}) {
        *e = new CPanoElement(false);
        EXPECT_TRUE((*e)->CreateImage(24, kMadeUpW, kMadeUpH));
        (*e)->FillByValue(128);
    }
    m.store = new CImageDataBase();
    std::uniform_real_distribution<double> px(20, kMadeUpW - 20), py(20, kMadeUpH - 20);
    auto add = [&](double x, double y, const double* from, double by) {
        m.store->m_keys.emplace_back(ScaleSpace::SIFT{x, y, 0.3, 0, 1, 2.0});
        auto d = std::make_unique<ScaleSpace::CKeyDescriptor>();
        const std::vector<double> dir = RandomUnit(rng);
        for (int j = 0; j < ScaleSpace::kDescriptorLength; ++j)
            d->v[j] = from ? from[j] + by * dir[j] : dir[j];
        m.store->m_descriptors.push_back(std::move(d));
    };
    for (int i = 0; i < count; ++i) {
        if (!base) {
            add(px(rng), py(rng), nullptr, 0);
            continue;
        }
        const ScaleSpace::SIFT& k = *base->m_keys[i];
        const double turn = jitter > 0 ? std::uniform_real_distribution<double>(0, 2 * M_PI)(rng) : 0;
        add(k.x + dx + jitter * std::cos(turn), k.y + dy + jitter * std::sin(turn), base->m_descriptors[i]->v,
            distance);
        if (decoy > 0)
            add(px(rng), py(rng), base->m_descriptors[i]->v, decoy);
    }
    m.store->SetSingleObject(VarnoBase::Size(kMadeUpW, kMadeUpH));
    return m;
}

class HvAnalysis : public ::testing::Test {
protected:
    void SetUp() override
    {
        engine = std::make_unique<CPanorama>();
        engine->Initialize(nullptr, nullptr, &ui);
        engine->Set_IProgressIndicator(&progress);
        Configure([](PanoramaLib::PanoramaOptions& o) { o.bLensCompensation = false; });  // the ideal geometry
    }
    template <class Fn>
    void Configure(Fn&& fn)
    {
        PanoramaLib::PanoramaOptions o;
        engine->GetOptions(&o);
        fn(o);
        engine->SetOptions(o);
    }
    CPanoramaTestAccess In() { return CPanoramaTestAccess(*engine); }
    // Adds made-up photos (the engine takes the stores; the elements stay with `kept`).
    void AddMadeUp(const std::vector<MadeUpPhoto>& made)
    {
        for (const MadeUpPhoto& m : made) {
            In().AddImage(m.photo, m.work, m.store);
            kept.items.insert(kept.items.end(), {m.photo, m.work});
        }
    }
    // Adds photos read from files (the elements stay with `kept`).
    void AddAll(const QStringList& paths)
    {
        for (const QString& p : paths) {
            kept.items.push_back(new CPanoElement(false));
            EXPECT_TRUE(kept.items.back()->FromFile(p.toStdWString()));
            In().AddImage(kept.items.back(), nullptr, nullptr);
        }
    }

    vltest::ScopedDibManager dibs;
    Photos kept;
    vltest::RecordingProgress progress;
    vltest::RecordingUserInterface ui;
    std::unique_ptr<CPanorama> engine;
};

// The resampling in 32-bit arithmetic, which is exact for spans below 128 pixels and
// sources below 32,768 pixels.
void StretchWidth32(unsigned char* dst, const unsigned char* src, int srcWidth, int height, int dstWidth)
{
    const int step = (srcWidth << 16) / dstWidth;
    for (int y = 0; y < height; ++y)
        for (int x = 0, a = 0, b = step; x < dstWidth; ++x, a = b, b += step)
            for (int c = 0; c < 3; ++c) {
                const unsigned char* s = src + Stride24(srcWidth) * y + c;
                int sum = s[(a >> 16) * 3] * (65536 - (a & 0xFFFF));
                for (int k = (a >> 16) + 1; k < (b >> 16); ++k)
                    sum += s[k * 3] << 16;
                if ((b >> 16) < srcWidth)
                    sum += s[(b >> 16) * 3] * (b & 0xFFFF);
                dst[Stride24(dstWidth) * y + std::size_t(x) * 3 + c] = (unsigned char)((sum + step / 2) / step);
            }
}

// A 24-bit element of w x h filled with fn(x, y, channel).
template <class Fn>
CPanoElement* MakePhoto(int w, int h, Fn&& fn)
{
    auto* e = new CPanoElement(false);
    EXPECT_TRUE(e->CreateImage(24, w, h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                e->GetBits()[std::size_t(y) * e->GetBPL() + std::size_t(x) * 3 + c] = (unsigned char)fn(x, y, c);
    return e;
}

// Tests that make elements without an engine host: the program's store factory for their time.
class HVObjectTest : public ::testing::Test {
protected:
    vltest::ScopedDibManager dibs;
};
using HvMosaic = HVObjectTest;

// An engine whose working copies are sized placeholders (no pixels).
struct MosaicEngine {
    MosaicEngine(int count, Size size, bool ring = false)
    {
        for (int i = 0; i < count; ++i) {
            auto* e = new CPanoElement(false);
            e->CreateImage(true, size.cx, size.cy, false);
            in.workImages.push_back(e);
            e->AddRef();
            in.photos.push_back(e);
            in.scales.push_back(1.0);
            in.matchGraph.AddNode(i);
        }
        PanoramaLib::PanoramaOptions o;
        engine.GetOptions(&o);
        o.bCyclorama = ring;
        engine.SetOptions(o);
    }
    CPanorama engine;
    CPanoramaTestAccess in{engine};
};

// Link a -> b: photo a's pixels into photo b's by translation (dx, dy).
CGraphLink* Link(CGraph& g, int a, int b, double dx, double dy, int inliers)
{
    CGraphLink* l = g.AddLink(a, b);
    l->id1 = a, l->id2 = b;
    const double m[3][3] = {{1, 0, dx}, {0, 1, dy}, {0, 0, 1}};
    Utils::copy_matrix_3x3(l->m, m);
    l->inliers = inliers;
    l->keys1.assign(static_cast<std::size_t>(inliers), 0);
    l->keys2.assign(static_cast<std::size_t>(inliers), 0);
    return l;
}

}  // namespace

// Every pair is tried once, in lexicographic order (with this overlap photo 0 also meets
// photo 2), each link keeping its inliers' keys; matching on several threads gives the
// sequential graph exactly.
TEST_F(HvAnalysis, ParallelMatchingGivesTheSequentialGraphOfPairsInOrder)
{
    const vltest::PhotoSet row = MakeRow(4, vltest::Motion::Similarity, 0.7);
    Configure([](PanoramaLib::PanoramaOptions& o) { o.motionModel = PanoramaLib::MotionSimple; });
    AddAll(row.paths);
    SetMatchingThreads(1);
    ASSERT_TRUE(In().BuildMatchGraph());
    const match_graph::CGraph sequential(In().matchGraph);
    std::vector<std::pair<int, int>> order;
    for (const CGraphLink* l : sequential.links) {
        if (order.empty() || order.back() != std::make_pair(l->id1, l->id2)) {
            EXPECT_TRUE(order.empty() || order.back() < std::make_pair(l->id1, l->id2));
            order.emplace_back(l->id1, l->id2);
        }
        EXPECT_EQ(l->keys1.size(), static_cast<std::size_t>(l->inliers));
        EXPECT_LT(l->error, 22.0);
    }
    ASSERT_GE(order.size(), 4u);
    EXPECT_EQ(order[1], std::make_pair(0, 2));
    SetMatchingThreads(4);
    ASSERT_TRUE(In().BuildMatchGraph());
    SetMatchingThreads(0);
    const match_graph::CGraph& parallel = In().matchGraph;
    ASSERT_EQ(parallel.links.size(), sequential.links.size());
    for (std::size_t k = 0; k < parallel.links.size(); ++k) {
        const CGraphLink *a = parallel.links[k], *b = sequential.links[k];
        EXPECT_EQ(std::tie(a->id1, a->id2, a->keys1, a->error), std::tie(b->id1, b->id2, b->keys1, b->error));
        EXPECT_EQ(std::memcmp(a->m, b->m, sizeof a->m), 0);
    }
}

TEST_F(HvAnalysis, CancelInsideFeatureExtractionLeavesNoReusableStore)
{
    const vltest::PhotoSet row = MakeRow(1, vltest::Motion::TranslateScale);
    progress.CancelAtStep(3);  // two steps of AddImage, then the first poll inside SIFT
    EXPECT_THROW(AddAll(row.paths), panorama_abort);
    ASSERT_EQ(In().databases.size(), 1u);
    EXPECT_TRUE(In().databases[0]->m_descriptors.empty());

    std::vector<CImageDataBase*> stores{In().databases[0]};
    In().databases.clear();
    std::vector<CPanoElement*> work{kept.items[0]};
    EXPECT_EQ(ExtractImageDescriptor(kept.items[0]->GetPathName(), work, stores), nullptr);
    EXPECT_EQ(stores[0], nullptr);  // taken and deleted
}

// Each photo is reported (caption, highlight, steps) on the build's thread as soon as its
// analysis ends, while others are analysed; they are appended in input order all the
// same. A cancel at the first report starts hardly any more (two are under way, one or
// two more may be).
TEST_F(HvAnalysis, EachPhotoIsReportedAsItEndsAndACancelThereStopsTheRest)
{
    SetMatchingThreads(2);
    for (const bool cancel : {false, true}) {
        const vltest::PhotoSet row = MakeRow(cancel ? 8 : 4, vltest::Motion::Similarity);
        vltest::AnalysisProgress reports(cancel, row.paths);
        engine->Set_IProgressIndicator(&reports);
        EXPECT_EQ(engine->BuildPanorama(reports.Photos(), nullptr, 0, 0, 0), !cancel);
        engine->Set_IProgressIndicator(nullptr);
        EXPECT_EQ(reports.Outcome(4), std::tuple(true, true, true, cancel ? 1u : 4u, true));
        EXPECT_TRUE(cancel || std::equal(In().photos.begin(), In().photos.end(), reports.Photos().begin()));
        engine->Free(true, true);
    }
    SetMatchingThreads(0);
}

TEST_F(HvAnalysis, ManualBuildAsksEveryPairAndStopsAtARejection)
{
    const vltest::PhotoSet row = MakeRow(4, vltest::Motion::TranslateScale);
    AddAll(row.paths);
    In().manualBuild = true;
    In().askAllPairs = true;
    ui.QueueMatchingAnswer(vltest::MatchingAnswer::Accept());
    ui.QueueMatchingAnswer(vltest::MatchingAnswer::Reject());
    EXPECT_TRUE(In().BuildMatchGraphManually());
    const auto calls = ui.MatchingCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(std::pair(calls[0].firstPath, calls[1].firstPath), std::pair(kept.items[0]->GetPathName(), kept.items[1]->GetPathName()));
    // The accepted pair holds the user's transform; the rejected pair's automatic link stays.
    const CGraphLink* first = In().matchGraph.FindLink(0, 1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(std::pair(first->inliers, first->keys1.empty()), std::pair(0, true));
    EXPECT_EQ(In().matchGraph.FindLink(2, 3), nullptr);
}

TEST_F(HvAnalysis, ManualBuildWithoutUserInterfaceKeepsTheLinksFoundSoFar)
{
    // Photos 0, 1 overlap; photo 2 shows another part of the scene.
    const vltest::PhotoSet files = vltest::makePhotoSet({vltest::planeCrop(SharedScene(), QRect(0, 0, 360, 270)),
                                                         vltest::planeCrop(SharedScene(), QRect(200, 10, 360, 270)),
                                                         vltest::planeCrop(SharedScene(), QRect(1500, 1500, 360, 270))},
                                                        vltest::FileFormat::Png);
    engine->Initialize(nullptr, nullptr, nullptr);
    AddAll(files.paths);
    In().manualBuild = true;
    EXPECT_TRUE(In().BuildMatchGraphManually());
    EXPECT_EQ(std::pair(In().matchGraph.FindLink(0, 1) != nullptr, In().matchGraph.FindLink(1, 2) != nullptr), std::pair(true, false));
}

// The true matches of this pair are 0.7 times as far as a decoy: the ratio test of
// matching mode 0 (0.6) drops them all, that of mode 1 (0.8) keeps them.
TEST_F(HvAnalysis, EachMatchingModeUsesItsDistanceRatio)
{
    for (const int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        SetUp();
        std::mt19937 rng(7);
        std::vector<MadeUpPhoto> made{MadeUp(rng, 60)};
        made.push_back(MadeUp(rng, 60, made[0].store, 0.1, 0.1 / 0.7, 25, -14));
        AddMadeUp(made);
        Configure([mode](PanoramaLib::PanoramaOptions& o) { o.nMatchingMode = mode; });
        ASSERT_TRUE(In().BuildMatchGraph());
        const CGraphLink* link = In().matchGraph.FindLink(0, 1);
        if (mode == 0) {
            EXPECT_EQ(link, nullptr);
        } else {
            ASSERT_NE(link, nullptr);
            EXPECT_GE(link->inliers, 50);
            EXPECT_NEAR(link->m[0][2], 25, 0.5);
        }
    }
}

// Keypoints 12 pixels off in random directions: a mean inlier distance that only the
// similarity's limit lets through, the affine fit's limit does not.
TEST_F(HvAnalysis, EachMotionModelIsHeldToItsOwnErrorLimit)
{
    for (const auto model : {PanoramaLib::MotionAffine, PanoramaLib::MotionSimple, PanoramaLib::MotionTranslate}) {
        SCOPED_TRACE(model);
        SetUp();
        std::mt19937 rng(11);
        std::vector<MadeUpPhoto> made{MadeUp(rng, 80)};
        made.push_back(MadeUp(rng, 80, made[0].store, 0.05, 0, 25, -14, 12));
        AddMadeUp(made);
        Configure([model](PanoramaLib::PanoramaOptions& o) { o.motionModel = model; });
        ASSERT_TRUE(In().BuildMatchGraph());
        const CGraphLink* link = In().matchGraph.FindLink(0, 1);
        if (model == PanoramaLib::MotionAffine) {
            EXPECT_EQ(link, nullptr);
        } else {
            ASSERT_NE(link, nullptr);
            EXPECT_GT(link->error, PanoramaRecognition::kAffineErrorLimit);
            EXPECT_LT(link->error, PanoramaRecognition::kSimilarityErrorLimit);
            EXPECT_NEAR(link->m[0][2], 25, 4);
        }
    }
    // The same pair as the matching of one pair alone sees it.
    std::mt19937 rng(11);
    const MadeUpPhoto first = MadeUp(rng, 80);
    const MadeUpPhoto second = MadeUp(rng, 80, first.store, 0.05, 0, 25, -14, 12);
    for (const int model : {PanoramaLib::MotionAffine, PanoramaLib::MotionSimple}) {
        PanoramaRecognition::PairMatch match;
        ASSERT_TRUE(PanoramaRecognition::MatchFeatureStores(*first.store, *second.store, model, 0.8, match));
        EXPECT_TRUE(match.fitted);
        EXPECT_EQ(match.accepted, model != PanoramaLib::MotionAffine) << model;
    }
    Photos owned{{first.photo, first.work, second.photo, second.work}};
    delete first.store;
    delete second.store;
}

// A cancel answered during matching at the end of the first query photo's pairs (the
// first poll that moves the bar), or at a poll that keeps the bar where it is (asked
// after each finished tree and pair while the rest of a batch runs; here the first such
// poll after the bar moved, in the second batch): matching ends cancelled with no later
// pair's links or view updates, and no further poll, though more pairs of the batch and
// further batches are waiting.
TEST_F(HvAnalysis, CancelBetweenMatchingBatchesStopsThePairWork)
{
    struct CancelSnapshot : vltest::RecordingProgress {
        vltest::RecordingUserInterface* ui = nullptr;
        const CGraph* graph = nullptr;
        bool still = false;  // cancel only at polls that keep the bar still, else only at those moving it
        int updatesAtCancel = -1, first = -1, last = -1, callsAtCancel = -1;
        std::size_t linksAtCancel = 0;
        bool armed = false;  // from the matching on
        bool AbortProgressIndicator(int max, int value) override
        {
            RecordingProgress::AbortProgressIndicator(max, value);
            if (!armed)
                return false;
            if (first < 0)
                first = value;
            const bool cancel = value != first && (still ? value == last : value != last);
            last = value;
            if (cancel && updatesAtCancel < 0)
                updatesAtCancel = ui->UserWndUpdates(), callsAtCancel = AbortCalls(),
                linksAtCancel = graph->links.size();
            return cancel;
        }
    };
    // More pairs than two batches (4 per hardware thread each) hold.
    const int batch = 4 * static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    int n = 2;
    while (n * (n - 1) / 2 <= 2 * batch)
        ++n;
    for (const bool still : {false, true}) {
        SCOPED_TRACE(still ? "cancel at a poll keeping the bar still" : "cancel at a poll moving the bar");
        SetUp();
        CancelSnapshot cancelling;
        cancelling.ui = &ui, cancelling.graph = &In().matchGraph, cancelling.still = still;
        engine->Set_IProgressIndicator(&cancelling);
        std::mt19937 rng(3);
        std::vector<MadeUpPhoto> made{MadeUp(rng, 40)};
        for (int i = 1; i < n; ++i)
            made.push_back(MadeUp(rng, 40, made[0].store, 0.05, 0, 3.0 * i, 2.0 * i));
        AddMadeUp(made);
        cancelling.Clear();
        cancelling.armed = true;
        const int updatesBefore = ui.UserWndUpdates();  // the view's updates add up over the cases
        EXPECT_FALSE(In().BuildMatchGraph());
        EXPECT_GT(cancelling.updatesAtCancel, updatesBefore);
        EXPECT_GT(cancelling.callsAtCancel, 1);  // polls while the first batch ran
        EXPECT_EQ(std::tuple(cancelling.AbortCalls(), ui.UserWndUpdates(), In().matchGraph.links.size()),
                  std::tuple(cancelling.callsAtCancel, cancelling.updatesAtCancel, cancelling.linksAtCancel));
        ASSERT_FALSE(In().matchGraph.links.empty());
        for (const CGraphLink* l : In().matchGraph.links)
            EXPECT_TRUE(still || l->id1 == 0);
        engine->Set_IProgressIndicator(nullptr);
    }
}

// An exact fit chooses by spread alone: the first inlier (all residuals 0), the one
// farthest from it, then the one far from both. Inliers all at one place, or only two,
// fall back to the default markers instead of dividing by zero.
TEST(HvBestThreePoints, ExactFitChoosesBySpreadAndCoincidentInliersFallBack)
{
    const double xy[4][2] = {{50, 50}, {60, 50}, {150, 150}, {50, 150}};
    ScaleSpace::CKeypointArray<ScaleSpace::SIFT> spread, same;
    for (const auto& p : xy) {
        spread.emplace_back(p[0], p[1], 0.0, 0, 0, 1.6);
        same.emplace_back(10.0, 20.0, 0.0, 0, 0, 1.6);
    }
    CGraphLink link;
    link.inliers = 4;
    link.keys1 = link.keys2 = {0, 1, 2, 3};
    double id[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    Utils::copy_matrix_3x3(link.m, id);
    Point out[3];
    ASSERT_TRUE(GetBestThreePoints(&link, spread, spread, out));
    EXPECT_EQ(std::vector<Point>(out, out + 3), (std::vector<Point>{{50, 50}, {150, 150}, {50, 150}}));
    EXPECT_FALSE(GetBestThreePoints(&link, same, same, out));
    link.inliers = 2;
    EXPECT_FALSE(GetBestThreePoints(&link, same, same, out));
}

// ---------------------------------------------------------------------------------
// The engine object and its working copies

// Options the engine keeps round-trip, the others read back as zero; the preview quality
// sets the working size (seen in the working copies); a lens type outside the table
// keeps the current one.
TEST_F(HVObjectTest, OptionsItKeepsAndThoseItRefuses)
{
    CPanorama engine;
    PanoramaOptions o;
    o.bBundleAdjustAtEnd = true;
    o.nLensPolynomial = 3;
    o.surfaceType = PanoramaLib::SurfaceSpherical;
    engine.GetOptions(&o);
    EXPECT_EQ(std::tuple(o.bBundleAdjustAtEnd, o.nLensPolynomial, o.surfaceType),
              std::tuple(false, 0, PanoramaLib::SurfaceCylindrical));

    o.bAutoCrop = false;
    o.nMatchingMode = 0;
    o.motionModel = PanoramaLib::MotionAffine;
    o.bCyclorama = true;
    for (int bad : {2, 10, -1, 1000}) {
        o.nLensType = bad;
        engine.SetOptions(o);
    }
    PanoramaOptions back;
    engine.GetOptions(&back);
    EXPECT_EQ(std::tuple(back.bAutoCrop, back.nMatchingMode, back.motionModel, back.bCyclorama, back.nLensType),
              std::tuple(false, 0, PanoramaLib::MotionAffine, true, 2));
    o.nLensType = 9;
    engine.SetOptions(o);
    engine.GetOptions(&back);
    EXPECT_EQ(back.nLensType, 9);

    // Quality 1 halves until within 660 pixels; quality 0 fits 400 exactly.
    const struct {
        int w, h, quality, outW, outH;
        double scale;
    } cases[] = {{3000, 2000, 1, 375, 250, 8.0},
                 {3000, 2000, 0, 400, 267, 7.5},
                 {7, 1400, 1, 1, 350, 4.0},  // 1400 -> 700 -> 350; the scale from the longer side
                 {200, 100, 1, 200, 100, 1.0}};  // within the limit: its own working copy
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " quality " << c.quality);
        o.nPreviewQuality = c.quality;
        engine.SetOptions(o);
        CPanoElement* big = MakePhoto(c.w, c.h, [](int, int, int) { return 77; });
        big->m_scale = 3.0;
        auto* copy = static_cast<CPanoElement*>(engine.CreateImageThumbnail(big));
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(copy->GetImageSize(), VarnoBase::Size(c.outW, c.outH));
        EXPECT_DOUBLE_EQ(big->m_scale, c.scale);
        EXPECT_EQ(copy == big, c.scale == 1.0);
        for (int y = 0; y < c.outH; y += 17)
            for (int x = 0; x < c.outW * 3; x += 5)
                ASSERT_EQ(copy->GetBits()[std::size_t(y) * copy->GetBPL() + x], 77);
        copy->Release();
        EXPECT_EQ(big->RefCount(), 1);
        big->Release();
    }
    EXPECT_EQ(engine.CreateImageThumbnail(nullptr), nullptr);

    // Each working pixel averages a 2 x 2 block, its columns and rows in their place.
    CPanoElement* photo = MakePhoto(1280, 960, [](int x, int y, int c) { return c == 0 ? x / 5 : c == 1 ? y / 5 : 200; });
    auto* copy = static_cast<CPanoElement*>(engine.CreateImageThumbnail(photo));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->GetImageSize(), VarnoBase::Size(640, 480));
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x) {
            const unsigned char* p = copy->GetBits() + std::size_t(y) * copy->GetBPL() + std::size_t(x) * 3;
            ASSERT_EQ(p[0], (2 * x / 5 + (2 * x + 1) / 5 + 1) / 2);
            ASSERT_EQ(p[1], (2 * y / 5 + (2 * y + 1) / 5 + 1) / 2);
            ASSERT_EQ(p[2], 200);
        }
    copy->Release();
    photo->Release();
}

TEST_F(HVObjectTest, SingleInstancePointerFollowsTheLiveEngine)
{
    auto* a = CPanorama::CreateInstance();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(CPanoramaTestAccess::Current(), a);
    auto* b = new CPanorama;
    EXPECT_EQ(CPanoramaTestAccess::Current(), b);
    a->Release();
    EXPECT_EQ(CPanoramaTestAccess::Current(), b) << "destroying another engine leaves it";
    PanoramaLib::IHVPanorama* asInterface = b;
    asInterface->Release();
    EXPECT_EQ(CPanoramaTestAccess::Current(), nullptr) << "no dangling engine for the abort poll";
    EXPECT_FALSE(CPanoramaTestAccess::AbortPoll());
}

// Along the rows and down the columns the resampling equals its 32-bit form wherever
// that is exact (random sizes, and one large enough for parallel row bands); a source
// 40,000 pixels wide (40,000 << 16 passes 2^31, spans of more than 128 pixels) does not
// overflow.
TEST(Stretch, MatchesThe32BitFormAndWideSourcesDoNotOverflow)
{
    std::mt19937 rng(17);
    for (int trial = 0; trial <= 30; ++trial) {
        const int sw = trial ? 2 + int(rng() % 120) : 1200, h = trial ? 1 + int(rng() % 4) : 400;
        const int dw = trial ? 1 + int(rng() % sw) : 500;
        std::vector<unsigned char> src(Stride24(sw) * h);
        for (auto& b : src)
            b = (unsigned char)rng();
        std::vector<unsigned char> a(Stride24(dw) * h, 0), b(Stride24(dw) * h, 0);
        StretchWidth(a.data(), src.data(), sw, h, dw);
        StretchWidth32(b.data(), src.data(), sw, h, dw);
        ASSERT_EQ(a, b) << sw << "->" << dw;
    }
    const int W = 400, sh = 1200, dh = 500;
    std::vector<unsigned char> colSrc(Stride24(W) * sh), transposed(Stride24(sh) * W);
    for (int y = 0; y < sh; ++y)
        for (int x = 0; x < W; ++x)
            for (int c = 0; c < 3; ++c) {
                const unsigned char v = (unsigned char)rng();
                colSrc[Stride24(W) * y + std::size_t(x) * 3 + c] = v;
                transposed[Stride24(sh) * x + std::size_t(y) * 3 + c] = v;
            }
    std::vector<unsigned char> colOut(Stride24(W) * dh), rowOut(Stride24(dh) * W);
    StretchHeight(colOut.data(), colSrc.data(), W, sh, dh);
    StretchWidth32(rowOut.data(), transposed.data(), sh, W, dh);
    for (int y = 0; y < dh; ++y)
        for (int x = 0; x < W; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(colOut[Stride24(W) * y + std::size_t(x) * 3 + c], rowOut[Stride24(dh) * x + std::size_t(y) * 3 + c])
                    << x << "," << y;

    const int wide = 40000;
    std::vector<unsigned char> ramp(Stride24(wide));
    for (int x = 0; x < wide; ++x)
        for (int c = 0; c < 3; ++c)
            ramp[std::size_t(x) * 3 + c] = (unsigned char)(x * 256 / wide);
    std::vector<unsigned char> dst(Stride24(400));
    StretchWidth(dst.data(), ramp.data(), wide, 1, 400);
    for (int x = 0; x < 400; ++x) {
        double mean = 0;
        for (int k = x * 100; k < (x + 1) * 100; ++k)
            mean += (k * 256 / wide);
        EXPECT_NEAR(dst[std::size_t(x) * 3], mean / 100, 0.51);
    }
    std::vector<unsigned char> column(Stride24(1) * std::size_t(wide), 9), out(Stride24(1) * 300, 0);
    StretchHeight(out.data(), column.data(), 1, wide, 300);
    for (int y = 0; y < 300; ++y)
        ASSERT_EQ(out[Stride24(1) * y], 9);
}

// ---------------------------------------------------------------------------------
// Mosaic geometry

TEST_F(HvMosaic, ChainWithReversedLinkBecomesStarAroundWorldPhoto)
{
    // Photos 0, 1, 2 in a row, 300 px apart. Link 0->1 forward; the 1-2 link is stored
    // reversed (2 -> 1). Photo 1 has the most inliers and becomes the root.
    MosaicEngine f(3, Size(400, 300));
    CGraph& g = f.in.matchGraph;
    Link(g, 0, 1, -300, 0, 20);
    Link(g, 2, 1, 300, 0, 30);

    ASSERT_EQ(f.in.GetWorldImage(), 1);
    ASSERT_TRUE(f.in.BuildMosaicGraph(-1));
    const CGraph& mosaic = f.in.mosaicGraph;
    ASSERT_EQ(mosaic.nodes.size(), 3u);
    EXPECT_EQ(std::pair(mosaic.nodes[0]->id, mosaic.nodes[1]->id), std::pair(1, 2));  // most inliers attached first
    ASSERT_EQ(mosaic.links.size(), 2u);
    for (const CGraphLink* l : mosaic.links) {
        EXPECT_EQ(l->id1, 1);
        // Root point (500, 100) lies at x = 500 - 300 * (id - 1) ... in photo id.
        const auto [x, y] = Map(l->m, 500, 100);
        EXPECT_LT(std::hypot(x - (l->id2 == 2 ? 200 : 800), y - 100), 1e-9) << "photo " << l->id2 << ": " << x << "," << y;
        EXPECT_EQ(l->keys1.size(), l->keys2.size());
    }
    // The source graph is untouched.
    EXPECT_EQ(std::pair(g.links.size(), g.links[1]->id1), std::pair(std::size_t(2), 2));

    const Rect canvas = f.in.CalcCanvasSize();
    EXPECT_EQ(canvas, Rect(-300, 0, 700, 300));
    // Canvas transforms map canvas pixel (0, 0) to each photo's own frame.
    EXPECT_NEAR(Map(f.in.transforms[0], 0, 0).first, 0, 1e-9);
    EXPECT_NEAR(Map(f.in.transforms[2], 999, 0).first, 399, 1e-9);

    EXPECT_TRUE(f.in.Unmatched().empty());
}

TEST_F(HvMosaic, LongerChainComposesTransformsDownToRoot)
{
    // 0 - 1 - 2 - 3, root 0: photo 3 is reached through two compositions.
    MosaicEngine f(4, Size(200, 100));
    CGraph& g = f.in.matchGraph;
    Link(g, 0, 1, -150, 5, 40);
    Link(g, 2, 1, 150, -5, 30);  // reversed
    Link(g, 2, 3, -150, 5, 20);
    ASSERT_TRUE(f.in.BuildMosaicGraph(0));
    const CGraphLink* toThree = nullptr;
    for (const CGraphLink* l : f.in.mosaicGraph.links)
        if (l->id2 == 3)
            toThree = l;
    ASSERT_NE(toThree, nullptr);
    const auto [x, y] = Map(toThree->m, 460, 20);
    EXPECT_LT(std::hypot(x - 10, y - 35), 1e-9) << x << "," << y;
}

// Fractional corners widen the canvas outward; an implausible placement gives an empty
// canvas instead of an overflow.
TEST_F(HvMosaic, CanvasOfTwoPhotos)
{
    const struct {
        double dx, dy;
        Rect expected;
    } cases[] = {{-60.25, 10.5, Rect(0, -11, 161, 100)}, {-1e12, 0, Rect()}};
    for (const auto& c : cases) {
        MosaicEngine f(2, Size(100, 100));
        CGraph& g = f.in.matchGraph;
        Link(g, 0, 1, c.dx, c.dy, 12);
        ASSERT_TRUE(f.in.BuildMosaicGraph(0));
        const Rect canvas = f.in.CalcCanvasSize();
        EXPECT_EQ(canvas.isEmpty() ? Rect() : canvas, c.expected) << c.dx;  // any empty one for the overflow
    }
}

TEST_F(HvMosaic, UnmatchedPhotosCentralPhotoAndNoRootWithoutInliers)
{
    MosaicEngine f(3, Size(100, 100));
    CGraph& g = f.in.matchGraph;
    Link(g, 0, 1, -80, 0, 10);
    ASSERT_TRUE(f.in.BuildMosaicGraph(-1));
    EXPECT_EQ(f.in.Unmatched(), std::vector<int>{2});
    // Canvas 0..180: centre 90 lies nearer photo 1's centre (130) than photo 0's (50)? No:
    // |90-50| = 40 = |90-130|: the first (root) wins ties.
    const Rect canvas = f.in.CalcCanvasSize();
    EXPECT_EQ(std::pair(f.in.GetCentralImage(canvas), f.in.GetCentralImage(Rect())), std::pair(0, -1));

    // Without inliers no root in an automatic build, photo 0 in a manual one.
    MosaicEngine m(2, Size(100, 100));
    Link(m.in.matchGraph, 0, 1, -50, 0, 0);
    EXPECT_EQ(m.in.GetWorldImage(), -1);
    EXPECT_FALSE(m.in.BuildMosaicGraph(-1));
    m.in.manualBuild = true;
    EXPECT_EQ(m.in.GetWorldImage(), 0);
}

TEST_F(HvMosaic, FullSizeConversionScalesLinearPartAndTranslation)
{
    MosaicEngine f(2, Size(100, 100));
    f.in.scales = {2.0, 4.0};
    CGraph& g = f.in.matchGraph;
    CGraphLink* l = Link(g, 0, 1, -50, 3, 10);
    EXPECT_TRUE(f.in.CalcOriginalAffineTransform());
    // Working point p0 = P0/2 maps to p1 = p0 + t; full P1 = 4 p1 = 2 P0 + 4 t.
    EXPECT_EQ(std::tuple(l->m[0][0], l->m[0][2], l->m[1][2]), std::tuple(2.0, -200.0, 12.0));
}

// A ring's duplicate (photo 2) placed on its end photo (photo 1) gives no direction: the
// rotation stays the identity instead of turning NaN. Placed left of it on one line: no
// rotation either, and the canvas is cut from the duplicate's centre to the end photo's.
TEST_F(HvMosaic, RingRotationAndOneTurnCut)
{
    for (const double dupX : {80.0, -20.0}) {
        SCOPED_TRACE(dupX);
        MosaicEngine f(3, Size(100, 100), true);
        CGraph& g = f.in.matchGraph;
        Link(g, 0, 1, dupX == 80.0 ? -80 : -300, 0, 10);  // end photo
        Link(g, 0, 2, -dupX, 0, 9);                        // duplicate
        ASSERT_TRUE(f.in.BuildMosaicGraph(0));
        f.in.ringEnd = 1;
        f.in.duplicate = 2;
        double r[3][3];
        EXPECT_TRUE(f.in.CalcPanoRotationTransform(2, 1, r));
        EXPECT_EQ(std::vector<double>(&r[0][0], &r[0][0] + 9), (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
        if (dupX == 80.0)
            continue;
        EXPECT_TRUE(f.in.TestCyclorama());
        const Rect canvas = f.in.CalcCanvasSize();
        EXPECT_EQ(std::tuple(f.in.ringCropFailed, canvas.left, canvas.right), std::tuple(false, 30, 350));
    }
}
