// The quick two-photo preview of the manual matching dialog.
#pragma once

#include <atomic>

#include "core/pano_element.h"

namespace PanoramaLib {

// Draws `first` and `second` (both 24-bit, each in its own pixel coordinates: the
// elements' positions are not read) onto one new canvas, the second through m (first
// photo -> second photo): nearest-neighbour sampling, overlapping pixels averaged,
// uncovered pixels white. Returns a new element holding one reference for the caller,
// or null when a photo is not 24-bit, the transform is not finite or carries the
// second photo outside the 16-bit coordinate range, the canvas would exceed 2^28
// pixels or cannot be made, or `abortFlag` is (or becomes) non-zero.
//
// Once the transform has passed those checks, m's translation column is rewritten so
// that m maps canvas pixels to the second photo's pixels (the preview thread keeps it
// to recognise a repeated request); a refused transform is left as it was.
//
// Safe to call from a worker thread: it reads only its arguments; another thread
// cancels it by setting `abortFlag`, which is polled throughout. Never throws.
IPanoElement* StitchTwoImagesFast(IPanoElement* first, IPanoElement* second, double (*m)[3],
                                  const std::atomic<int>& abortFlag);

}  // namespace PanoramaLib
