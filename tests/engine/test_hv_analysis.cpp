// Photo analysis and matching of the Horizontal/Vertical engine on generated photos:
// real files, real SIFT, the engine's own matching and mosaic code, checked against the
// transforms the photos were rendered with.
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "core/linalg.h"
#include "core/panorama_exceptions.h"
#include "engine/hv/analysis.h"
#include "tests/engine/hv_test_access.h"
#include "tests/support/dib_manager_fixture.h"
#include "tests/support/recording_host.h"
#include "tests/support/scene.h"

using match_graph::CGraphLink;
using VarnoBase::Point;

namespace {

const vltest::Scene& SharedScene()
{
    static const vltest::Scene scene(vltest::SceneOptions{.seed = 21, .planeWidth = 2048, .planeHeight = 2048});
    return scene;
}

struct Row {
    std::vector<vltest::PlaneShot> shots;
    vltest::PhotoSet files;
};

Row MakeRow(int count, vltest::Motion motion, double overlap = 0.45, int width = 360, int height = 270)
{
    vltest::StripOptions o;
    o.count = count, o.width = width, o.height = height, o.overlap = overlap, o.motion = motion;
    Row row;
    row.shots = vltest::makeStrip(SharedScene(), o);
    row.files = vltest::makePhotoSet(vltest::imagesOf(row.shots), vltest::FileFormat::Png);
    return row;
}

// Loads photos from files, owning one reference each.
struct Photos {
    Photos() = default;
    explicit Photos(const QStringList& paths)
    {
        for (const QString& p : paths) {
            auto* e = new CPanoElement(false);
            EXPECT_TRUE(e->FromFile(p.toStdWString()));
            items.push_back(e);
        }
    }
    ~Photos() { FreePictureCollection(items); }
    std::vector<CPanoElement*> items;
};

// A photo without a file and a feature store made up for it: `count` keypoints at random
// places whose descriptors are `base` moved `distance` along random directions (random
// unit vectors when base is null), each followed by a decoy moved `decoy` (0: none).
// Keypoint i of the base sits at (x + dx, y + dy) here. Stores made this way are taken
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
    double n = 0;
    for (double& x : v) {
        x = g(rng);
        n += x * x;
    }
    for (double& x : v)
        x /= std::sqrt(n);
    return v;
}

MadeUpPhoto MadeUp(std::mt19937& rng, int count, const CImageDataBase* base = nullptr, double distance = 0,
                   double decoy = 0, double dx = 0, double dy = 0)
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
        add(k.x + dx, k.y + dy, base->m_descriptors[i]->v, distance);
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
    // Adds made-up photos (the engine takes the stores; the elements stay with `keep`).
    void AddMadeUp(const std::vector<MadeUpPhoto>& made, Photos& keep)
    {
        for (const MadeUpPhoto& m : made) {
            In().AddImage(m.photo, m.work, m.store);
            keep.items.push_back(m.photo);
            keep.items.push_back(m.work);
        }
    }
    void AddAll(const Photos& photos)
    {
        for (CPanoElement* p : photos.items)
            In().AddImage(p, nullptr, nullptr);
    }

    vltest::ScopedDibManager dibs;
    vltest::RecordingProgress progress;
    vltest::RecordingUserInterface ui;
    std::unique_ptr<CPanorama> engine;
};


}  // namespace

// Every pair is tried once, in lexicographic order (with this overlap photo 0 also meets
// photo 2), each link keeping its inliers' keys; matching on several threads gives the
// sequential graph exactly.
TEST_F(HvAnalysis, ParallelMatchingGivesTheSequentialGraphOfPairsInOrder)
{
    const Row row = MakeRow(4, vltest::Motion::Similarity, 0.7);
    Photos photos(row.files.paths);
    Configure([](PanoramaLib::PanoramaOptions& o) { o.motionModel = PanoramaLib::MotionSimple; });
    AddAll(photos);
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
    const Row row = MakeRow(1, vltest::Motion::TranslateScale);
    Photos photos(row.files.paths);
    progress.CancelAtStep(3);  // two steps of AddImage, then the first poll inside SIFT
    EXPECT_THROW(In().AddImage(photos.items[0], nullptr, nullptr), panorama_abort);
    ASSERT_EQ(In().databases.size(), 1u);
    EXPECT_TRUE(In().databases[0]->m_descriptors.empty());

    std::vector<CImageDataBase*> stores{In().databases[0]};
    In().databases.clear();
    std::vector<CPanoElement*> work{photos.items[0]};
    EXPECT_EQ(ExtractImageDescriptor(photos.items[0]->GetPathName(), work, stores), nullptr);
    EXPECT_EQ(stores[0], nullptr);  // taken and deleted
}

TEST_F(HvAnalysis, ManualBuildAsksEveryPairAndStopsAtARejection)
{
    const Row row = MakeRow(4, vltest::Motion::TranslateScale);
    Photos photos(row.files.paths);
    AddAll(photos);
    In().manualBuild = true;
    In().askAllPairs = true;
    ui.QueueMatchingAnswer(vltest::MatchingAnswer::Accept());
    ui.QueueMatchingAnswer(vltest::MatchingAnswer::Reject());
    EXPECT_TRUE(In().BuildMatchGraphManually());
    const auto calls = ui.MatchingCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].firstPath, photos.items[0]->GetPathName());
    EXPECT_EQ(calls[1].firstPath, photos.items[1]->GetPathName());
    // The accepted pair holds the user's transform; the rejected pair's automatic link stays.
    const CGraphLink* first = In().matchGraph.FindLink(0, 1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->inliers, 0);
    EXPECT_TRUE(first->keys1.empty());
    EXPECT_EQ(In().matchGraph.FindLink(2, 3), nullptr);
}

TEST_F(HvAnalysis, ManualBuildWithoutUserInterfaceKeepsTheLinksFoundSoFar)
{
    // Photos 0, 1 overlap; photo 2 shows another part of the scene.
    const Row row = MakeRow(2, vltest::Motion::TranslateScale);
    std::vector<QImage> images = vltest::imagesOf(row.shots);
    images.push_back(vltest::planeCrop(SharedScene(), QRect(1500, 1500, 360, 270)));
    const vltest::PhotoSet files = vltest::makePhotoSet(images, vltest::FileFormat::Png);
    Photos photos(files.paths);
    engine->Initialize(nullptr, nullptr, nullptr);
    AddAll(photos);
    In().manualBuild = true;
    EXPECT_TRUE(In().BuildMatchGraphManually());
    EXPECT_NE(In().matchGraph.FindLink(0, 1), nullptr);
    EXPECT_EQ(In().matchGraph.FindLink(1, 2), nullptr);
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
        Photos keep;
        AddMadeUp(made, keep);
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

// A cancel answered at the end of the first query photo's pairs: no later pair's links
// or view updates, and no further poll, though more pairs of the batch and further
// batches are waiting.
TEST_F(HvAnalysis, CancelBetweenMatchingBatchesStopsThePairWork)
{
    struct CancelSnapshot : vltest::RecordingProgress {
        vltest::RecordingUserInterface* ui = nullptr;
        int updatesAtCancel = -1;
        bool AbortProgressIndicator(int max, int value) override
        {
            const bool cancel = RecordingProgress::AbortProgressIndicator(max, value);
            if (cancel && updatesAtCancel < 0)
                updatesAtCancel = ui->UserWndUpdates();
            return cancel;
        }
    } cancelling;
    cancelling.ui = &ui;
    engine->Set_IProgressIndicator(&cancelling);
    // More pairs than two batches (4 per hardware thread each) hold.
    const int batch = 4 * static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    int n = 2;
    while (n * (n - 1) / 2 <= 2 * batch)
        ++n;
    std::mt19937 rng(3);
    std::vector<MadeUpPhoto> made{MadeUp(rng, 40)};
    for (int i = 1; i < n; ++i)
        made.push_back(MadeUp(rng, 40, made[0].store, 0.05, 0, 3.0 * i, 2.0 * i));
    Photos keep;
    AddMadeUp(made, keep);
    cancelling.Clear();
    cancelling.CancelAtStep(1);
    EXPECT_FALSE(In().BuildMatchGraph());
    EXPECT_EQ(cancelling.AbortCalls(), 1);
    EXPECT_GT(cancelling.updatesAtCancel, 0);
    EXPECT_EQ(ui.UserWndUpdates(), cancelling.updatesAtCancel);
    ASSERT_FALSE(In().matchGraph.links.empty());
    for (const CGraphLink* l : In().matchGraph.links)
        EXPECT_EQ(l->id1, 0);
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
    EXPECT_EQ(out[0], Point(50, 50));
    EXPECT_EQ(out[1], Point(150, 150));
    EXPECT_EQ(out[2], Point(50, 150));
    EXPECT_FALSE(GetBestThreePoints(&link, same, same, out));
    link.inliers = 2;
    EXPECT_FALSE(GetBestThreePoints(&link, same, same, out));
}
