// The Gaussian and difference-of-Gaussian scale space of SIFT extraction.
//
// A photo is doubled in size (octave 0 at spacing 0.5), pre-blurred, and each octave
// holds S + 3 Gaussian levels blurred incrementally by k = 2^(1/S); the next octave
// starts from level S of the previous one, subsampled by two. Difference levels are
// neighbouring Gaussian levels subtracted. Planes hold doubles in 0 .. 1.
//
// Allocation failures never pass silently: a plane that cannot be allocated makes
// the pyramid constructors and builders throw panorama_error.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

class CPanoElement;

namespace Utils {

// Zero-filled arrays allocated without throwing: data is null when memory is short.
struct CVectorD {
    int n = 0;
    double* data = nullptr;

    explicit CVectorD(int count) noexcept;
    ~CVectorD();
    CVectorD(const CVectorD&) = delete;
    CVectorD& operator=(const CVectorD&) = delete;
};

struct CMatrix2D {
    int rows = 0;
    int cols = 0;
    double* data = nullptr;

    CMatrix2D(int rowCount, int colCount) noexcept;
    ~CMatrix2D();
    CMatrix2D(const CMatrix2D&) = delete;
    CMatrix2D& operator=(const CMatrix2D&) = delete;

    double& at(int r, int c) noexcept { return data[static_cast<std::size_t>(r) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(c)]; }
    double at(int r, int c) const noexcept { return data[static_cast<std::size_t>(r) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(c)]; }
};

}  // namespace Utils

namespace ScaleSpace {

// A row-major plane of doubles, rows `width` apart. A new plane is empty (0 x 0).
class CImageD {
public:
    int width = 0;
    int height = 0;
    double* data = nullptr;  // owned; null for an empty plane

    CImageD() noexcept = default;
    ~CImageD() { Free(); }
    CImageD(const CImageD&) = delete;
    CImageD& operator=(const CImageD&) = delete;

    // Keeps the data when the size is already w x h; otherwise a new zero-filled
    // plane. False when the size is negative or the plane cannot be allocated
    // (the plane is then empty). A 0-sized plane is valid and holds no data.
    bool Create(int w, int h) noexcept;
    // The same for a caller that writes every sample: a plane taken from an open
    // PlaneReuse's store keeps its stale samples instead of being cleared.
    bool CreateForOverwrite(int w, int h) noexcept;
    // The samples of an 8-bit element divided by 255; false for other depths.
    bool FromImage(const CPanoElement* image) noexcept;
    bool FromImage(const CImageD* image) noexcept;
    void Free() noexcept;
    // Exchanges the planes (sizes and data) of two images.
    void Swap(CImageD& other) noexcept
    {
        std::swap(width, other.width);
        std::swap(height, other.height);
        std::swap(data, other.data);
    }

    double* GetValue(int x, int y) const noexcept { return data + Index(x, y); }
    std::size_t Index(int x, int y) const noexcept
    {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x);
    }
    std::size_t SampleCount() const noexcept
    {
        return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    }
    bool IsEmpty() const noexcept { return width <= 0 || height <= 0; }

private:
    bool Allocate(int w, int h, bool zeroed) noexcept;
};

// While at least one PlaneReuse is alive (on any thread), freed planes are kept and
// handed to the next plane of the same sample count, so that a run of photos of one
// size analysed one after another touches its scale-space memory once instead of
// faulting fresh pages in for every photo. A request of a size that nothing kept
// fits empties the store first, so kept and live planes together never exceed what
// the planes alive at once needed without it. The last scope to end frees what is
// kept. Thread-safe.
class PlaneReuse {
public:
    PlaneReuse() noexcept;
    ~PlaneReuse();
    PlaneReuse(const PlaneReuse&) = delete;
    PlaneReuse& operator=(const PlaneReuse&) = delete;
};

// The levels of one octave; spacing is the size of one of its pixels in pixels of
// the input photo.
class CGaussianOctave {
public:
    // Level 0 is made at width x height (zero-filled); the other levels start empty
    // and take their size when filled. Throws panorama_error when level 0 cannot be
    // allocated.
    CGaussianOctave(int levels, int width, int height, double spacing);
    virtual ~CGaussianOctave() = default;

    std::vector<std::unique_ptr<CImageD>> m_levels;
    double m_spacing;
    int m_width;
    int m_height;
};

// Every level made at width x height.
class CDOGOctave : public CGaussianOctave {
public:
    CDOGOctave(int levels, int width, int height, double spacing);
};

// Octave o has spacing spacing0 * 2^o and size trunc(width / spacing) x
// trunc(height / spacing), width and height being the input photo's.
class CGaussianPyr {
public:
    CGaussianPyr(int octaves, int levels, int width, int height, double spacing0);
    virtual ~CGaussianPyr() { Free(); }
    CGaussianPyr(const CGaussianPyr&) = delete;
    CGaussianPyr& operator=(const CGaussianPyr&) = delete;

    CImageD* GetGaussian(int octave, int level) const { return m_octaves[static_cast<std::size_t>(octave)]->m_levels[static_cast<std::size_t>(level)].get(); }
    double GetSubsample(int octave) const { return m_octaves[static_cast<std::size_t>(octave)]->m_spacing; }
    int GetOctaveCount() const noexcept { return static_cast<int>(m_octaves.size()); }
    int GetLevelCount() const noexcept { return m_levelCount; }
    void Free() noexcept { m_octaves.clear(); }

protected:
    CGaussianPyr() = default;
    std::vector<std::unique_ptr<CGaussianOctave>> m_octaves;
    int m_levelCount = 0;
};

class CDOGPyr : public CGaussianPyr {
public:
    CDOGPyr(int octaves, int levels, int width, int height, double spacing0);
    CImageD* GetDOG(int octave, int level) const { return GetGaussian(octave, level); }
};

// Size of an octave's side: trunc(side / spacing); throws panorama_error when it does
// not fit an int.
int OctaveSide(int side, double spacing);

}  // namespace ScaleSpace

namespace PanoramaRecognition {

// Octave-0 level 0 before its pre-blur: the photo's grey samples at twice its width
// and height (source pixel (x, y) at (2x, 2y), the others averaged from their even
// neighbours with integer halving), divided by 255. 24-bit pixels with bytes b0, b1,
// b2 become (30 b2 + 59 b1 + 11 b0) / 100. Throws panorama_error for an image that
// is not 8-bit grey or 24-bit colour, has no pixels, or whose double size cannot be
// represented or allocated.
void MakeDoubledGreyLevel(const unsigned char* bits, int width, int height, std::ptrdiff_t bytesPerLine,
                          int bitsPerPixel, ScaleSpace::CImageD& out);

// Builds the whole Gaussian pyramid (octaves x (scales + 3) levels) from the doubled
// level, the table of level blurs in pixels of the input photo (octaves x
// (scales + 3); the caller sets sigma[0][0]) and, when `dog` is given, the difference
// pyramid (octaves x (scales + 2)). `gauss` must have level 0 of octave 0 already
// filled and pre-blurred. The levels above S of an octave are blurred on a helper
// thread while the next octave is built; every level gets the same values either
// way. Throws panorama_error when a level cannot be made.
void BuildScaleSpace(ScaleSpace::CGaussianPyr& gauss, ScaleSpace::CDOGPyr* dog, int scales, Utils::CMatrix2D& sigma);

}  // namespace PanoramaRecognition
