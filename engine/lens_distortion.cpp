// Spherical re-projection of a photo for the lens types of the Horizontal/Vertical
// engine. A pixel (x, y) with normalised coordinates (nx, ny) along the longer side
// maps to longitude atan(nx / f) and latitude atan(ny / sqrt(nx^2 + f^2)); the
// corrected image samples the photo through the inverse mapping with bilinear
// interpolation. The inverse separates into a per-column and a per-row factor, so
// the trigonometry is done once per column and once per row, not per pixel.
#include "engine/lens_distortion.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "core/parallel.h"

CLensTypes::CLensTypes()
{
    static constexpr double kFactors[kCount] = {0.87, 0.93, 1.0, 1.125, 1.23, 1.51, 1.75, 2.3, 3.2, 3.7};
    for (int i = 0; i < kCount; ++i) {
        factors[i] = kFactors[i];
        ids[i] = static_cast<unsigned>(i);
    }
}

double CLensTypes::Factor(int type) const noexcept
{
    return type >= 0 && type < count ? factors[type] : factors[kDefaultType];
}

const CLensTypes g_lensType;

void mapToSphere2(double x, double y, double f, double s, int w, int h, double* X, double* Y)
{
    const double D = static_cast<double>(std::max(w, h));
    const double nx = (2.0 * x - w) / D;
    const double ny = (2.0 * y - h) / D;
    const double lambda = s * std::atan(nx / f);
    const double phi = s * std::atan(ny / std::sqrt(nx * nx + f * f));
    *X = (D * lambda + w) / 2.0;
    *Y = (D * phi + h) / 2.0;
}

void mapFromSphere2(double X, double Y, double f, double s, int w, int h, double* x, double* y)
{
    const double D = static_cast<double>(std::max(w, h));
    const double nX = (2.0 * X - w) / D;
    const double nY = (2.0 * Y - h) / D;
    const double t = std::tan(nX / s);
    const double xp = f * t;
    const double yp = std::sqrt(t * t + 1.0) * f * std::tan(nY / s);
    *x = (D * xp + w) / 2.0;
    *y = (D * yp + h) / 2.0;
}

bool CalcLensCorrectedGeometry(int w, int h, double f, LensCorrectedGeometry* g)
{
    if (!g || w <= 0 || h <= 0 || !std::isfinite(f) || f <= 0.0)
        return false;
    // The corners and edge middles of the photo (half sizes rounded down, as pixels).
    const double W = w, H = h, hw = w / 2, hh = h / 2;
    const double px[8] = {0.0, hw, W, W, W, hw, 0.0, 0.0};
    const double py[8] = {0.0, 0.0, 0.0, hh, H, H, H, hh};
    double minX = HUGE_VAL, maxX = -HUGE_VAL, minY = HUGE_VAL, maxY = -HUGE_VAL;
    for (int i = 0; i < 8; ++i) {
        double X = 0.0, Y = 0.0;
        mapToSphere2(px[i], py[i], f, 1.0, w, h, &X, &Y);
        minX = std::min(minX, X);
        maxX = std::max(maxX, X);
        minY = std::min(minY, Y);
        maxY = std::max(maxY, Y);
    }
    const double spanX = std::ceil(maxX - minX);
    const double spanY = std::ceil(maxY - minY);
    if (!std::isfinite(spanX) || !std::isfinite(spanY) || spanX < 1.0 || spanY < 1.0 || spanX > INT_MAX ||
        spanY > INT_MAX)
        return false;
    const std::int64_t Wp = static_cast<std::int64_t>(spanX);
    const std::int64_t Hp = static_cast<std::int64_t>(spanY);
    // 64-bit: the products exceed 32 bits for photos over 46,340 pixels.
    const std::int64_t L = std::max(w, h);
    const std::int64_t M = std::max(Wp, Hp);
    const std::int64_t outW = L * Wp / M;
    const std::int64_t outH = L * Hp / M;
    if (outW <= 0 || outH <= 0 || outW > INT_MAX || outH > INT_MAX)
        return false;
    g->outWidth = static_cast<int>(outW);
    g->outHeight = static_cast<int>(outH);
    g->sphereWidth = static_cast<int>(Wp);
    g->sphereHeight = static_cast<int>(Hp);
    g->minX = minX;
    g->minY = minY;
    return true;
}

namespace {

inline int ClampIndex(double v, int n)
{
    if (!(v >= 0.0))  // also NaN
        return 0;
    if (v >= static_cast<double>(n - 1))
        return n - 1;
    return static_cast<int>(v);
}

// Fills `out` (already outW x outH, 24-bit, alpha plane of zeros) from the photo.
bool Correct(CPanoElement* out, CPanoElement* photo, double f, const LensCorrectedGeometry& g, bool (*abort)())
{
    const int w = photo->GetWidth();
    const int h = photo->GetHeight();
    const int outW = g.outWidth;
    const int outH = g.outHeight;
    const double D = static_cast<double>(std::max(w, h));
    const double Wp = static_cast<double>(g.sphereWidth);
    const double s = 1.0;

    // mapFromSphere2 split into its column and row factors (same operations in the
    // same order, so the source positions are exactly those of the direct call).
    std::vector<double> srcX(static_cast<std::size_t>(outW));
    std::vector<double> colFactor(static_cast<std::size_t>(outW));
    for (int x = 0; x < outW; ++x) {
        const double X = static_cast<double>(x) * Wp / static_cast<double>(outW) + g.minX;
        const double nX = (2.0 * X - w) / D;
        const double t = std::tan(nX / s);
        srcX[static_cast<std::size_t>(x)] = (D * (f * t) + w) / 2.0;
        colFactor[static_cast<std::size_t>(x)] = std::sqrt(t * t + 1.0) * f;
    }

    const u8* src = photo->GetBits();
    const std::size_t srcBpl = static_cast<std::size_t>(photo->GetBPL());
    u8* dstBits = out->GetBits();
    const std::size_t dstBpl = static_cast<std::size_t>(out->GetBPL());
    u8* alphaBits = out->GetAlphaBits();
    const std::size_t alphaBpl = static_cast<std::size_t>(out->GetAlphaBPL());

    const auto rows = [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const double Y = static_cast<double>(y) * Wp / static_cast<double>(outW) + g.minY;
            const double nY = (2.0 * Y - h) / D;
            const double tanY = std::tan(nY / s);
            u8* dst = dstBits + static_cast<std::size_t>(y) * dstBpl;
            u8* alpha = alphaBits + static_cast<std::size_t>(y) * alphaBpl;
            for (int x = 0; x < outW; ++x, dst += 3) {
                const double sx = srcX[static_cast<std::size_t>(x)];
                const double sy = (D * (colFactor[static_cast<std::size_t>(x)] * tanY) + h) / 2.0;
                if (sx >= 0.0 && sx <= static_cast<double>(w - 1) && sy >= 0.0 && sy <= static_cast<double>(h - 1)) {
                    const int ix = static_cast<int>(sx);
                    const int iy = static_cast<int>(sy);
                    double fx = sx - ix;
                    double fy = sy - iy;
                    int ix1 = ix + 1;
                    int iy1 = iy + 1;
                    if (ix >= w - 1) {
                        ix1 = ix;
                        fx = 0.0;
                    }
                    if (iy >= h - 1) {
                        iy1 = iy;
                        fy = 0.0;
                    }
                    const u8* r0 = src + static_cast<std::size_t>(iy) * srcBpl;
                    const u8* r1 = src + static_cast<std::size_t>(iy1) * srcBpl;
                    const u8* p00 = r0 + static_cast<std::size_t>(ix) * 3;
                    const u8* p10 = r0 + static_cast<std::size_t>(ix1) * 3;
                    const u8* p01 = r1 + static_cast<std::size_t>(ix) * 3;
                    const u8* p11 = r1 + static_cast<std::size_t>(ix1) * 3;
                    for (int c = 0; c < 3; ++c) {
                        const double a = p00[c] + (p10[c] - p00[c]) * fx;
                        const double b = p01[c] + (p11[c] - p01[c]) * fx;
                        const double v = a + (b - a) * fy;
                        dst[c] = static_cast<u8>(std::clamp(static_cast<int>(v), 0, 255));
                    }
                    alpha[x] = 255;
                } else {
                    const u8* p = src + static_cast<std::size_t>(ClampIndex(sy, h)) * srcBpl +
                                  static_cast<std::size_t>(ClampIndex(sx, w)) * 3;
                    dst[0] = p[0];
                    dst[1] = p[1];
                    dst[2] = p[2];
                }
            }
        }
    };

    // The abort callback is asked after the rows outH/3 and 2*outH/3 only.
    const int first = outH / 3;
    const int second = 2 * outH / 3;
    int done = 0;
    for (const int stop : {first, second}) {
        if (stop < done)
            continue;
        Utils::ParallelForRows(stop + 1 - done, outW, [&](int a, int b) { rows(done + a, done + b); });
        done = stop + 1;
        if (abort && abort())
            return false;
    }
    if (done < outH)
        Utils::ParallelForRows(outH - done, outW, [&](int a, int b) { rows(done + a, done + b); });
    return true;
}

bool PhotoUsable(CPanoElement* photo)
{
    return photo && photo->HasBits() && photo->GetBPP() == 24 && photo->GetWidth() > 0 && photo->GetHeight() > 0;
}

// Gives `out` the corrected image's pixels: white, with an alpha plane of zeros.
bool PrepareTarget(CPanoElement* out, const LensCorrectedGeometry& g)
{
    if (!out->CreateImage(true, g.outWidth, g.outHeight, true) || !out->HasBits())
        return false;
    out->FillWhiteColor();
    out->FreeAlphaChannel();
    out->AddAlphaChannel(false);
    return out->GetAlphaBits() != nullptr;
}

}  // namespace

CPanoElement* LensDistortion(CPanoElement* photo, double f, double* scale, bool (*abort)())
{
    LensCorrectedGeometry g;
    if (!PhotoUsable(photo) || !CalcLensCorrectedGeometry(photo->GetWidth(), photo->GetHeight(), f, &g))
        return nullptr;
    VarnoBase::RefPtr<CPanoElement> out = NewPanoElement(false);
    if (!out)
        return nullptr;
    try {
        if (!PrepareTarget(out.get(), g))
            return nullptr;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (scale)
        *scale = static_cast<double>(g.outWidth) / static_cast<double>(g.sphereWidth);
    if (!Correct(out.get(), photo, f, g, abort))
        return nullptr;
    return out.Detach();
}

bool LensDistortion(CPanoElement* target, CPanoElement* photo, double f, double* scale, bool (*abort)())
{
    LensCorrectedGeometry g;
    if (!target || target->HasBits() || !PhotoUsable(photo) ||
        !CalcLensCorrectedGeometry(photo->GetWidth(), photo->GetHeight(), f, &g))
        return false;
    try {
        if (!PrepareTarget(target, g))
            return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (scale)
        *scale = static_cast<double>(g.outWidth) / static_cast<double>(g.sphereWidth);
    return Correct(target, photo, f, g, abort);
}

CPanoElement* AllocLensDistortedImage(CPanoElement* photo, double f, double* /*scale*/, bool (*/*abort*/)())
{
    LensCorrectedGeometry g;
    if (!photo || !CalcLensCorrectedGeometry(photo->GetWidth(), photo->GetHeight(), f, &g))
        return nullptr;
    VarnoBase::RefPtr<CPanoElement> out = NewPanoElement(false);
    if (!out)
        return nullptr;
    if (!out->CreateImage(true, g.outWidth, g.outHeight, false))
        return nullptr;
    return out.Detach();
}
