// Camera parameters, the lens model, the parameter layout, the first guess of an added
// photo and the incremental bundle adjustment of the tiled engine. The residuals and
// the optimiser are in bundle_solver.cpp. Runs on the thread of the build.
#include "engine/tiled/camera_params.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "core/keypoints.h"
#include "core/linalg.h"
#include "core/match_graph.h"
#include "core/panorama_exceptions.h"

int g_ldPoynomType = 1;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kRadToDeg = 180.0 / kPi;
// A link whose matches the placed cameras carry farther off than this (median, as a
// fraction of the photo's longer side) contradicts them: it either closes a loop on which
// small errors have added up (a long ring) or matched one thing with another. It joins
// only when the adjustment with it brings every link within kAgreeingLink.
constexpr double kContradictedLink = 0.2;
constexpr double kAgreeingLink = 0.02;
bool IsFinite(const D3Param& p) noexcept
{
    return std::isfinite(p.f) && std::isfinite(p.Rx) && std::isfinite(p.Ry) && std::isfinite(p.Rz) &&
           std::isfinite(p.k1) && std::isfinite(p.k2) && std::isfinite(p.k3);
}

// Angles (degrees) of Utils::Calc3RotateMatrix, which builds R = Rz * Rx * Ry:
// R[2][1] = -sin x, R[2][0] / R[2][2] = tan y, R[0][1] / R[1][1] = tan z.
void AnglesOfRotation(const double R[3][3], double& ax, double& ay, double& az) noexcept
{
    const double sx = std::clamp(-R[2][1], -1.0, 1.0);
    ax = std::asin(sx) * kRadToDeg;
    if (std::fabs(sx) < 1.0 - 1e-12) {
        ay = std::atan2(R[2][0], R[2][2]) * kRadToDeg;
        az = std::atan2(R[0][1], R[1][1]) * kRadToDeg;
    } else {
        // Looking straight up or down: only y - z (or y + z) is defined; put it all in y.
        az = 0.0;
        ay = std::atan2(-R[0][2], R[0][0]) * kRadToDeg;
    }
}

}  // namespace

void Reset3dParams(D3Param& p) noexcept
{
    p.f = 1000.0;
    p.Rx = p.Ry = p.Rz = 0.0;
    p.lens = 0;
    p.k1 = p.k2 = p.k3 = 0.0;
}

double LensDistortion(double r, const D3Param& p) noexcept { return LensDistortion(r, p, g_ldPoynomType); }

double LensDistortion(double r, const D3Param& p, int polynomial) noexcept
{
    const double r2 = r * r;
    if (polynomial == 1)
        return 1.0 + p.k1 * r2 + p.k2 * r2 * r2;
    return 1.0 + p.k2 * r2 + p.k3 * r2 * r;
}

double WrapAngle180(double deg) noexcept
{
    if (!std::isfinite(deg))
        return 0.0;
    // fmod keeps the result exact and bounded for any magnitude; the two corrections
    // give the same range as repeated subtraction of 360 would.
    double a = std::fmod(deg, 360.0);
    if (a > 180.0)
        a -= 360.0;
    else if (a < -180.0)
        a += 360.0;
    return a;
}

int Count3dParams(const D3Param& world, const std::vector<D3Param>& cams, const std::vector<int>& order)
{
    int n = world.lens ? 3 : 0;
    for (int i : order)
        n += iNum3DParams + (cams[static_cast<std::size_t>(i)].lens ? 3 : 0);
    return n;
}

void Get3dParams(double* x, const D3Param& world, const std::vector<D3Param>& cams, const std::vector<int>& order)
{
    if (world.lens) {
        *x++ = world.k1 * LensDistScaleFactor1;
        *x++ = world.k2 * LensDistScaleFactor2;
        *x++ = world.k3 * LensDistScaleFactor3;
    }
    for (int i : order) {
        const D3Param& c = cams[static_cast<std::size_t>(i)];
        *x++ = c.f;
        *x++ = c.Rx;
        *x++ = c.Ry;
        *x++ = c.Rz;
        if (c.lens) {
            *x++ = c.k1 * LensDistScaleFactor1;
            *x++ = c.k2 * LensDistScaleFactor2;
            *x++ = c.k3 * LensDistScaleFactor3;
        }
    }
}

bool Set3dParams(D3Param& world, std::vector<D3Param>& cams, const double* x, const std::vector<int>& order)
{
    bool finite = true;
    auto angle = [&](double v) {
        finite = finite && std::isfinite(v);
        return WrapAngle180(v);
    };
    auto value = [&](double v) {
        finite = finite && std::isfinite(v);
        return v;
    };
    if (world.lens) {
        world.k1 = value(*x++) / LensDistScaleFactor1;
        world.k2 = value(*x++) / LensDistScaleFactor2;
        world.k3 = value(*x++) / LensDistScaleFactor3;
    }
    for (int i : order) {
        D3Param& c = cams[static_cast<std::size_t>(i)];
        c.f = value(*x++);
        c.Rx = angle(*x++);
        c.Ry = angle(*x++);
        c.Rz = angle(*x++);
        if (c.lens) {
            c.k1 = value(*x++) / LensDistScaleFactor1;
            c.k2 = value(*x++) / LensDistScaleFactor2;
            c.k3 = value(*x++) / LensDistScaleFactor3;
        }
    }
    return finite;
}

// ---------------------------------------------------------------------------------------
// Bundle adjustment

namespace Tiled_Panorama {

std::vector<KeyPosition> KeyPositionsOf(const CImageDataBase* record)
{
    std::vector<KeyPosition> out;
    if (!record)
        return out;
    out.reserve(record->m_keys.size());
    for (std::size_t i = 0; i < record->m_keys.size(); ++i) {
        const ScaleSpace::SIFT* k = record->m_keys[i];
        out.push_back(k ? KeyPosition{k->x, k->y} : KeyPosition{});
    }
    return out;
}

bool CBundleAdjustment::InitalizeParamsByAffineM2(int placed, int added, const match_graph::CGraphLink* link)
{
    if (!link)
        return false;
    const std::size_t a = static_cast<std::size_t>(placed), b = static_cast<std::size_t>(added);
    if (placed < 0 || added < 0 || a >= m_params.size() || b >= m_params.size() || a >= m_imageSizes.size() ||
        b >= m_imageSizes.size())
        return false;
    double M[3][3];  // B's pixels to A's
    if (placed == link->id2)
        Utils::copy_matrix_3x3(M, link->m);
    else if (!Utils::pinv3x3(M, link->m))
        return false;
    if (!Utils::IsFiniteMatrix3x3(M))
        return false;
    const double WA = m_imageSizes[a].cx, HA = m_imageSizes[a].cy;
    const double cbx = m_imageSizes[b].cx / 2.0, cby = m_imageSizes[b].cy / 2.0;
    const double mx = M[0][0] * cbx + M[0][1] * cby + M[0][2];
    const double my = M[1][0] * cbx + M[1][1] * cby + M[1][2];
    const double rot = std::atan(-M[1][0] / M[0][0]);
    const double c = std::cos(rot);
    const double sx = std::fabs(M[0][0] / c), sy = std::fabs(M[1][1] / c);
    const double s = std::fabs(sx - 1.0) <= std::fabs(sy - 1.0) ? sx : sy;
    const D3Param& A = m_params[a];
    // A zero or non-finite scale would give an infinite focal length: no guess.
    if (!std::isfinite(s) || s <= 0.0 || !std::isfinite(A.f) || A.f <= 0.0)
        return false;
    D3Param B = m_params[b];
    B.f = A.f / s;
    // The turn from A to B as seen in A's own frame; B's rotation is that turn applied
    // after A's. Adding the angles instead is right only while A looks straight ahead:
    // round a ring it places photos far off and the adjustment then folds the mosaic up.
    const double dz = M[0][0] >= 0.0 ? -rot * kRadToDeg : rot * kRadToDeg;
    const double dy = std::atan((mx - WA / 2.0) / A.f) * kRadToDeg;
    const double dx = -std::atan((my - HA / 2.0) / A.f) * kRadToDeg;
    double Rd[3][3], Ra[3][3], Rb[3][3];
    Utils::Calc3RotateMatrix(Rd, dx, dy, dz);
    Utils::Calc3RotateMatrix(Ra, A.Rx, A.Ry, A.Rz);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            Rb[i][j] = Rd[i][0] * Ra[0][j] + Rd[i][1] * Ra[1][j] + Rd[i][2] * Ra[2][j];
    AnglesOfRotation(Rb, B.Rx, B.Ry, B.Rz);
    if (!IsFinite(B) || B.f <= 0.0)
        return false;
    m_params[b] = B;
    return true;
}

bool CBundleAdjustment::LinksAgree() const
{
    for (const auto& list : m_imageLinks)
        for (const match_graph::CGraphLink* l : list) {
            const auto& size = m_imageSizes[static_cast<std::size_t>(l->id2)];
            if (!(LinkTransferError(*l) <= kAgreeingLink * std::max(size.cx, size.cy)))
                return false;
        }
    return true;
}

void CBundleAdjustment::TryContradictedLinks(std::vector<std::pair<int, const match_graph::CGraphLink*>>& links)
{
    for (const auto& [owner, link] : links) {
        const D3Param world = m_worldParams;
        const std::vector<D3Param> cams = m_params;
        auto& list = m_imageLinks[static_cast<std::size_t>(owner)];
        list.push_back(link);
        RunImageParamsOptimizer(m_order, m_imageLinks);
        if (!LinksAgree()) {
            list.pop_back();
            m_worldParams = world;
            m_params = cams;
        }
    }
    links.clear();
}

CBundleAdjustment::Misfit CBundleAdjustment::WorstLink() const
{
    Misfit worst;
    for (const auto& list : m_imageLinks)
        for (const match_graph::CGraphLink* l : list) {
            std::vector<double> errors = LinkTransferErrors(*l);
            if (errors.empty())
                continue;
            auto p90 = errors.begin() + static_cast<std::ptrdiff_t>(errors.size() * 9 / 10);
            std::nth_element(errors.begin(), p90, errors.end());
            const auto& size = m_imageSizes[static_cast<std::size_t>(l->id2)];
            const double relative = *p90 / std::max(size.cx, size.cy);
            if (!(relative <= worst.relative))
                worst = {l->id1, l->id2, *p90, relative};
        }
    return worst;
}

bool CBundleAdjustment::DoBundleAdjustment2()
{
    m_order.clear();
    m_worstLink = {};
    m_cost = {};
    try {
        const std::size_t photos = m_imageSizes.size();
        m_imageLinks.assign(photos, {});
        // The remaining links; `refused` marks a link whose transform gave no first
        // guess: it cannot place a photo, but still joins two photos placed otherwise.
        struct Remaining {
            const match_graph::CGraphLink* link;
            bool refused;
        };
        std::vector<Remaining> remaining;
        if (m_graph) {
            for (const match_graph::CGraphLink* link : m_graph->links) {
                if (link && link->id1 >= 0 && link->id2 >= 0 && link->id1 != link->id2 &&
                    static_cast<std::size_t>(link->id1) < photos && static_cast<std::size_t>(link->id2) < photos)
                    remaining.push_back({link, false});
            }
        }
        if (remaining.empty() || m_worldImage < 0 || static_cast<std::size_t>(m_worldImage) >= photos) {
            m_imageLinks.clear();
            return false;
        }

        m_order.push_back(m_worldImage);
        if (m_lensMode == 1) {
            Reset3dParams(m_worldParams);
            m_worldParams.lens = 1;
        } else {
            m_worldParams.lens = 0;  // the parameter layout must match the residuals
        }
        m_params.resize(photos);
        Reset3dParams(m_params[static_cast<std::size_t>(m_worldImage)]);
        std::vector<std::pair<int, const match_graph::CGraphLink*>> contradicted;  // list owner, link
        std::vector<char> placed(photos, 0);
        placed[static_cast<std::size_t>(m_worldImage)] = 1;

        while (m_order.size() < photos) {
            // The strongest remaining link from a placed photo; the first one found wins ties.
            std::size_t best = remaining.size();
            int bestPlaced = -1;
            for (int p : m_order) {
                for (std::size_t k = 0; k < remaining.size(); ++k) {
                    const auto* link = remaining[k].link;
                    if (remaining[k].refused || (link->id1 != p && link->id2 != p))
                        continue;
                    if (best == remaining.size() || link->inliers > remaining[best].link->inliers) {
                        best = k;
                        bestPlaced = p;
                    }
                }
            }
            if (best == remaining.size())
                break;  // photos without a link to the placed ones stay out
            const match_graph::CGraphLink* link = remaining[best].link;
            const int added = link->id1 == bestPlaced ? link->id2 : link->id1;
            const std::size_t ad = static_cast<std::size_t>(added);
            const D3Param before = m_params[ad];
            Reset3dParams(m_params[ad]);
            if (!InitalizeParamsByAffineM2(bestPlaced, added, link)) {
                m_params[ad] = before;
                remaining[best].refused = true;
                continue;
            }
            remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(best));
            m_order.push_back(added);
            placed[ad] = 1;
            m_imageLinks[static_cast<std::size_t>(bestPlaced)].push_back(link);
            // Every remaining link between two placed photos joins the lists now. Pairs
            // among the earlier photos were drained before, so only pairs with the added
            // photo (last in the order) can still have one. One that the cameras
            // contradict waits for a trial of its own (a false match would fold the whole
            // mosaic onto itself).
            for (std::size_t i = 0; i + 1 < m_order.size(); ++i) {
                const int pi = m_order[i];
                for (std::size_t k = 0; k < remaining.size();) {
                    const auto* l = remaining[k].link;
                    if ((l->id1 == pi && l->id2 == added) || (l->id1 == added && l->id2 == pi)) {
                        const auto& size = m_imageSizes[static_cast<std::size_t>(l->id2)];
                        if (LinkTransferError(*l) <= kContradictedLink * std::max(size.cx, size.cy))
                            m_imageLinks[static_cast<std::size_t>(pi)].push_back(l);
                        else
                            contradicted.push_back({pi, l});
                        remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(k));
                    } else {
                        ++k;
                    }
                }
            }
            if (!m_bAdjustOnce) {
                RunImageParamsOptimizer(m_order, m_imageLinks);
                TryContradictedLinks(contradicted);
            }
        }
        if (m_bAdjustOnce) {
            RunImageParamsOptimizer(m_order, m_imageLinks);
            TryContradictedLinks(contradicted);
        }
        m_worstLink = WorstLink();
        m_imageLinks.clear();
        return true;
    } catch (const panorama_abort&) {
        m_imageLinks.clear();
        throw;
    } catch (const std::exception&) {
        // Out of memory or another library failure: a failed adjustment, not a crash.
        m_imageLinks.clear();
        m_order.clear();
        return false;
    }
}

}  // namespace Tiled_Panorama
