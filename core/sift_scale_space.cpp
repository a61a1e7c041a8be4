// Scale space of SIFT extraction: the doubled input level, the incremental Gaussian
// pyramid built with the recursive blur, and the difference-of-Gaussian pyramid.
#include "core/sift_scale_space.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/gauss.h"
#include "core/pano_element.h"
#include "core/panorama_exceptions.h"

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

bool CImageD::Create(int w, int h) noexcept
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
        // calloc checks count * sizeof(double) for overflow and hands out zeroed pages lazily.
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

    // Two doubled even rows in 8 bits: the odd row between them is their halved sum.
    std::vector<unsigned char> rowA(static_cast<std::size_t>(W2));
    std::vector<unsigned char> rowB(static_cast<std::size_t>(W2));
    std::vector<unsigned char> grey(static_cast<std::size_t>(width));

    auto doubledRow = [&](int y, std::vector<unsigned char>& dst) {
        const unsigned char* src = bits + static_cast<std::ptrdiff_t>(y) * bytesPerLine;
        if (bitsPerPixel == 8) {
            std::memcpy(grey.data(), src, static_cast<std::size_t>(width));
        } else {
            for (int x = 0; x < width; ++x) {
                const unsigned char* p = src + static_cast<std::ptrdiff_t>(3) * x;
                grey[static_cast<std::size_t>(x)] = static_cast<unsigned char>((30 * p[2] + 59 * p[1] + 11 * p[0]) / 100);
            }
        }
        unsigned char* d = dst.data();
        for (int x = 0; x < width; ++x)
            d[2 * static_cast<std::size_t>(x)] = grey[static_cast<std::size_t>(x)];
        for (int x = 0; x + 1 < width; ++x)
            d[2 * static_cast<std::size_t>(x) + 1] = static_cast<unsigned char>((d[2 * static_cast<std::size_t>(x)] + d[2 * static_cast<std::size_t>(x) + 2]) >> 1);
        d[W2 - 1] = d[W2 - 2];
    };
    auto store = [&](int y2, const unsigned char* src) {
        double* dst = out.data + out.Index(0, y2);
        for (int x = 0; x < W2; ++x)
            dst[x] = src[x] / 255.0;
    };

    doubledRow(0, rowA);
    for (int y = 0; y < height; ++y) {
        store(2 * y, rowA.data());
        if (y + 1 < height) {
            doubledRow(y + 1, rowB);
            double* dst = out.data + out.Index(0, 2 * y + 1);
            for (int x = 0; x < W2; ++x)
                dst[x] = ((rowA[static_cast<std::size_t>(x)] + rowB[static_cast<std::size_t>(x)]) >> 1) / 255.0;
            rowA.swap(rowB);
        } else {
            store(2 * y + 1, rowA.data());
        }
    }
}

void BuildScaleSpace(ScaleSpace::CGaussianPyr& gauss, ScaleSpace::CDOGPyr* dog, int scales, Utils::CMatrix2D& sigma)
{
    const int octaves = gauss.GetOctaveCount();
    const int levels = scales + 3;
    if (scales < 1 || gauss.GetLevelCount() != levels || !sigma.data || sigma.rows < octaves || sigma.cols < levels)
        throw panorama_error();
    const double k = std::pow(2.0, 1.0 / scales);
    const double increment = std::sqrt(k * k - 1.0);

    for (int o = 0; o < octaves; ++o) {
        const double spacing = gauss.GetSubsample(o);
        double s = std::sqrt(2.0);  // nominal blur of level 0 in the octave's own pixels
        for (int l = 1; l < levels; ++l) {
            const double inc = s * increment;
            s *= k;
            sigma.at(o, l) = spacing * s;
            CImageD* prev = gauss.GetGaussian(o, l - 1);
            CImageD* cur = gauss.GetGaussian(o, l);
            if (!cur->FromImage(prev))
                throw panorama_error();
            if (!cur->IsEmpty())
                GaussGrayDouble(cur->width, cur->height, cur->width, cur->data, inc);
            if (dog) {
                CImageD* d = dog->GetDOG(o, l - 1);
                if (d->width != cur->width || d->height != cur->height)
                    throw panorama_error();
                const std::size_t n = cur->SampleCount();
                const double* a = cur->data;
                const double* b = prev->data;
                double* out = d->data;
                for (std::size_t i = 0; i < n; ++i)
                    out[i] = a[i] - b[i];
            }
        }
        if (o + 1 < octaves) {
            const CImageD* src = gauss.GetGaussian(o, scales);
            CImageD* next = gauss.GetGaussian(o + 1, 0);
            for (int y = 0; y < next->height; ++y) {
                const double* s0 = src->data + src->Index(0, 2 * y);
                double* d = next->data + next->Index(0, y);
                for (int x = 0; x < next->width; ++x)
                    d[x] = s0[2 * static_cast<std::size_t>(x)];
            }
            sigma.at(o + 1, 0) = sigma.at(o, scales);
        }
    }
}

}  // namespace PanoramaRecognition
