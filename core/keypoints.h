// SIFT keypoint and descriptor records, the arrays that own them, and CImageDataBase,
// the feature store of one or more photos ("objects").
//
// Ownership: a CKeypointArray either owns its records (filled through push_back /
// emplace_back) or is a view of another array's records (ShareFrom). An owning array
// remembers its views; whenever it deletes its records (Free, destruction) it empties
// every view first, so a view never holds a pointer to a deleted record.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <vector>

#include "core/geometry.h"

namespace ScaleSpace {

inline constexpr int kDescriptorLength = 128;  // 4 x 4 cells x 8 orientation bins

// One keypoint as extraction reports it.
struct SIFT {
    double x = 0;            // position in pixels of the photo it was found in
    double y = 0;
    double orientation = 0;  // radians, in [-pi, pi)
    int octave = 0;          // pyramid level it was found on
    int scale = 0;
    double sigma = 0;        // blur of that level, in pixels of the photo
};

// 128 values, index (4 r + q) * 8 + b: r the cell along the keypoint's rotated x axis,
// q along its rotated y axis, b the orientation bin.
struct CKeyDescriptor {
    double v[kDescriptorLength] = {};

    double& operator[](int i) noexcept { return v[i]; }
    const double& operator[](int i) const noexcept { return v[i]; }
    double* data() noexcept { return v; }
    const double* data() const noexcept { return v; }
};

// A scale-space extremum inside extraction: pixels of its octave.
struct CKeyPoint {
    int x = 0;
    int y = 0;
    int octave = 0;
    int scale = 0;
};

// Deleting functor for owning pointer containers: null is ignored, anything else is
// deleted (its destructor frees what it holds). DeleteObject<T>() deletes T*;
// DeleteObject<>() deletes any pointer type.
template <class T = void>
struct DeleteObject {
    void operator()(T* p) const noexcept { delete p; }
};
template <>
struct DeleteObject<void> {
    template <class U>
    void operator()(U* p) const noexcept { delete p; }
};

// A vector of pointers to records of type T. Element access gives T*; iteration visits
// T* values in order.
template <class T>
class CKeypointArray {
public:
    using value_type = T*;
    using const_iterator = typename std::vector<T*>::const_iterator;

    CKeypointArray() = default;
    CKeypointArray(const CKeypointArray&) = delete;
    CKeypointArray& operator=(const CKeypointArray&) = delete;
    ~CKeypointArray() { Free(); }

    // Appends a record that this array then owns. Not allowed on a view (throws
    // std::logic_error).
    void push_back(std::unique_ptr<T> record);
    template <class... Args>
    T* emplace_back(Args&&... args)
    {
        auto record = std::make_unique<T>(T{std::forward<Args>(args)...});
        T* raw = record.get();
        push_back(std::move(record));
        return raw;
    }

    // Deletes every owned record (emptying this array's views first) and empties the
    // array; a view only empties itself and stops being a view.
    void Free() noexcept;

    // Makes this array a view of src's records (src itself when it owns them, else the
    // array src is a view of): Free, then the pointers are copied. The view must not
    // be used to add records.
    void ShareFrom(const CKeypointArray& src);

    bool IsView() const noexcept { return m_owner != nullptr; }

    std::size_t size() const noexcept { return m_items.size(); }
    bool empty() const noexcept { return m_items.empty(); }
    void reserve(std::size_t n);
    T* operator[](std::size_t i) const noexcept { return m_items[i]; }
    T* at(std::size_t i) const { return m_items.at(i); }
    T* back() const noexcept { return m_items.back(); }
    const_iterator begin() const noexcept { return m_items.begin(); }
    const_iterator end() const noexcept { return m_items.end(); }
    // The record pointers in order (for code that wants a plain T* const* array).
    T* const* data() const noexcept { return m_items.data(); }

private:
    void detachView(CKeypointArray* view) noexcept;

    std::vector<T*> m_items;                  // every record, owned or shared
    std::vector<std::unique_ptr<T>> m_owned;  // the records this array owns (same order)
    CKeypointArray* m_owner = nullptr;        // a view: the array owning the records
    mutable std::vector<CKeypointArray*> m_views;  // an owner: its current views
};

extern template class CKeypointArray<SIFT>;
extern template class CKeypointArray<CKeyDescriptor>;
extern template class CKeypointArray<CKeyPoint>;

}  // namespace ScaleSpace

// Feature store of one or more photos: keypoints, their descriptors (parallel), for each
// keypoint the object (photo) it belongs to, and each object's image size. A store owns
// its records, or is a non-owning view of another store made by the const pointer
// constructor (a duplicated photo gets the same features as its original); a view is
// emptied when its owner frees its records, so it never dangles.
class CImageDataBase {
public:
    CImageDataBase() = default;
    // A view of source's records (source null: an empty view).
    explicit CImageDataBase(const CImageDataBase* source);
    CImageDataBase(const CImageDataBase&) = delete;
    CImageDataBase& operator=(const CImageDataBase&) = delete;
    ~CImageDataBase();

    // An owning store deletes its records; a view forgets them. Both arrays are emptied;
    // the object index and object sizes stay as they are.
    void Free() noexcept;

    // Appends size as a new object and assigns every keypoint (earlier ones included) to
    // it. Call after extraction filled m_keys and m_descriptors with one photo's features.
    bool SetSingleObject(const VarnoBase::Size& size);

    // Appends copies of the given records as a new object of the given size; only the
    // appended keypoints get the new object index. The store owns the copies and the
    // given arrays keep theirs, so no record has two owners. Refuses (false) on a view
    // and when the two arrays differ in length.
    bool AddObject(const ScaleSpace::CKeypointArray<ScaleSpace::SIFT>& keys,
                   const ScaleSpace::CKeypointArray<ScaleSpace::CKeyDescriptor>& descriptors,
                   const VarnoBase::Size& size);

    // Image size of object i (a copy); Size(0, 0) for an index out of range.
    VarnoBase::Size GetModel(int i) const;

    int GetObjectCount() const noexcept { return static_cast<int>(m_objectSizes.size()); }
    bool IsView() const noexcept { return m_bView; }

    ScaleSpace::CKeypointArray<ScaleSpace::SIFT> m_keys;
    ScaleSpace::CKeypointArray<ScaleSpace::CKeyDescriptor> m_descriptors;  // parallel to m_keys
    std::vector<int> m_objectIndex;                  // per keypoint: its object
    std::vector<VarnoBase::Size> m_objectSizes;      // per object: image size

private:
    bool m_bView = false;
};
