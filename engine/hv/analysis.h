// Photo analysis and pair matching of the Horizontal/Vertical engine: free helpers
// beside the CPanorama members that build the match graph.
#pragma once

#include <string>
#include <vector>

#include "core/geometry.h"
#include "core/keypoints.h"
#include "core/match_graph.h"
#include "core/pano_element.h"

// Takes the feature store of the photo with this path out of the previous build's
// lists (the caller owns it); null when there is none or it is not a complete analysis.
CImageDataBase* ExtractImageDescriptor(const std::wstring& path, const std::vector<CPanoElement*>& oldWorking,
                                       std::vector<CImageDataBase*>& oldStores);

// Three well-spread, well-fitting inlier positions of a matched pair on its first
// photo (working pixels), the starting markers of the matching dialog. false when the
// link has fewer than three usable inliers or they do not spread: use the default markers.
bool GetBestThreePoints(const match_graph::CGraphLink* link,
                        const ScaleSpace::CKeypointArray<ScaleSpace::SIFT>& firstKeys,
                        const ScaleSpace::CKeypointArray<ScaleSpace::SIFT>& secondKeys, VarnoBase::Point* out);

// Threads that analyse photos and match pairs at once (0: one per core for matching,
// and for analysis as many as the memory of the render allows). Results do not depend
// on it; tests and benchmarks compare the settings.
void SetMatchingThreads(int threads);
// The count set (0: the default).
int MatchingThreads();
