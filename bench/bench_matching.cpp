// Pair matching: kd-tree build and ratio-test search, Hough voting, robust fits, median.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "core/hough.h"
#include "core/kd_tree.h"
#include "core/keypoints.h"
#include "core/pair_matching.h"
#include "core/robust_fit.h"
#include "core/sift.h"
#include "tests/support/scene.h"

using ScaleSpace::CKeyDescriptor;
using ScaleSpace::CKeypointArray;
using ScaleSpace::SIFT;

namespace {

// SIFT-like descriptors: sparse non-negative values, unit length, clamped at 0.2.
std::unique_ptr<CKeyDescriptor> descriptor(std::mt19937& rng)
{
    std::exponential_distribution<double> e(4.0);
    auto d = std::make_unique<CKeyDescriptor>();
    for (int pass = 0; pass < 2; ++pass) {
        double n = 0;
        for (double& v : d->v) {
            if (pass == 0)
                v = e(rng);
            n += v * v;
        }
        for (double& v : d->v)
            v = std::min(v / std::sqrt(n), 0.2);
    }
    return d;
}

// A photo pair: `n` keypoints of the query, the database holding their images under a
// similarity (descriptors perturbed) and as many unrelated keypoints again.
struct PairData {
    CKeypointArray<SIFT> keys;
    CKeypointArray<CKeyDescriptor> desc;
    CImageDataBase db;

    explicit PairData(int n)
    {
        std::mt19937 rng(1);
        std::uniform_real_distribution<double> px(0, 660), py(0, 495), ang(-M_PI, M_PI), sig(1.0, 8.0);
        std::normal_distribution<double> noise(0, 0.01);
        const double rot = 0.05, s = 1.02, tx = -380, ty = 12;
        for (int i = 0; i < n; ++i) {
            SIFT k{px(rng), py(rng), ang(rng), 0, 1, sig(rng)};
            auto d = descriptor(rng);
            auto d2 = std::make_unique<CKeyDescriptor>(*d);
            for (double& v : d2->v)
                v = std::max(0.0, v + noise(rng));
            db.m_keys.emplace_back(SIFT{s * (std::cos(rot) * k.x - std::sin(rot) * k.y) + tx,
                                        s * (std::sin(rot) * k.x + std::cos(rot) * k.y) + ty,
                                        std::remainder(k.orientation + rot, 2 * M_PI), 0, 1, k.sigma * s});
            db.m_descriptors.push_back(std::move(d2));
            keys.emplace_back(k);
            desc.push_back(std::move(d));
        }
        for (int i = 0; i < n; ++i) {
            db.m_keys.emplace_back(SIFT{px(rng), py(rng), ang(rng), 0, 1, sig(rng)});
            db.m_descriptors.push_back(descriptor(rng));
        }
        db.SetSingleObject(VarnoBase::Size(660, 495));
    }
};

struct TreeOver {
    explicit TreeOver(const CImageDataBase& db)
    {
        n = static_cast<int>(db.m_descriptors.size());
        pts = kdAllocPts(n, 128);
        for (int i = 0; i < n; ++i)
            std::copy(db.m_descriptors[i]->v, db.m_descriptors[i]->v + 128, pts[i]);
        tree = std::make_unique<kd_tree>(pts, n, 128, 4, KD_SUGGEST);
        tree->maxPointsVisit = 200;
    }
    ~TreeOver()
    {
        tree.reset();
        kdDeallocPts(pts);
    }
    int n;
    double** pts;
    std::unique_ptr<kd_tree> tree;
};

void BM_KdTreeBuild(benchmark::State& state)
{
    PairData data(static_cast<int>(state.range(0)) / 2);
    for (auto _ : state) {
        TreeOver t(data.db);
        benchmark::DoNotOptimize(t.tree->root);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_KdTreeBuild)->Arg(1000)->Arg(3000)->Unit(benchmark::kMillisecond);

// One pair's matching: tree over the database, then every query descriptor searched.
void BM_PairNearestNeighbours(benchmark::State& state)
{
    PairData data(static_cast<int>(state.range(0)));
    std::vector<int> match, quality;
    for (auto _ : state) {
        TreeOver t(data.db);
        PanoramaRecognition::NearestNeighboursAlgorithm::FindNearestNeighbours(t.tree.get(), data.db.m_descriptors,
                                                                               data.desc, match, quality, 0.8);
        benchmark::DoNotOptimize(match.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PairNearestNeighbours)->Arg(1000)->Arg(3000)->Unit(benchmark::kMillisecond);

void BM_HoughSimularity(benchmark::State& state)
{
    PairData data(static_cast<int>(state.range(0)));
    TreeOver t(data.db);
    for (auto _ : state) {
        std::vector<int> image;
        ScaleSpace::CIntArrPtrArray q, d, ql;
        std::vector<double> scores;
        PanoramaRecognition::HoughSimularity(t.tree.get(), data.db, data.keys, data.desc, 1.5, false, image, q, d, ql,
                                             scores, nullptr, 0.8);
        benchmark::DoNotOptimize(scores.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_HoughSimularity)->Arg(1000)->Arg(3000)->Unit(benchmark::kMillisecond);

struct FitData {
    std::vector<ScaleSpace::PointD> a, b;
    std::vector<double> w;
    explicit FitData(int n)
    {
        std::mt19937 rng(3);
        std::uniform_real_distribution<double> p(0, 660), off(20, 80);
        std::normal_distribution<double> g(0, 0.4);
        for (int i = 0; i < n; ++i) {
            const double x = p(rng), y = p(rng) * 0.75;
            double u = 1.01 * x + 0.05 * y - 300 + g(rng), v = -0.04 * x + 0.99 * y + 8 + g(rng);
            if (i % 4 == 0)
                u += off(rng), v -= off(rng);
            a.push_back({x, y});
            b.push_back({u, v});
            w.push_back(1.0 / (1 + i % 5));
        }
    }
};

template <bool (*Fit)(const std::vector<ScaleSpace::PointD>&, const std::vector<ScaleSpace::PointD>&,
                      const std::vector<double>&, double, double (*)[3], std::vector<int>*, std::vector<int>*, double*)>
void BM_Fit(benchmark::State& state)
{
    FitData data(static_cast<int>(state.range(0)));
    double m[3][3];
    std::vector<int> in, out;
    double err;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Fit(data.a, data.b, data.w, 0.75, m, &in, &out, &err));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK_TEMPLATE(BM_Fit, PanoramaRecognition::FitRobustTranslateTransform)->Arg(100)->Arg(400)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Fit, PanoramaRecognition::FitRobustSimpleTransform)->Arg(100)->Arg(400)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Fit, PanoramaRecognition::FitRobustAffineTransform)->Arg(100)->Arg(400)->Unit(benchmark::kMicrosecond);

// Real SIFT features of a generated pair of working-size (660 x 495) photos.
struct RealPair {
    CImageDataBase store[2];
    RealPair()
    {
        const vltest::Scene scene(vltest::SceneOptions{31, 2048, 1024, 512});
        vltest::StripOptions so;
        so.count = 2;
        so.width = 660;
        so.height = 495;
        so.motion = vltest::Motion::Affine;
        so.photometric.noiseSigma = 1.0;
        const auto shots = vltest::makeStrip(scene, so);
        for (int i = 0; i < 2; ++i) {
            const QImage& im = shots[i].image;
            PanoramaRecognition::SIFTKeys(im.constBits(), im.width(), im.height(), im.bytesPerLine(), 24, 4, 2, 0.02,
                                          10.0, store[i].m_keys, store[i].m_descriptors, nullptr);
            store[i].SetSingleObject(VarnoBase::Size(im.width(), im.height()));
        }
    }
    static RealPair& get()
    {
        static RealPair p;
        return p;
    }
};

// kd-tree, voting and fit of one real pair, as the engine matches it.
void BM_MatchRealPair(benchmark::State& state)
{
    RealPair& p = RealPair::get();
    PanoramaRecognition::PairMatch m;
    for (auto _ : state) {
        PanoramaRecognition::MatchFeatureStores(p.store[0], p.store[1], static_cast<int>(state.range(0)), 0.8, m);
        benchmark::DoNotOptimize(m.inliers);
    }
    state.counters["keys"] = static_cast<double>(p.store[0].m_keys.size() + p.store[1].m_keys.size());
    state.counters["inliers"] = m.inliers;
    state.counters["tree_ms"] = m.treeSeconds * 1e3;
    state.counters["vote_ms"] = m.votingSeconds * 1e3;
    state.counters["fit_ms"] = m.fitSeconds * 1e3;
}
BENCHMARK(BM_MatchRealPair)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_Median(benchmark::State& state)
{
    std::mt19937 rng(4);
    std::uniform_real_distribution<double> u(0, 100);
    std::vector<double> src(state.range(0)), work(src.size());
    for (double& v : src)
        v = u(rng);
    for (auto _ : state) {
        std::copy(src.begin(), src.end(), work.begin());
        benchmark::DoNotOptimize(median(work.data(), static_cast<int>(work.size())));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Median)->Arg(400)->Arg(3000);

}  // namespace
