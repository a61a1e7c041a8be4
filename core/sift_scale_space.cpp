// Scale space of SIFT extraction: the doubled input level, the incremental Gaussian
// pyramid built with the recursive blur, and the difference-of-Gaussian pyramid.
#include "core/sift_scale_space.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <future>
#include <mutex>
#include <utility>
#include <vector>
#include <system_error>
#include <new>

#include "core/gauss.h"
#include "core/pano_element.h"
#include "core/panorama_exceptions.h"
#include "core/sift_internal.h"

namespace Utils {

CVectorD::CVectorD(int count) noexcept
{
    if (count <= 0)
        return;
    data = static_cast<double*>(std::calloc(static_cast<std::size_t>(count), sizeof(double)));
    if (data)
        n = count;
}

CVectorD::~CVectorD() { std::free(data); }

CMatrix2D::CMatrix2D(int rowCount, int colCount) noexcept
{
    if (rowCount <= 0 || colCount <= 0)
        return;
    data = static_cast<double*>(
        std::calloc(static_cast<std::size_t>(rowCount) * static_cast<std::size_t>(colCount), sizeof(double)));
    if (data) {
        rows = rowCount;
        cols = colCount;
    }
}

CMatrix2D::~CMatrix2D() { std::free(data); }

}  // namespace Utils

namespace ScaleSpace {

namespace {

// The planes kept by open PlaneReuse scopes: sample count and data.
struct PlaneStore {
    std::mutex lock;
    int scopes = 0;
    std::vector<std::pair<std::size_t, double*>> kept;

    // A kept plane of `count` samples, or null; a miss frees everything kept.
    double* Take(std::size_t count)
    {
        std::lock_guard<std::mutex> guard(lock);
        for (std::size_t i = kept.size(); i-- > 0;) {
            if (kept[i].first != count)
                continue;
            double* data = kept[i].second;
            kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(i));
            return data;
        }
        ReleaseAll();
        return nullptr;
    }
    // Keeps `data` when a scope is open; false when the caller must free it.
    bool Keep(std::size_t count, double* data)
    {
        std::lock_guard<std::mutex> guard(lock);
        if (scopes == 0)
            return false;
        try {
            kept.emplace_back(count, data);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }
    void ReleaseAll() noexcept
    {
        for (auto& k : kept)
            std::free(k.second);
        kept.clear();
    }
};

PlaneStore& Store()
{
    static PlaneStore store;
    return store;
}

}  // namespace

PlaneReuse::PlaneReuse() noexcept
{
    std::lock_guard<std::mutex> guard(Store().lock);
    ++Store().scopes;
}

PlaneReuse::~PlaneReuse()
{
    std::lock_guard<std::mutex> guard(Store().lock);
    if (--Store().scopes == 0)
        Store().ReleaseAll();
}

bool CImageD::Create(int w, int h) noexcept { return Allocate(w, h, true); }

bool CImageD::CreateForOverwrite(int w, int h) noexcept { return Allocate(w, h, false); }

bool CImageD::Allocate(int w, int h, bool zeroed) noexcept
{
    if (w < 0 || h < 0) {
        Free();
        return false;
    }
    if (w == width && h == height && (data || w == 0 || h == 0))
        return true;
    Free();
    const std::size_t count = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    if (count > 0) {
        data = Store().Take(count);
        if (data && zeroed)
            std::memset(data, 0, count * sizeof(double));
        // calloc checks count * sizeof(double) for overflow and hands out zeroed pages lazily.
        if (!data)
            data = static_cast<double*>(std::calloc(count, sizeof(double)));
        if (!data)
            return false;
    }
    width = w;
    height = h;
    return true;
}

bool CImageD::FromImage(const CPanoElement* image) noexcept
{
    if (!image || !image->HasBits() || image->GetBPP() != 8)
        return false;
    const int w = image->GetWidth();
    const int h = image->GetHeight();
    if (!Create(w, h))
        return false;
    const unsigned char* bits = image->GetBits();
    const std::ptrdiff_t bpl = image->GetBPL();
    for (int y = 0; y < h; ++y) {
        const unsigned char* src = bits + static_cast<std::ptrdiff_t>(y) * bpl;
        double* dst = data + Index(0, y);
        for (int x = 0; x < w; ++x)
            dst[x] = src[x] / 255.0;
    }
    return true;
}

bool CImageD::FromImage(const CImageD* image) noexcept
{
    if (!image || image == this)
        return image == this;
    if (!Create(image->width, image->height))
        return false;
    if (image->data && data)
        std::memcpy(data, image->data, SampleCount() * sizeof(double));
    return true;
}

void CImageD::Free() noexcept
{
    if (data && !Store().Keep(SampleCount(), data))
        std::free(data);
    data = nullptr;
    width = 0;
    height = 0;
}

int OctaveSide(int side, double spacing)
{
    const double s = std::trunc(side / spacing);
    if (!std::isfinite(s) || s < 0.0 || s > static_cast<double>(INT_MAX))
        throw panorama_error();
    return static_cast<int>(s);
}

CGaussianOctave::CGaussianOctave(int levels, int width, int height, double spacing)
    : m_spacing(spacing), m_width(width), m_height(height)
{
    m_levels.reserve(static_cast<std::size_t>(levels));
    for (int l = 0; l < levels; ++l)
        m_levels.push_back(std::make_unique<CImageD>());
    if (levels > 0 && !m_levels[0]->Create(width, height))
        throw panorama_error();
}

CDOGOctave::CDOGOctave(int levels, int width, int height, double spacing)
    : CGaussianOctave(levels, width, height, spacing)
{
    for (int l = 1; l < levels; ++l)
        if (!m_levels[static_cast<std::size_t>(l)]->Create(width, height))
            throw panorama_error();
}

CGaussianPyr::CGaussianPyr(int octaves, int levels, int width, int height, double spacing0) : m_levelCount(levels)
{
    m_octaves.reserve(static_cast<std::size_t>(octaves));
    double spacing = spacing0;
    for (int o = 0; o < octaves; ++o, spacing *= 2.0)
        m_octaves.push_back(std::make_unique<CGaussianOctave>(levels, OctaveSide(width, spacing),
                                                              OctaveSide(height, spacing), spacing));
}

CDOGPyr::CDOGPyr(int octaves, int levels, int width, int height, double spacing0)
{
    m_levelCount = levels;
    m_octaves.reserve(static_cast<std::size_t>(octaves));
    double spacing = spacing0;
    for (int o = 0; o < octaves; ++o, spacing *= 2.0)
        m_octaves.push_back(std::make_unique<CDOGOctave>(levels, OctaveSide(width, spacing),
                                                         OctaveSide(height, spacing), spacing));
}

}  // namespace ScaleSpace

namespace PanoramaRecognition {

using ScaleSpace::CImageD;

void MakeDoubledGreyLevel(const unsigned char* bits, int width, int height, std::ptrdiff_t bytesPerLine,
                          int bitsPerPixel, CImageD& out)
{
    if (!bits || width <= 0 || height <= 0 || (bitsPerPixel != 8 && bitsPerPixel != 24))
        throw panorama_error();
    if (width > INT_MAX / 2 || height > INT_MAX / 2)
        throw panorama_error();
    const int W2 = 2 * width;
    const int H2 = 2 * height;
    if (!out.Create(W2, H2))
        throw panorama_error();

    // Per band of source rows: two doubled even rows in 8 bits; the odd row between
    // them is their halved sum.
    const auto doubledRow = [&](int y, unsigned char* d, unsigned char* grey) {
        const unsigned char* src = bits + static_cast<std::ptrdiff_t>(y) * bytesPerLine;
        if (bitsPerPixel == 8) {
            std::memcpy(grey, src, static_cast<std::size_t>(width));
        } else {
            for (int x = 0; x < width; ++x) {
                const unsigned char* p = src + static_cast<std::ptrdiff_t>(3) * x;
                grey[x] = static_cast<unsigned char>((30 * p[2] + 59 * p[1] + 11 * p[0]) / 100);
            }
        }
        for (int x = 0; x < width; ++x)
            d[2 * static_cast<std::size_t>(x)] = grey[x];
        for (int x = 0; x + 1 < width; ++x)
            d[2 * static_cast<std::size_t>(x) + 1] =
                static_cast<unsigned char>((d[2 * static_cast<std::size_t>(x)] + d[2 * static_cast<std::size_t>(x) + 2]) >> 1);
        d[W2 - 1] = d[W2 - 2];
    };
    ParallelFor(static_cast<std::size_t>(height), RowsPerBlock(W2, 1 << 15), [&](std::size_t y0, std::size_t y1) {
        std::vector<unsigned char> rowA(static_cast<std::size_t>(W2));
        std::vector<unsigned char> rowB(static_cast<std::size_t>(W2));
        std::vector<unsigned char> grey(static_cast<std::size_t>(width));
        doubledRow(static_cast<int>(y0), rowA.data(), grey.data());
        for (std::size_t yy = y0; yy < y1; ++yy) {
            const int y = static_cast<int>(yy);
            double* even = out.data + out.Index(0, 2 * y);
            double* odd = out.data + out.Index(0, 2 * y + 1);
            for (int x = 0; x < W2; ++x)
                even[x] = rowA[static_cast<std::size_t>(x)] / 255.0;
            if (y + 1 < height) {
                doubledRow(y + 1, rowB.data(), grey.data());
                for (int x = 0; x < W2; ++x)
                    odd[x] = ((rowA[static_cast<std::size_t>(x)] + rowB[static_cast<std::size_t>(x)]) >> 1) / 255.0;
                rowA.swap(rowB);
            } else {
                std::memcpy(odd, even, static_cast<std::size_t>(W2) * sizeof(double));
            }
        }
    });
}

namespace {

constexpr std::size_t kCopyBlock = 1 << 17;  // samples per parallel block of a plane copy

// Level `level` of an octave: a copy of the level below blurred by `increment`.
// The copy is spread over threads (it is also where the plane's pages are first
// touched); the blur itself is one call.
void MakeLevel(ScaleSpace::CGaussianPyr& gauss, int octave, int level, double increment)
{
    const CImageD* prev = gauss.GetGaussian(octave, level - 1);
    CImageD* cur = gauss.GetGaussian(octave, level);
    if (!cur->CreateForOverwrite(prev->width, prev->height))
        throw panorama_error();
    if (cur->IsEmpty())
        return;
    const std::size_t w = static_cast<std::size_t>(prev->width);
    ParallelFor(static_cast<std::size_t>(prev->height), RowsPerBlock(prev->width, kCopyBlock), [&](std::size_t y0, std::size_t y1) {
        std::memcpy(cur->data + y0 * w, prev->data + y0 * w, (y1 - y0) * w * sizeof(double));
    });
    GaussGrayDouble(cur->width, cur->height, cur->width, cur->data, increment);
}

}  // namespace

void BuildScaleSpace(ScaleSpace::CGaussianPyr& gauss, ScaleSpace::CDOGPyr* dog, int scales, Utils::CMatrix2D& sigma)
{
    const int octaves = gauss.GetOctaveCount();
    const int levels = scales + 3;
    if (scales < 1 || gauss.GetLevelCount() != levels || !sigma.data || sigma.rows < octaves || sigma.cols < levels)
        throw panorama_error();
    const double k = std::pow(2.0, 1.0 / scales);
    const double increment = std::sqrt(k * k - 1.0);

    // The blurs of every level, in pixels of the photo (the table) and as increments
    // over the level below in the octave's own pixels.
    std::vector<double> increments(static_cast<std::size_t>(octaves) * static_cast<std::size_t>(levels));
    for (int o = 0; o < octaves; ++o) {
        const double spacing = gauss.GetSubsample(o);
        double s = std::sqrt(2.0);  // nominal blur of level 0 in the octave's own pixels
        for (int l = 1; l < levels; ++l) {
            increments[static_cast<std::size_t>(o) * static_cast<std::size_t>(levels) + static_cast<std::size_t>(l)] = s * increment;
            s *= k;
            sigma.at(o, l) = spacing * s;
        }
        if (o + 1 < octaves)
            sigma.at(o + 1, 0) = sigma.at(o, scales);
    }
    const auto inc = [&](int o, int l) {
        return increments[static_cast<std::size_t>(o) * static_cast<std::size_t>(levels) + static_cast<std::size_t>(l)];
    };

    // Level S starts the next octave, so the levels above it can be blurred while
    // the next octaves are built. Each level is made by the same operations in
    // either case.
    std::vector<std::future<void>> upperLevels;
    const auto finish = [&] {
        std::exception_ptr failure;
        for (auto& f : upperLevels) {
            try {
                f.get();
            } catch (...) {
                if (!failure)
                    failure = std::current_exception();
            }
        }
        upperLevels.clear();
        if (failure)
            std::rethrow_exception(failure);
    };
    try {
        for (int o = 0; o < octaves; ++o) {
            for (int l = 1; l <= scales; ++l)
                MakeLevel(gauss, o, l, inc(o, l));
            const auto upper = [&gauss, o, scales, levels, inc] {
                for (int l = scales + 1; l < levels; ++l)
                    MakeLevel(gauss, o, l, inc(o, l));
            };
            bool started = false;
            if (o + 1 < octaves) {
                try {
                    upperLevels.push_back(std::async(std::launch::async, upper));
                    started = true;
                } catch (const std::system_error&) {
                    // No thread to be had: made below on this one.
                }
            }
            if (!started)
                upper();
            if (o + 1 < octaves) {
                const CImageD* src = gauss.GetGaussian(o, scales);
                CImageD* next = gauss.GetGaussian(o + 1, 0);
                for (int y = 0; y < next->height; ++y) {
                    const double* s0 = src->data + src->Index(0, 2 * y);
                    double* d = next->data + next->Index(0, y);
                    for (int x = 0; x < next->width; ++x)
                        d[x] = s0[2 * static_cast<std::size_t>(x)];
                }
            }
        }
    } catch (...) {
        try {
            finish();
        } catch (...) {
        }
        throw;
    }
    finish();

    if (dog) {
        for (int o = 0; o < octaves; ++o)
            for (int l = 1; l < levels; ++l) {
                const CImageD* cur = gauss.GetGaussian(o, l);
                const CImageD* prev = gauss.GetGaussian(o, l - 1);
                CImageD* d = dog->GetDOG(o, l - 1);
                if (d->width != cur->width || d->height != cur->height)
                    throw panorama_error();
                const std::size_t n = cur->SampleCount();
                for (std::size_t i = 0; i < n; ++i)
                    d->data[i] = cur->data[i] - prev->data[i];
            }
    }
}

}  // namespace PanoramaRecognition
