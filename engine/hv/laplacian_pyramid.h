// 8-bit Gaussian and Laplacian pyramids for the multiresolution spline.
//
// Reduce filters with the 5-tap kernel (1 5 8 5 1)/20 and keeps every second sample,
// mapping n samples to n/2 + 1; the expansion interpolates back to 2n - 1 samples
// with (1 8 1)/10 at even and (1 1)/2 at odd positions. A Laplacian level keeps
// fine - expanded coarse + 128, clamped to a byte. All arithmetic is integer with
// truncating division.
#pragma once

#include <cstdint>
#include <vector>

#include "core/refcount.h"

namespace LaplacianPyramid {

// Thrown when a level's samples cannot be allocated.
struct outofmemory {};

class CLevel : public VarnoBase::RefCounter {
public:
    // Zero-filled width x height samples, rows padded to a multiple of 4 bytes.
    // Throws outofmemory when the samples cannot be allocated.
    CLevel(int width, int height);
    ~CLevel() override;
    CLevel(const CLevel&) = delete;
    CLevel& operator=(const CLevel&) = delete;

    unsigned char* Row(int y) const noexcept
    {
        return data + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride);
    }

    int width = 0;
    int height = 0;
    int stride = 0;
    unsigned char* data = nullptr;
};

// Level 0 is the finest; each held level carries one reference.
class CPyramid {
public:
    CPyramid() = default;
    ~CPyramid();
    CPyramid(const CPyramid&) = delete;
    CPyramid& operator=(const CPyramid&) = delete;

    // Appends levels 1 .. levels-1, each reduced from the one before; with
    // `laplacian` every level but the top becomes the difference to its expansion.
    void Build(int levels, bool laplacian);
    void RemoveLevels();
    // Takes level i out and hands its reference to the caller.
    CLevel* RemoveLevel(int i);

    std::vector<CLevel*> levels;
};

// A new level of w/2 + 1 by h/2 + 1 samples (count 1, owned by the caller).
CLevel* Reduce(const CLevel* level);
// fine := clamp(fine - expand(coarse) + 128); the fine level must be
// (2 * coarse.width - 1) x (2 * coarse.height - 1).
void Expand_Laplacian(const CLevel* fine, const CLevel* coarse);
// fine := clamp(fine + expand(coarse) - 128).
void Expand_AndAdd(const CLevel* fine, const CLevel* coarse);

}  // namespace LaplacianPyramid
