// Photo pairs rendered from a synthetic scene through known transforms, written to
// files, loaded, and matched end to end: SIFT, kd-tree, Hough voting, robust fit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "core/kd_tree.h"
#include "core/keypoints.h"
#include "core/pair_matching.h"
#include "core/pano_element.h"
#include "core/sift.h"
#include "tests/support/dib_manager_fixture.h"
#include "tests/support/scene.h"

namespace {

class PairMatching : public ::testing::Test {
protected:
    static const vltest::Scene& scene()
    {
        static const vltest::Scene s(vltest::SceneOptions{21, 2048, 1024, 512});
        return s;
    }

    // Loads a photo file and extracts its features as the engine does.
    static bool analyse(const QString& path, CImageDataBase& store)
    {
        auto* e = new CPanoElement();
        const bool ok = e->FromFile(path.toStdWString());
        if (ok) {
            PanoramaRecognition::SIFTKeys(e, 4, 2, 0.02, 10.0, store.m_keys, store.m_descriptors, nullptr);
            store.SetSingleObject(e->GetImageSize());
        }
        e->Release();
        return ok;
    }

    // Largest distance between the fitted and the true map over a grid of photo-0 pixels
    // that land inside photo 1.
    static double maxDeviation(const double (*fit)[3], const vltest::Mat3& truth, int w, int h)
    {
        double worst = 0;
        int inside = 0;
        for (int y = 0; y <= h; y += h / 10)
            for (int x = 0; x <= w; x += w / 10) {
                double tx, ty;
                truth.map(x, y, tx, ty);
                if (tx < 0 || ty < 0 || tx > w - 1 || ty > h - 1)
                    continue;
                ++inside;
                const double fx = fit[0][0] * x + fit[0][1] * y + fit[0][2];
                const double fy = fit[1][0] * x + fit[1][1] * y + fit[1][2];
                worst = std::max(worst, std::hypot(fx - tx, fy - ty));
            }
        EXPECT_GE(inside, 10);
        return worst;
    }

    vltest::ScopedDibManager m_dibs;
};

}  // namespace

struct PairCase {
    const char* name;
    vltest::Motion motion;
    int model;
    double ratio;
    vltest::FileFormat format;
    int seed;
};

class GeneratedPair : public PairMatching, public ::testing::WithParamInterface<PairCase> {};

TEST_P(GeneratedPair, MatchesEndToEndWithinAPixel)
{
    const PairCase& c = GetParam();
    const vltest::StripOptions so{.count = 2, .width = 480, .height = 360, .overlap = 0.5, .motion = c.motion,
                                  .seed = std::uint64_t(c.seed), .photometric = {.noiseSigma = 1.0}, .gainJitter = 0.05};
    const auto shots = vltest::makeStrip(scene(), so);
    const vltest::PhotoSet files = vltest::makePhotoSet(vltest::imagesOf(shots), c.format);

    CImageDataBase a, b;
    ASSERT_TRUE(analyse(files.paths[0], a));
    ASSERT_TRUE(analyse(files.paths[1], b));
    ASSERT_GT(a.m_keys.size(), 100u);

    PanoramaRecognition::PairMatch m;
    ASSERT_TRUE(PanoramaRecognition::MatchFeatureStores(a, b, c.model, c.ratio, m));
    ASSERT_TRUE(m.fitted);
    EXPECT_TRUE(m.accepted && m.inliers > 20 && m.error < 1.0) << m.inliers << " inliers, error " << m.error;
    EXPECT_EQ(m.queryInliers.size(), static_cast<std::size_t>(m.inliers));
    const vltest::Mat3 truth = vltest::relativeTransform(shots[0], shots[1]);
    EXPECT_LT(maxDeviation(m.transform, truth, so.width, so.height), 1.0);
}

INSTANTIATE_TEST_SUITE_P(Models, GeneratedPair,
                         ::testing::Values(PairCase{"similarity", vltest::Motion::Similarity, 1, 0.8,
                                                    vltest::FileFormat::Png, 3},
                                           PairCase{"affine", vltest::Motion::Affine, 0, 0.6, vltest::FileFormat::Jpeg,
                                                    4},
                                           PairCase{"translate", vltest::Motion::TranslateScale, 2, 0.8,
                                                    vltest::FileFormat::Png, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PairMatching, UnrelatedPhotosAreNotAccepted)
{
    // Two views of distant parts of the plane share no content.
    vltest::PlaneView v1{vltest::Mat3::translation(10, 10), 400, 300};
    vltest::PlaneView v2{vltest::Mat3::translation(1500, 600), 400, 300};
    const vltest::PhotoSet files = vltest::makePhotoSet(
        {vltest::renderPlaneView(scene(), v1), vltest::renderPlaneView(scene(), v2)}, vltest::FileFormat::Png);
    CImageDataBase a, b;
    ASSERT_TRUE(analyse(files.paths[0], a));
    ASSERT_TRUE(analyse(files.paths[1], b));
    for (int model : {0, 1, 2}) {
        PanoramaRecognition::PairMatch m;
        ASSERT_TRUE(PanoramaRecognition::MatchFeatureStores(a, b, model, 0.8, m));
        EXPECT_FALSE(m.accepted) << model;
    }
    // No features on one side: nothing to match, no failure.
    CImageDataBase empty;
    empty.SetSingleObject(VarnoBase::Size(400, 300));
    PanoramaRecognition::PairMatch m;
    EXPECT_TRUE(PanoramaRecognition::MatchFeatureStores(a, empty, 0, 0.8, m));
    EXPECT_FALSE(m.fitted);
}

// With a poll, the loop over all pairs asks it on the calling thread after every finished
// tree and pair, while the other pairs of the block are still worked on, and still commits
// in the order of a serial pass; a cancel seen by the poll ends the block and commits
// nothing more. The same on one thread, where each tree and pair is polled as it ends
// and nothing after the cancel is matched.
TEST(MatchPairsInOrder, PollsTheCallerWhileABlockRunsAndStopsOnItsCancel)
{
    const int n = 6;  // 15 pairs: one block on any machine with two or more cores
    CImageDataBase empty;  // no descriptors, so no tree: match() still runs for each pair
    const std::thread::id caller = std::this_thread::get_id();
    // cancelAt 8: the third pair of the first block
    for (const auto& [threads, cancelAt] : {std::pair(4, 0), {4, 8}, {1, 0}, {1, 8}}) {
        SCOPED_TRACE(::testing::Message() << threads << " threads, cancel at poll " << cancelAt);
        std::vector<std::pair<int, int>> committed;
        std::atomic<int> matched{0};
        std::atomic<bool> cancelSeen{false};
        int polls = 0, steps = 0, elsewhere = 0;
        bool cancelled = false;
        const bool done = PanoramaRecognition::MatchPairsInOrder(
            n, threads, [&](int) { return &empty; },
            [&](int a, int b, kd_tree*) {
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
                // Past the pair the cancel comes after, a worker holds its pair until the
                // caller has seen the cancel (a few seconds at most), so a busy machine
                // that keeps the caller off its core cannot let the block run to its end.
                if (cancelAt > 0 && matched.load() >= cancelAt - (n - 1))
                    for (int wait = 0; wait < 5000 && !cancelSeen.load(); ++wait)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                ++matched;
                return a * 10 + b;
            },
            [&](int a, int b, int outcome) { return committed.emplace_back(a, b), outcome == a * 10 + b; },
            [&] { ++steps; }, [&] { return cancelled; },
            [&] {
                elsewhere += std::this_thread::get_id() != caller;
                cancelled = cancelled || ++polls == cancelAt;
                cancelSeen = cancelled;
            });
        EXPECT_TRUE(done);
        EXPECT_EQ(elsewhere, 0);
        if (cancelAt == 0) {
            std::vector<std::pair<int, int>> serial;
            for (int a = 0; a + 1 < n; ++a)
                for (int b = a + 1; b < n; ++b)
                    serial.emplace_back(a, b);
            EXPECT_EQ(committed, serial);
            EXPECT_EQ(std::pair(steps, polls), std::pair(n - 1, (n - 1) + 15));  // each tree and each pair
        } else {
            EXPECT_EQ(std::tuple(committed.size(), steps, polls), std::tuple(std::size_t(0), 0, cancelAt));
            EXPECT_LT(matched.load(), 15);
            if (threads == 1) {
                EXPECT_EQ(matched.load(), cancelAt - (n - 1));  // the polls of the trees come first
            }
        }
    }
}
