#include "core/keypoints.h"

#include <algorithm>
#include <stdexcept>

namespace ScaleSpace {

template <class T>
void CKeypointArray<T>::push_back(std::unique_ptr<T> record)
{
    if (m_owner)
        throw std::logic_error("CKeypointArray: a view cannot take records");
    m_items.reserve(m_items.size() + 1);
    m_owned.reserve(m_owned.size() + 1);
    m_items.push_back(record.get());
    m_owned.push_back(std::move(record));
}

template <class T>
void CKeypointArray<T>::reserve(std::size_t n)
{
    m_items.reserve(n);
    if (!m_owner)
        m_owned.reserve(n);
}

template <class T>
void CKeypointArray<T>::detachView(CKeypointArray* view) noexcept
{
    auto it = std::find(m_views.begin(), m_views.end(), view);
    if (it != m_views.end())
        m_views.erase(it);
}

template <class T>
void CKeypointArray<T>::Free() noexcept
{
    if (m_owner) {
        m_owner->detachView(this);
        m_owner = nullptr;
    }
    // The records are about to go: no view may keep pointers to them.
    for (CKeypointArray* view : m_views) {
        view->m_items.clear();
        view->m_owner = nullptr;
    }
    m_views.clear();
    m_items.clear();
    m_owned.clear();  // deletes the owned records
}

template <class T>
void CKeypointArray<T>::ShareFrom(const CKeypointArray& src)
{
    if (&src == this)
        return;
    CKeypointArray* owner = src.m_owner ? src.m_owner : const_cast<CKeypointArray*>(&src);
    if (owner == this)  // src is a view of this array: nothing to share
        return;
    Free();
    m_items = src.m_items;
    if (m_items.empty())  // nothing shared, nothing to track
        return;
    owner->m_views.push_back(this);
    m_owner = owner;
}

template class CKeypointArray<SIFT>;
template class CKeypointArray<CKeyDescriptor>;
template class CKeypointArray<CKeyPoint>;

}  // namespace ScaleSpace

CImageDataBase::CImageDataBase(const CImageDataBase* source) : m_bView(true)
{
    if (!source)
        return;
    m_keys.ShareFrom(source->m_keys);
    m_descriptors.ShareFrom(source->m_descriptors);
    m_objectIndex = source->m_objectIndex;
    m_objectSizes = source->m_objectSizes;
}

CImageDataBase::~CImageDataBase()
{
    Free();
}

void CImageDataBase::Free() noexcept
{
    m_keys.Free();
    m_descriptors.Free();
}

bool CImageDataBase::SetSingleObject(const VarnoBase::Size& size)
{
    m_objectSizes.push_back(size);
    const int object = static_cast<int>(m_objectSizes.size()) - 1;
    m_objectIndex.assign(m_keys.size(), object);
    return true;
}

bool CImageDataBase::AddObject(const ScaleSpace::CKeypointArray<ScaleSpace::SIFT>& keys,
                               const ScaleSpace::CKeypointArray<ScaleSpace::CKeyDescriptor>& descriptors,
                               const VarnoBase::Size& size)
{
    if (m_bView || keys.size() != descriptors.size())
        return false;
    // Copy first so a failed allocation leaves the store as it was.
    std::vector<std::unique_ptr<ScaleSpace::SIFT>> newKeys;
    std::vector<std::unique_ptr<ScaleSpace::CKeyDescriptor>> newDescriptors;
    newKeys.reserve(keys.size());
    newDescriptors.reserve(descriptors.size());
    for (const ScaleSpace::SIFT* k : keys)
        newKeys.push_back(std::make_unique<ScaleSpace::SIFT>(*k));
    for (const ScaleSpace::CKeyDescriptor* d : descriptors)
        newDescriptors.push_back(std::make_unique<ScaleSpace::CKeyDescriptor>(*d));
    m_objectSizes.push_back(size);
    const int object = static_cast<int>(m_objectSizes.size()) - 1;
    // Keypoints that never got an object (no SetSingleObject) are marked -1 so the
    // index stays parallel to the keys.
    m_objectIndex.resize(m_keys.size(), -1);
    m_keys.reserve(m_keys.size() + newKeys.size());
    m_descriptors.reserve(m_descriptors.size() + newDescriptors.size());
    for (auto& k : newKeys) {
        m_keys.push_back(std::move(k));
        m_objectIndex.push_back(object);
    }
    for (auto& d : newDescriptors)
        m_descriptors.push_back(std::move(d));
    return true;
}

VarnoBase::Size CImageDataBase::GetModel(int i) const
{
    if (i < 0 || static_cast<std::size_t>(i) >= m_objectSizes.size())
        return {};
    return m_objectSizes[static_cast<std::size_t>(i)];
}
