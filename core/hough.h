// Hough voting of keypoint matches for a similarity transform (rotation, uniform scale,
// translation) from a query photo into each photo of a feature database; every group of
// matches that agrees on one transform becomes a candidate for the robust fit.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "core/keypoints.h"

namespace ScaleSpace {

// Owning array of index lists (the candidates' lists).
class CIntArrPtrArray : public std::vector<std::vector<int>*> {
public:
    CIntArrPtrArray() = default;
    CIntArrPtrArray(const CIntArrPtrArray&) = delete;
    CIntArrPtrArray& operator=(const CIntArrPtrArray&) = delete;
    ~CIntArrPtrArray() { Free(); }
    void Free() noexcept
    {
        for (std::vector<int>* v : *this)
            DeleteObject<std::vector<int>>()(v);
        clear();
    }
};

}  // namespace ScaleSpace

namespace Utils {

// 4-D table of lazily created int lists; bin (i0, i1, i2, i3) is entry
// ((i3 * d3 + i2) * d2 + i1) * d1 + i0. Indices are not checked.
class CIntPtrArray4D {
public:
    CIntPtrArray4D(int n1, int n2, int n3, int n4) : d1(n1), d2(n2), d3(n3), d4(n4) {}
    CIntPtrArray4D(const CIntPtrArray4D&) = delete;
    CIntPtrArray4D& operator=(const CIntPtrArray4D&) = delete;
    ~CIntPtrArray4D();

    bool Alloc();   // false when the table cannot be allocated
    void Zeros();   // empties every bin, keeps the table
    bool Add(int value, int i0, int i1, int i2, int i3);

    std::size_t Count() const { return static_cast<std::size_t>(d1) * d2 * d3 * d4; }
    std::size_t Index(int i0, int i1, int i2, int i3) const
    {
        return ((static_cast<std::size_t>(i3) * d3 + i2) * d2 + i1) * d1 + i0;
    }
    // The bin's list (null when empty); Take hands it over and leaves the bin empty.
    std::vector<int>* Get(std::size_t index) const { return m_bins[index]; }
    std::vector<int>* Take(std::size_t index)
    {
        std::vector<int>* v = m_bins[index];
        m_bins[index] = nullptr;
        return v;
    }

    int d1, d2, d3, d4;

private:
    std::unique_ptr<std::vector<int>*[]> m_bins;
};

}  // namespace Utils

namespace PanoramaRecognition {

// Matches the query photo's descriptors against the database (tree: a kd_tree over the
// database's descriptors) with the distance-ratio test, then, per database photo with
// more than `threshold` matches, votes each match into 16 bins of a (tx, ty, rotation,
// scale) histogram. Appends to the five outputs each bin scoring above threshold: photo
// index, score and its query / database keypoint index and quality lists (ownership
// passes). With suppress, bins that are not local maxima are dropped first. hook, when
// given, may edit the neighbour list before it is read. false only when the tables cannot
// be allocated (nothing appended then).
bool HoughSimularity(void* tree, CImageDataBase& database, const ScaleSpace::CKeypointArray<ScaleSpace::SIFT>& keys,
                     ScaleSpace::CKeypointArray<ScaleSpace::CKeyDescriptor>& descriptors, double threshold,
                     bool suppress, std::vector<int>& imageIndices, ScaleSpace::CIntArrPtrArray& queryLists,
                     ScaleSpace::CIntArrPtrArray& databaseLists, ScaleSpace::CIntArrPtrArray& qualityLists,
                     std::vector<double>& scores, void (*hook)(std::vector<int>&), double ratio);

}  // namespace PanoramaRecognition
