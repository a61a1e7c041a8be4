// Generalised Hough transform for photo-pair similarities. A match of two keypoints
// fixes a similarity through two point pairs: the keypoints themselves and points ten
// sigmas out along their orientations. Each match votes, with bilinear-style weights,
// into the 4 nearest translation cells x the 2 nearest rotation bins x the 2 nearest
// scale bins of a 21 x 21 x 12 x 17 histogram; bins that gather votes of several matches
// are the candidates.
#include "core/hough.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "core/kd_tree.h"
#include "core/linalg.h"

namespace Utils {

CIntPtrArray4D::~CIntPtrArray4D()
{
    if (m_bins)
        Zeros();
}

bool CIntPtrArray4D::Alloc()
{
    if (!m_bins) {
        m_bins.reset(new (std::nothrow) std::vector<int>*[Count()]);
        if (!m_bins)
            return false;
    }
    std::fill_n(m_bins.get(), Count(), nullptr);
    return true;
}

void CIntPtrArray4D::Zeros()
{
    const std::size_t n = Count();
    for (std::size_t i = 0; i < n; ++i) {
        delete m_bins[i];
        m_bins[i] = nullptr;
    }
}

bool CIntPtrArray4D::Add(int value, int i0, int i1, int i2, int i3)
{
    if (!m_bins)
        return false;
    std::vector<int>*& bin = m_bins[Index(i0, i1, i2, i3)];
    if (!bin) {
        bin = new (std::nothrow) std::vector<int>;
        if (!bin)
            return false;
    }
    try {
        bin->push_back(value);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace Utils

namespace PanoramaRecognition {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kTransBins = 21;  // translation x and y: (index - 10) * step
constexpr int kRotBins = 12;    // rotation: k * pi/6 - pi
constexpr int kScaleBins = 17;  // scale: 2^(e - 8)

struct Match {
    int query;
    int stored;
    int object;
    int quality;
};

// Indices of the `count` smallest values, the first one winning ties.
template <int count, int n>
void smallest(const double (&dist)[n], int (&out)[count])
{
    bool taken[n] = {};
    for (int pass = 0; pass < count; ++pass) {
        int best = 0;
        double bestDist = 0;
        bool found = false;
        for (int i = 0; i < n; ++i) {
            if (!taken[i] && (!found || dist[i] < bestDist)) {
                best = i;
                bestDist = dist[i];
                found = true;
            }
        }
        taken[best] = true;
        out[pass] = best;
    }
}

struct Accumulator {
    Utils::CIntPtrArray4D query{kTransBins, kTransBins, kRotBins, kScaleBins};
    Utils::CIntPtrArray4D stored{kTransBins, kTransBins, kRotBins, kScaleBins};
    Utils::CIntPtrArray4D quality{kTransBins, kTransBins, kRotBins, kScaleBins};
    std::unique_ptr<double[]> score;

    bool Alloc()
    {
        score.reset(new (std::nothrow) double[query.Count()]);
        return score && query.Alloc() && stored.Alloc() && quality.Alloc();
    }
};

// Sets every bin at or below threshold, or with a strictly greater neighbour, to 0.
// Scores change in place, so later bins compare with already cleared neighbours.
void suppressNonMaxima(Accumulator& acc, double threshold)
{
    const auto& t = acc.query;
    double* score = acc.score.get();
    for (int ix = 0; ix < kTransBins; ++ix)
        for (int iy = 0; iy < kTransBins; ++iy)
            for (int k = 0; k < kRotBins; ++k)
                for (int e = 0; e < kScaleBins; ++e) {
                    double& s = score[t.Index(ix, iy, k, e)];
                    if (s <= threshold) {
                        s = 0;
                        continue;
                    }
                    bool greater = false;
                    for (int jx = std::max(ix - 1, 0); jx <= std::min(ix + 1, kTransBins - 1) && !greater; ++jx)
                        for (int jy = std::max(iy - 1, 0); jy <= std::min(iy + 1, kTransBins - 1) && !greater; ++jy)
                            for (int dk = -1; dk <= 1 && !greater; ++dk) {
                                const int jk = (k + dk + kRotBins) % kRotBins;
                                for (int je = std::max(e - 1, 0); je <= std::min(e + 1, kScaleBins - 1); ++je)
                                    if (score[t.Index(jx, jy, jk, je)] > s) {
                                        greater = true;
                                        break;
                                    }
                            }
                    if (greater)
                        s = 0;
                }
}

}  // namespace

bool HoughSimularity(void* tree, CImageDataBase& database, const ScaleSpace::CKeypointArray<ScaleSpace::SIFT>& keys,
                     ScaleSpace::CKeypointArray<ScaleSpace::CKeyDescriptor>& descriptors, double threshold,
                     bool suppress, std::vector<int>& imageIndices, ScaleSpace::CIntArrPtrArray& queryLists,
                     ScaleSpace::CIntArrPtrArray& databaseLists, ScaleSpace::CIntArrPtrArray& qualityLists,
                     std::vector<double>& scores, void (*hook)(std::vector<int>&), double ratio)
{
    std::vector<int> neighbours, qualities;
    NearestNeighboursAlgorithm::FindNearestNeighbours(tree, database.m_descriptors, descriptors, neighbours, qualities,
                                                      ratio);
    if (hook)
        hook(neighbours);

    // A hook may shorten or rewrite the list: only pairs of existing keypoints count.
    const int queryCount = static_cast<int>(std::min({neighbours.size(), qualities.size(), keys.size()}));
    const int storedCount = static_cast<int>(std::min(database.m_keys.size(), database.m_objectIndex.size()));
    std::vector<Match> matches;
    for (int i = 0; i < queryCount; ++i) {
        const int j = neighbours[i];
        if (j >= 0 && j < storedCount)
            matches.push_back({i, j, database.m_objectIndex[j], qualities[i]});
    }

    Accumulator acc;
    if (!acc.Alloc())
        return false;
    const std::size_t binCount = acc.query.Count();
    double* score = acc.score.get();

    std::vector<const Match*> photoMatches;
    for (int o = 0; o < database.GetObjectCount(); ++o) {
        photoMatches.clear();
        for (const Match& m : matches)
            if (m.object == o)
                photoMatches.push_back(&m);
        if (threshold >= static_cast<double>(photoMatches.size()))
            continue;

        const VarnoBase::Size size = database.GetModel(o);
        const double step = 0.25 * std::max(size.cx, size.cy);
        if (!(step > 0))
            continue;  // a photo without extent has no translation scale
        double transCentre[kTransBins];
        for (int i = 0; i < kTransBins; ++i)
            transCentre[i] = (i - 10) * step;

        std::fill_n(score, binCount, 0.0);
        acc.query.Zeros();
        acc.stored.Zeros();
        acc.quality.Zeros();

        for (const Match* m : photoMatches) {
            const ScaleSpace::SIFT& ka = *keys[m->query];
            const ScaleSpace::SIFT& kb = *database.m_keys[m->stored];

            // The similarity X' = aX - bY + tx, Y' = bX + aY + ty through both point pairs.
            const double px = ka.x + 10 * ka.sigma * std::cos(ka.orientation);
            const double py = ka.y + 10 * ka.sigma * std::sin(ka.orientation);
            const double qx = kb.x + 10 * kb.sigma * std::cos(kb.orientation);
            const double qy = kb.y + 10 * kb.sigma * std::sin(kb.orientation);
            const double A[16] = {ka.x, -ka.y, 1, 0, ka.y, ka.x, 0, 1, px, -py, 1, 0, py, px, 0, 1};
            const double B[4] = {kb.x, kb.y, qx, qy};
            double inverse[16];
            double sol[4];
            if (!C4x1_is_pinvA4x4_x_B4x1(sol, inverse, A, B))
                continue;  // coincident points (zero sigma) fix no similarity
            const double phi = std::atan2(sol[1], sol[0]);
            // |(a, b)|, the scale a / cos(phi) without its loss of precision near +-90 degrees.
            const double s = std::hypot(sol[0], sol[1]);
            const double tx = sol[2], ty = sol[3];
            // A non-finite or zero similarity (NaN orientation, zero scale) selects no bin.
            if (!std::isfinite(phi) || !std::isfinite(tx) || !std::isfinite(ty) || !std::isfinite(s) || !(s > 0))
                continue;

            double transDist[kTransBins * kTransBins];
            for (int iy = 0; iy < kTransBins; ++iy)
                for (int ix = 0; ix < kTransBins; ++ix) {
                    const double dy = transCentre[iy] - ty, dx = transCentre[ix] - tx;
                    transDist[iy * kTransBins + ix] = std::sqrt(dy * dy + dx * dx);
                }
            int cells[4];
            smallest(transDist, cells);

            double rotDist[kRotBins];
            for (int k = 0; k < kRotBins; ++k) {
                double d = phi - (k * 2 * kPi / 12 - kPi) + kPi;
                if (d > 0) {
                    while (d >= 2 * kPi)
                        d -= 2 * kPi;
                } else {
                    while (d < 0)
                        d += 2 * kPi;
                }
                rotDist[k] = std::fabs(d - kPi);
            }
            int rots[2];
            smallest(rotDist, rots);

            double scaleDist[kScaleBins];
            for (int e = 0; e < kScaleBins; ++e)
                scaleDist[e] = std::fabs(s - std::ldexp(1.0, e - 8));
            int scalesSel[2];
            smallest(scaleDist, scalesSel);

            for (int cell : cells) {
                const int ix = cell % kTransBins, iy = cell / kTransBins;
                const double wt = std::max(0.0, 1 - std::fabs(tx - transCentre[ix]) / step) *
                                  std::max(0.0, 1 - std::fabs(ty - transCentre[iy]) / step);
                for (int k : rots) {
                    const double w = std::max(0.0, 1 - rotDist[k] / (kPi / 4)) * wt;
                    if (w <= 0)
                        continue;
                    for (int e : scalesSel) {
                        score[acc.query.Index(ix, iy, k, e)] += w;
                        acc.query.Add(m->query, ix, iy, k, e);
                        acc.stored.Add(m->stored, ix, iy, k, e);
                        acc.quality.Add(m->quality, ix, iy, k, e);
                    }
                }
            }
        }

        if (suppress)
            suppressNonMaxima(acc, threshold);

        for (std::size_t b = 0; b < binCount; ++b) {
            if (!(score[b] > threshold))
                continue;
            // Reserve first so that a failed append leaves the outputs parallel.
            imageIndices.reserve(imageIndices.size() + 1);
            scores.reserve(scores.size() + 1);
            queryLists.reserve(queryLists.size() + 1);
            databaseLists.reserve(databaseLists.size() + 1);
            qualityLists.reserve(qualityLists.size() + 1);
            imageIndices.push_back(o);
            scores.push_back(score[b]);
            queryLists.push_back(acc.query.Take(b));
            databaseLists.push_back(acc.stored.Take(b));
            qualityLists.push_back(acc.quality.Take(b));
        }
    }
    return true;
}

}  // namespace PanoramaRecognition
