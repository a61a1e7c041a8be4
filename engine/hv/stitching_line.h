// Seam records of the Horizontal/Vertical engine and the minimum-cost seam search.
//
// A seam is found by Dijkstra's algorithm over an 8-bit difference buffer: every
// pixel costs its byte, moves go sideways or forward (down for a top-to-bottom seam,
// right for a left-to-right one), and a closed margin along the buffer's sides keeps
// the seam away from its edges. The priority queue is a 5-ary min-heap without
// decrease-key: an improved node is simply pushed again.
#pragma once

#include <climits>
#include <cstdint>
#include <vector>

#include "core/geometry.h"

// Starting width of the closed margin on each side of a seam search.
extern const int DEF_STITCHLINE_INDENT;

// Seam side bits: where the panorama's existing content lies relative to the photo.
enum SeamSide : unsigned char {
    kSeamLeft = 1,
    kSeamRight = 2,
    kSeamTop = 4,
    kSeamBottom = 8,
};

// One seam: a polyline in the target photo's local pixel coordinates. Left and right
// seams run top to bottom, top and bottom seams left to right.
struct CStLine {
    std::vector<VarnoBase::Point> points;
    VarnoBase::Point offset;  // top-left of the searched buffer, relative to the photo
    VarnoBase::Rect rect;     // the searched buffer, canvas coordinates
};

// The four seams of one photo, in the order left, right, top, bottom.
class CStitchingLine {
public:
    CStitchingLine() = default;

    // The line of side bit 1, 2, 4 or 8; any other value gives a shared empty line.
    const CStLine& GetPoints(unsigned char side) const;
    // Assigns each line whose pointer is not null.
    void SetStitchLines(const CStLine* left, const CStLine* right, const CStLine* top, const CStLine* bottom);
    // OR of the side bits whose lines hold points (0 to 15).
    unsigned char GetSeamOrient() const;

    CStLine m_left;
    CStLine m_right;
    CStLine m_top;
    CStLine m_bottom;
};

// 5-ary min-heap of (key, x, y). Adding never lets an entry pass an equal key, and
// among equal children the first is taken, so equal keys keep a fixed order.
class CNMinHeap {
public:
    struct Entry {
        int key;
        int x;
        int y;
    };

    explicit CNMinHeap(int capacity);

    // False, and the entry dropped, when the heap is full.
    bool Add(int key, int x, int y);
    // Smallest key and its position; INT_MAX (x, y untouched) when empty.
    int DeleteRoot(int* x, int* y);

    int Count() const noexcept { return m_count; }
    int Capacity() const noexcept { return m_capacity; }

private:
    static constexpr int kArity = 5;
    int m_arity = kArity;
    int m_capacity = 0;
    int m_count = 0;
    std::vector<Entry> m_entries;
};

// Margin closed on each side of a seam search for a buffer `extent` pixels across the
// seam: 16 above 64 pixels, 8 from 33 to 64, 4 from 9 to 32, 0 up to 8.
int GetStitchLineIndent(int extent) noexcept;

// Seam from the top row to the bottom row of a w x h byte buffer (left and right
// seams). `origin` is added to every point; with `flipped` the buffer is taken to be
// mirrored top to bottom and the points are mirrored back. Replaces line.points.
void GetOptimalStitchingLinePath(const unsigned char* bits, int width, int height, int stride, CStLine& line,
                                 VarnoBase::Point origin, bool flipped, int indent);
// The same from the left column to the right column (top and bottom seams); with
// `flipped` the buffer is taken to be mirrored left to right.
void GetHorzOptimalStitchingLinePath(const unsigned char* bits, int width, int height, int stride, CStLine& line,
                                     VarnoBase::Point origin, bool flipped, int indent);
