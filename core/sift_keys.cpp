// The SIFT extraction driver: scale space, extrema, gradients, orientations and
// descriptors, with the five abort polls between the stages.
//
// Work inside a stage is spread over a few threads by row bands or by keypoints;
// every band and keypoint writes only its own slot and the perKey are gathered in
// order, so the output is the same, bit for bit and in order, as a single-threaded
// run. Differences of Gaussians are formed where the extremum test reads them, and
// gradients only where an orientation window reads them: both give the values the
// whole-pyramid forms give, without their memory.
#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "core/gauss.h"
#include "core/pano_element.h"
#include "core/panorama_exceptions.h"
#include "core/sift.h"
#include "core/sift_internal.h"

namespace PanoramaRecognition {

using ScaleSpace::CGaussianPyr;
using ScaleSpace::CImageD;
using ScaleSpace::CKeyDescriptor;
using ScaleSpace::CKeypointArray;
using ScaleSpace::CKeyPoint;
using ScaleSpace::SIFT;

namespace {

constexpr std::size_t kExtremaBlock = 1 << 15;   // samples per parallel block of extremum search
constexpr std::size_t kGradientBlock = 1 << 14;  // samples per parallel block of gradients
constexpr std::size_t kKeypointBlock = 16;       // keypoints per parallel block

void Poll(bool (*abort)())
{
    if (abort && abort())
        throw panorama_abort();
}

// Extrema of every octave and scale, ordered by octave, scale, row, column.
std::vector<CKeyPoint> DetectExtrema(const CGaussianPyr& gauss, int scales, double contrastThreshold,
                                     double edgeThreshold)
{
    std::vector<CKeyPoint> all;
    const int octaves = gauss.GetOctaveCount();
    for (int o = 0; o < octaves; ++o) {
        const int h = gauss.GetGaussian(o, 0)->height;
        const std::size_t band = RowsPerBlock(gauss.GetGaussian(o, 0)->width, kExtremaBlock);
        const std::size_t bands = (static_cast<std::size_t>(std::max(h, 0)) + band - 1) / band;
        for (int l = 1; l <= scales; ++l) {
            const CImageD* levels[4] = {gauss.GetGaussian(o, l - 1), gauss.GetGaussian(o, l),
                                        gauss.GetGaussian(o, l + 1), gauss.GetGaussian(o, l + 2)};
            std::vector<std::vector<CKeyPoint>> parts(bands);
            ParallelFor(bands, 1, [&](std::size_t b0, std::size_t b1) {
                for (std::size_t b = b0; b < b1; ++b)
                    FindExtremaFromGaussians(levels, static_cast<int>(b * band),
                                             static_cast<int>(std::min<std::size_t>((b + 1) * band, h)), o, l,
                                             contrastThreshold, edgeThreshold, parts[b]);
            });
            for (const auto& part : parts)
                all.insert(all.end(), part.begin(), part.end());
        }
    }
    return all;
}

// Gradient planes and orientation kernels of the levels 1 .. S, with gradients
// computed wherever a keypoint's orientation window reads them.
struct GradientStage {
    GradientStage(int octaves, int levels, int width, int height)
        : magnitude(octaves, levels, width, height, 0.5), orientation(octaves, levels, width, height, 0.5),
          kernels(static_cast<std::size_t>(octaves) * static_cast<std::size_t>(levels)),
          halves(kernels.size(), 0), levelCount(levels)
    {
    }

    std::size_t Group(int octave, int scale) const
    {
        return static_cast<std::size_t>(octave) * static_cast<std::size_t>(levelCount) + static_cast<std::size_t>(scale);
    }

    CGaussianPyr magnitude;
    CGaussianPyr orientation;
    std::vector<std::unique_ptr<double[]>> kernels;
    std::vector<int> halves;
    int levelCount;
};

// Zeroes the first and last row and column of a plane.
void ZeroBorder(CImageD& plane)
{
    const std::size_t W = static_cast<std::size_t>(plane.width);
    const int h = plane.height;
    if (W == 0 || h <= 0)
        return;
    std::fill_n(plane.data, W, 0.0);
    std::fill_n(plane.data + (static_cast<std::size_t>(h) - 1) * W, W, 0.0);
    for (int y = 1; y < h - 1; ++y) {
        plane.data[static_cast<std::size_t>(y) * W] = 0.0;
        plane.data[static_cast<std::size_t>(y) * W + W - 1] = 0.0;
    }
}

// Gives `plane` a w x h buffer whose border is 0: a dead Gaussian level's buffer of
// that size when one is left, else a new plane (from a PlaneReuse store when one is
// open). Its interior may be stale, but only samples about to be computed are ever
// read, so it is not cleared (nor, for a new plane, its pages touched).
void TakePlane(CImageD& plane, int w, int h, std::vector<CImageD*>& spare)
{
    for (std::size_t i = spare.size(); i-- > 0;) {
        CImageD& s = *spare[i];
        if (s.width != w || s.height != h || !s.data)
            continue;
        plane.Free();
        plane.Swap(s);
        spare.erase(spare.begin() + static_cast<std::ptrdiff_t>(i));
        ZeroBorder(plane);
        return;
    }
    plane.Free();
    if (!plane.CreateForOverwrite(w, h))
        throw panorama_error();
    ZeroBorder(plane);
}

// After extremum detection, levels 0 and S + 1 .. S + 2 of every octave are no longer
// read (orientations and descriptors use levels 1 .. S); their buffers become the
// gradient planes instead of fresh memory.
void ComputeGradients(GradientStage& stage, const std::vector<CKeyPoint>& extrema, CGaussianPyr& gauss,
                      const Utils::CMatrix2D& sigma, int scales)
{
    const int octaves = gauss.GetOctaveCount();
    std::size_t first = 0;
    for (int o = 0; o < octaves; ++o) {
        std::vector<CImageD*> spare{gauss.GetGaussian(o, 0)};
        for (int l = scales + 1; l < gauss.GetLevelCount(); ++l)
            spare.push_back(gauss.GetGaussian(o, l));
        for (int l = 1; l <= scales; ++l) {
            // Extrema are grouped by octave and scale, in that order.
            std::size_t last = first;
            while (last < extrema.size() && extrema[last].octave == o && extrema[last].scale == l)
                ++last;
            if (last == first)
                continue;  // nothing reads this level's gradients
            const CImageD& I = *gauss.GetGaussian(o, l);
            CImageD& M = *stage.magnitude.GetGaussian(o, l);
            CImageD& A = *stage.orientation.GetGaussian(o, l);
            const int w = I.width;
            const int h = I.height;
            TakePlane(M, w, h, spare);
            TakePlane(A, w, h, spare);
            const double s = kOrientationSigmaFactor * sigma.at(o, l) / gauss.GetSubsample(o);
            int n = 0;
            std::unique_ptr<double[]> kernel = AllocGaussianFilterNxN(s, &n);
            if (!kernel || n < 1)
                throw panorama_error();
            const int half = n / 2;
            const std::size_t g = stage.Group(o, l);
            stage.kernels[g] = std::move(kernel);
            stage.halves[g] = half;

            std::vector<unsigned char> need(I.SampleCount(), 0);
            for (std::size_t i = first; i < last; ++i) {
                const CKeyPoint& k = extrema[i];
                const int x0 = std::max(k.x - half, 1);
                const int x1 = std::min(k.x + half, w - 2);
                for (int y = std::max(k.y - half, 1); y <= std::min(k.y + half, h - 2); ++y)
                    if (x1 >= x0)
                        std::fill_n(need.data() + I.Index(x0, y), x1 - x0 + 1, static_cast<unsigned char>(1));
            }
            ParallelFor(static_cast<std::size_t>(h), RowsPerBlock(w, kGradientBlock), [&](std::size_t y0, std::size_t y1) {
                GradientRows(I, M, A, need.data(), static_cast<int>(y0), static_cast<int>(y1));
            });
            first = last;
        }
    }
}

struct OrientedKey {
    double x;
    double y;
    double orientation;
    int octave;
    int scale;
};

std::vector<OrientedKey> AssignOrientations(const GradientStage& stage, const std::vector<CKeyPoint>& extrema,
                                            const CGaussianPyr& gauss)
{
    struct Slot {
        int count = 0;
        double orientations[kOrientationBins];
    };
    std::vector<Slot> perKey(extrema.size());
    ParallelFor(extrema.size(), kKeypointBlock, [&](std::size_t i0, std::size_t i1) {
        double hist[kOrientationBins];
        for (std::size_t i = i0; i < i1; ++i) {
            const CKeyPoint& k = extrema[i];
            const std::size_t g = stage.Group(k.octave, k.scale);
            AccumulateOrientationHistogram(hist, *stage.magnitude.GetGaussian(k.octave, k.scale),
                                           *stage.orientation.GetGaussian(k.octave, k.scale), k.x, k.y,
                                           stage.kernels[g].get(), stage.halves[g]);
            perKey[i].count = OrientationsFromHistogram(hist, perKey[i].orientations);
        }
    });
    std::vector<OrientedKey> result;
    std::size_t total = 0;
    for (const Slot& s : perKey)
        total += static_cast<std::size_t>(s.count);
    result.reserve(total);
    for (std::size_t i = 0; i < extrema.size(); ++i) {
        const CKeyPoint& k = extrema[i];
        const double spacing = gauss.GetSubsample(k.octave);
        for (int j = 0; j < perKey[i].count; ++j)
            result.push_back({k.x * spacing, k.y * spacing, perKey[i].orientations[j], k.octave, k.scale});
    }
    return result;
}

}  // namespace

void SIFTKeys(const unsigned char* bits, int width, int height, std::ptrdiff_t bytesPerLine, int bitsPerPixel,
              int octaves, int scales, double contrastThreshold, double edgeRatio, CKeypointArray<SIFT>& keys,
              CKeypointArray<CKeyDescriptor>& descriptors, bool (*abort)())
{
    if (octaves < 1 || scales < 1 || octaves > 30 || scales > 100 || !std::isfinite(contrastThreshold) ||
        !std::isfinite(edgeRatio) || !(edgeRatio > 0.0))
        throw panorama_error();
    if (!bits || width <= 0 || height <= 0 || (bitsPerPixel != 8 && bitsPerPixel != 24))
        throw panorama_error();
    const double edgeThreshold = (edgeRatio + 1.0) * (edgeRatio + 1.0) / edgeRatio;
    const int levels = scales + 3;
    try {
        CGaussianPyr gauss(octaves, levels, width, height, 0.5);
        CImageD& base = *gauss.GetGaussian(0, 0);
        MakeDoubledGreyLevel(bits, width, height, bytesPerLine, bitsPerPixel, base);
        GaussGrayDouble(base.width, base.height, base.width, base.data, kPreBlur);
        Utils::CMatrix2D sigma(octaves, levels);
        if (!sigma.data)
            throw panorama_error();
        sigma.at(0, 0) = kInitialSigma;
        BuildScaleSpace(gauss, nullptr, scales, sigma);
        Poll(abort);

        std::vector<CKeyPoint> extrema = DetectExtrema(gauss, scales, contrastThreshold, edgeThreshold);
        Poll(abort);

        std::vector<OrientedKey> oriented;
        {
            GradientStage stage(octaves, levels, width, height);
            ComputeGradients(stage, extrema, gauss, sigma, scales);
            Poll(abort);
            oriented = AssignOrientations(stage, extrema, gauss);
        }
        extrema = {};
        Poll(abort);

        keys.Free();
        keys.reserve(oriented.size());
        for (const OrientedKey& k : oriented)
            keys.emplace_back(k.x, k.y, k.orientation, k.octave, k.scale, sigma.at(k.octave, k.scale));
        const std::size_t first = descriptors.size();
        descriptors.reserve(first + oriented.size());
        for (std::size_t i = 0; i < oriented.size(); ++i)
            descriptors.emplace_back();
        ParallelFor(oriented.size(), kKeypointBlock, [&](std::size_t i0, std::size_t i1) {
            for (std::size_t i = i0; i < i1; ++i) {
                const OrientedKey& k = oriented[i];
                const double spacing = gauss.GetSubsample(k.octave);
                ComputeDescriptor(*gauss.GetGaussian(k.octave, k.scale), k.x / spacing, k.y / spacing,
                                  k.orientation, descriptors[first + i]->data());
            }
        });
        Poll(abort);
    } catch (const std::bad_alloc&) {
        throw panorama_error();
    }
}

void SIFTKeys(const CPanoElement* image, int octaves, int scales, double contrastThreshold, double edgeRatio,
              CKeypointArray<SIFT>& keys, CKeypointArray<CKeyDescriptor>& descriptors, bool (*abort)())
{
    if (!image || !image->HasBits())
        throw panorama_error();
    SIFTKeys(image->GetBits(), image->GetWidth(), image->GetHeight(), image->GetBPL(), image->GetBPP(), octaves,
             scales, contrastThreshold, edgeRatio, keys, descriptors, abort);
}

}  // namespace PanoramaRecognition
