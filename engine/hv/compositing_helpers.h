// Pixel access shared by the Horizontal/Vertical engine's compositing stages (warping,
// seam set-up, equalisation, sewing and patching): raw rows of an element in canvas
// coordinates, taken once outside the pixel loops (asking the pixel store for its bits
// costs a call per pixel otherwise), and the canvas rectangle a transform carries a
// rectangle to. Used on the build thread and inside its row bands; the elements keep
// ownership of their planes.
#pragma once

#include <cstddef>

#include "core/geometry.h"
#include "core/pano_element.h"

namespace HvCompositing {

// Raw rows of a 24-bit element in canvas coordinates.
struct Plane24 {
    u8* bits;
    std::size_t bpl;
    VarnoBase::Point pos;

    explicit Plane24(const CPanoElement* e)
        : bits(e->GetBits()), bpl(static_cast<std::size_t>(e->GetBPL())), pos(e->m_position)
    {
    }
    u8* At(int x, int y) const
    {
        return bits + static_cast<std::size_t>(y - pos.y) * bpl + static_cast<std::size_t>(x - pos.x) * 3;
    }
};

// The alpha plane likewise; null rows when the element has none (fully opaque).
struct AlphaPlane {
    u8* bits;
    std::size_t bpl;
    VarnoBase::Point pos;

    explicit AlphaPlane(const CPanoElement* e)
        : bits(e->m_pAlpha), bpl(static_cast<std::size_t>(e->m_pAlpha ? e->GetAlphaBPL() : 0)), pos(e->m_position)
    {
    }
    u8* At(int x, int y) const
    {
        return bits ? bits + static_cast<std::size_t>(y - pos.y) * bpl + static_cast<std::size_t>(x - pos.x) : nullptr;
    }
};

// The canvas rectangle covering rectangle `r` carried through transform m (its corners,
// floor/ceil). False when a corner is not finite or lies beyond 2^29.
bool TransformedBounds(const double (*m)[3], const VarnoBase::Rect& r, VarnoBase::Rect* out);

// The rectangle of canvas pixels that a photo of size w x h covers under transform m
// (canvas -> photo): TransformedBounds of the photo through m's inverse. False when m
// cannot be inverted or the result does not fit integer coordinates.
bool WarpedRect(const double (*m)[3], int w, int h, VarnoBase::Rect* out);

}  // namespace HvCompositing
