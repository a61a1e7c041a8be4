// Multiresolution spline (Burt and Adelson) of two overlapping 24-bit photos: each
// colour channel of both photos becomes a Laplacian pyramid, the pyramids are mixed
// level by level under a Gaussian pyramid of the first photo's alpha, and the mix is
// collapsed back into one image that InsertResult writes into the panorama.
#pragma once

#include "core/geometry.h"
#include "core/pano_element.h"
#include "engine/hv/laplacian_pyramid.h"

namespace MultiresolutionSpline {

class CSplineRGB {
public:
    CSplineRGB() = default;
    ~CSplineRGB();
    CSplineRGB(const CSplineRGB&) = delete;
    CSplineRGB& operator=(const CSplineRGB&) = delete;

    // Blends `first` over `second` inside the part of `second`'s opaque area that
    // `first` covers, with `levels` pyramid levels (at least 2). True when the blend
    // is ready for InsertResult. Every call starts from a clean object.
    bool Initialize(int levels, CPanoElement* first, CPanoElement* second);
    // Writes the blend into `destination` (the colour and, following the first
    // photo's mask plane, the alpha) and drops the pyramids; nothing unless ready.
    void InsertResult(CPanoElement* destination);

    bool IsReady() const noexcept { return m_bReady; }
    // The blended area (canvas coordinates) and its padded working area.
    VarnoBase::Rect GetBlendRect() const noexcept { return m_rcBlend; }
    VarnoBase::Rect GetWorkRect() const noexcept { return m_rcWork; }

private:
    void Reset();

    LaplacianPyramid::CPyramid m_first[3];   // channel 0 = byte 2, 1 = byte 1, 2 = byte 0
    LaplacianPyramid::CPyramid m_second[3];
    LaplacianPyramid::CPyramid m_mask;
    VarnoBase::Rect m_rcWork;
    VarnoBase::Rect m_rcBlend;
    bool m_bReady = false;
    CPanoElement* m_pFirst = nullptr;
};

// Pads a blend area so that each dimension becomes k * 2^(levels-1) + 1: a dimension
// already a multiple of the step grows by one at the right (bottom), any other is
// padded to the next multiple plus one, split floor(e/2) before and the rest after.
// Empty when the padded size cannot be represented.
VarnoBase::Rect PadBlendRect(const VarnoBase::Rect& blend, int levels);

// Copies the photo's part of the work rectangle into the three channel levels (and its
// alpha into the mask level when one is given), then gives every position the photo
// does not cover the samples of the nearest covered position along its row or column.
void CopyImage(CPanoElement* photo, LaplacianPyramid::CLevel* channel0, LaplacianPyramid::CLevel* channel1,
               LaplacianPyramid::CLevel* channel2, LaplacianPyramid::CLevel* mask, const VarnoBase::Rect& work);
// For every position whose `cover` byte is 0, the first covered position at distance
// d = 1, 2, ... tested left, right, above, below in that order gives its samples.
// Linear time: the nearest covered cell in each direction is found by four sweeps.
void FillHoles(const unsigned char* cover, std::size_t coverStride, LaplacianPyramid::CLevel* c0,
               LaplacianPyramid::CLevel* c1, LaplacianPyramid::CLevel* c2);
// a := (a * m + b * (255 - m)) / 255 at every level.
void SpliningImages(LaplacianPyramid::CPyramid& a, LaplacianPyramid::CPyramid& b, LaplacianPyramid::CPyramid& mask);
// Collapses a Laplacian pyramid into its finest level.
void ReconstuctImageChannel(LaplacianPyramid::CPyramid& pyramid);

}  // namespace MultiresolutionSpline
