// Ownership of keypoint records: owning arrays, views and feature stores. Every case
// here also runs under AddressSanitizer, which turns a dangling view, a double delete
// or a leak into a failure.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "core/keypoints.h"

using ScaleSpace::CKeyDescriptor;
using ScaleSpace::CKeypointArray;
using ScaleSpace::SIFT;
using VarnoBase::Size;

namespace {

// n keypoints at (i, 2i) with descriptors whose first value is i.
void fill(CKeypointArray<SIFT>& keys, CKeypointArray<CKeyDescriptor>& descriptors, int n, double base = 0)
{
    for (int i = 0; i < n; ++i) {
        SIFT* k = keys.emplace_back(base + i, 2.0 * (base + i), 0.5, 1, 2, 1.6);
        ASSERT_EQ(k, keys.back());
        auto d = std::make_unique<CKeyDescriptor>();
        d->v[0] = base + i;
        d->v[127] = 1.0;
        descriptors.push_back(std::move(d));
    }
}

}  // namespace

TEST(KeypointArray, AViewSharesTheOwnersRecordsUntilEitherLetsGo)
{
    auto owner = std::make_unique<CKeypointArray<SIFT>>();
    owner->emplace_back(7.0, 8.0);
    owner->emplace_back(2.0, 2.0);
    CKeypointArray<SIFT> view, viewOfView;
    view.ShareFrom(*owner);
    viewOfView.ShareFrom(view);  // shares the owner's records, tracked by the owner
    ASSERT_TRUE(view.IsView());
    ASSERT_EQ(viewOfView.size(), 2u);
    EXPECT_EQ(view[0], (*owner)[0]);  // the same record, not a copy
    EXPECT_THROW(view.push_back(std::make_unique<SIFT>()), std::logic_error);
    EXPECT_EQ(view.size(), 2u);
    {
        CKeypointArray<SIFT> freed, shortLived;  // views may let go or die first
        freed.ShareFrom(*owner);
        shortLived.ShareFrom(*owner);
        freed.Free();
        EXPECT_TRUE(freed.empty() && !freed.IsView());
    }
    ASSERT_EQ(owner->size(), 2u);
    EXPECT_EQ((*owner)[0]->y, 8.0);  // still alive

    owner->Free();  // views still sharing are emptied
    EXPECT_TRUE(view.empty() && viewOfView.empty());
    owner->emplace_back(3.0, 3.0);
    view.ShareFrom(*owner);
    ASSERT_EQ(view.size(), 1u);
    owner->ShareFrom(*owner);  // sharing with oneself changes nothing
    EXPECT_FALSE(owner->IsView());
    owner.reset();  // destroying the owner empties the view as well
    EXPECT_TRUE(view.empty() && !view.IsView());
}

TEST(ImageDataBase, SetSingleObjectTakesEveryKeypointAndAddObjectCopiesOnlyTheNewOnes)
{
    CImageDataBase db;
    fill(db.m_keys, db.m_descriptors, 1);
    ASSERT_TRUE(db.SetSingleObject(Size(640, 480)));
    EXPECT_EQ(db.m_objectIndex, std::vector<int>({0}));
    fill(db.m_keys, db.m_descriptors, 1, 1);
    ASSERT_TRUE(db.SetSingleObject(Size(100, 100)));
    EXPECT_EQ(db.m_objectIndex, std::vector<int>({1, 1}));  // earlier ones included
    EXPECT_EQ(std::pair(db.GetModel(0), db.GetModel(1)), std::pair(Size(640, 480), Size(100, 100)));
    EXPECT_EQ(std::pair(db.GetModel(3), db.GetModel(-1)), std::pair(Size(), Size()));
    EXPECT_FALSE(db.IsView());

    CKeypointArray<SIFT> keys;
    CKeypointArray<CKeyDescriptor> descriptors;
    fill(keys, descriptors, 3, 50);
    ASSERT_TRUE(db.AddObject(keys, descriptors, Size(300, 200)));
    ASSERT_TRUE(db.m_keys.size() == 5 && db.m_descriptors.size() == 5);
    EXPECT_EQ(db.m_objectIndex, std::vector<int>({1, 1, 2, 2, 2}));  // only the new ones
    EXPECT_EQ(db.GetModel(2), Size(300, 200));
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(db.m_keys[2 + i] != keys[i] && db.m_keys[2 + i]->x == keys[i]->x &&
                    db.m_descriptors[2 + i]->v[0] == 50.0 + double(i)) << i;
    // Both sides free their own records (a shared record would be deleted twice).
    keys.Free();
    descriptors.Free();
    EXPECT_EQ(db.m_keys[4]->x, 52.0);

    // Empty arrays still add an object and change no index.
    ASSERT_TRUE(db.AddObject(keys, descriptors, Size(7, 9)));
    EXPECT_EQ(std::pair(db.GetObjectCount(), db.GetModel(3)), std::pair(4, Size(7, 9)));
    EXPECT_EQ(db.m_objectIndex, std::vector<int>({1, 1, 2, 2, 2}));

    // Arrays of different lengths are refused.
    keys.emplace_back();
    EXPECT_TRUE(!db.AddObject(keys, descriptors, Size(1, 1)) && db.GetObjectCount() == 4);
}

TEST(ImageDataBase, AViewSharesTheRecordsAndTheLists)
{
    auto owner = std::make_unique<CImageDataBase>();
    fill(owner->m_keys, owner->m_descriptors, 4);
    owner->SetSingleObject(Size(800, 600));

    auto view = std::make_unique<CImageDataBase>(owner.get());
    ASSERT_TRUE(view->IsView() && view->m_keys.size() == 4);
    EXPECT_TRUE(view->m_keys[3] == owner->m_keys[3] && view->m_descriptors[3] == owner->m_descriptors[3]);
    EXPECT_EQ(std::pair(view->m_objectIndex, view->GetModel(0)), std::pair(owner->m_objectIndex, Size(800, 600)));
    EXPECT_FALSE(view->AddObject(owner->m_keys, owner->m_descriptors, Size(1, 1)));

    // Free on the view: the records stay usable through the owner; index and sizes stay.
    view->Free();
    EXPECT_TRUE(view->m_keys.empty() && view->m_descriptors.empty() && view->m_objectIndex.size() == 4);
    EXPECT_TRUE(owner->m_keys[2]->x == 2.0 && owner->m_descriptors[2]->v[0] == 2.0);

    // An owner deleted before its view (the stores of an earlier build are deleted in
    // list order) leaves the view empty rather than dangling.
    auto view2 = std::make_unique<CImageDataBase>(owner.get());
    ScaleSpace::DeleteObject<CImageDataBase>()(owner.release());
    EXPECT_TRUE(view2->m_keys.empty() && view2->m_descriptors.empty());
    ScaleSpace::DeleteObject<>()(view2.release());
    ScaleSpace::DeleteObject<CImageDataBase>()(nullptr);

    CImageDataBase fromNull(nullptr);
    EXPECT_TRUE(fromNull.m_keys.empty() && fromNull.GetObjectCount() == 0);
}
