// Mosaic geometry of the Horizontal/Vertical engine: the match graph grows into a star
// of transforms around one root photo; the canvas and each photo's canvas transform
// follow from it. Frames: a mosaic link maps the root frame (root photo pixels, turned
// by the ring rotation) into its photo's pixels; a canvas transform maps canvas pixels
// (origin at the canvas's top-left corner) into photo pixels.
#pragma once

#include "core/geometry.h"
#include "core/match_graph.h"

// The node's link with the most inliers in keys2 (the first on ties); null without links.
match_graph::CGraphLink* GetBetterNearestNeighbour(match_graph::CGraphNode* node);

// out = the link's transform oriented from photo j's frame into photo i's.
// Returns false when the link has to be inverted and cannot be (singular).
bool GetAffineTransform(int i, int j, const match_graph::CGraphLink* link, double (*out)[3]);

// Fills a mosaic link (a, b) with transform m and the fit figures and inlier lists of
// `source`, keys1 always belonging to a.
void InitLink(match_graph::CGraphLink* link, int a, int b, const match_graph::CGraphLink* source,
              const double (*m)[3]);

// Bounds of a photo of `size` in the frame that m maps from: its four corners
// (0,0), (w,0), (0,h), (w,h) through m's inverse. False when m is singular.
bool project_img(const double (*m)[3], const VarnoBase::Size& size, double* minX, double* maxX, double* minY,
                 double* maxY);
