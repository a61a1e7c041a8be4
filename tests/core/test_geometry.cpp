#include <gtest/gtest.h>

#include "core/geometry.h"
#include "core/panorama_exceptions.h"
#include "core/refcount.h"

using VarnoBase::Point;
using VarnoBase::Rect;

TEST(RectPredicates, NullValidEmptyAreDistinct)
{
    EXPECT_TRUE(Rect(5, 5, 5, 9).isEmpty());
    EXPECT_FALSE(Rect(5, 5, 5, 9).isNull());
    EXPECT_TRUE(Rect(5, 5, 5, 5).isEmpty());
    EXPECT_TRUE(Rect(5, 5, 5, 5).isNull());
    EXPECT_FALSE(Rect(7, 0, 3, 4).isValid());
    EXPECT_FALSE(Rect(7, 0, 3, 4).normalized().isEmpty());
}

TEST(RectSetOperations, IntersectionOfTouchingRectsIsEmptyButNotZero)
{
    EXPECT_EQ(Rect(0, 0, 10, 10) & Rect(10, 0, 20, 10), Rect(10, 0, 10, 10));
    EXPECT_EQ(Rect(0, 0, 10, 10) & Rect(3, 3, 3, 3), Rect());
    EXPECT_EQ(Rect(0, 0, 10, 10) & Rect(20, 20, 30, 30), Rect());
}

TEST(RectSetOperations, UnionKeepsNullOperandAsStored)
{
    EXPECT_EQ(Rect(0, 0, 0, 0) | Rect(7, 0, 3, 4), Rect(7, 0, 3, 4));
    EXPECT_EQ(Rect(20, 0, 30, 10) | Rect(0, 50, 10, 60), Rect(0, 0, 30, 60));
}

TEST(RectContains, ExclusiveEdgesAndReversedRects)
{
    for (const Rect& r : {Rect(0, 0, 10, 10), Rect(10, 10, 0, 0)}) {
        EXPECT_TRUE(r.contains(Point(9, 9)));
        EXPECT_FALSE(r.contains(Point(10, 5)));
        EXPECT_FALSE(r.contains(Point(5, 10)));
    }
}

TEST(RectQtConversion, RoundTripKeepsPixels)
{
    const QRect q = Rect(2, 3, 12, 8);
    EXPECT_EQ(q, QRect(2, 3, 10, 5));
    EXPECT_EQ(Rect(q), Rect(2, 3, 12, 8));
}

namespace {
struct Counted : VarnoBase::RefCounter {
    explicit Counted(int* deleted) : RefCounter(1), deleted_(deleted) {}
    ~Counted() override { ++*deleted_; }
    int* deleted_;
};
}  // namespace

TEST(RefPtr, AssigningHeldPointerKeepsCountAndNullReleases)
{
    int deleted = 0;
    auto* obj = new Counted(&deleted);
    {
        VarnoBase::RefPtr<Counted> p(obj);
        EXPECT_EQ(obj->RefCount(), 2);
        p = obj;
        EXPECT_EQ(obj->RefCount(), 2);
        p = nullptr;
        EXPECT_EQ(obj->RefCount(), 1);
        EXPECT_EQ(p.get(), nullptr);
    }
    obj->Release();
    EXPECT_EQ(deleted, 1);
}

TEST(RefPtr, MoveAssignmentOverAHeldPointerReleasesItAndTakesTheOther)
{
    int deletedOld = 0, deletedNew = 0;
    auto* held = new Counted(&deletedOld);
    auto* moved = new Counted(&deletedNew);
    {
        VarnoBase::RefPtr<Counted> p(held);
        VarnoBase::RefPtr<Counted> q(moved);
        held->Release();  // p holds the only reference now
        moved->Release();
        p = std::move(q);
        EXPECT_EQ(deletedOld, 1);
        EXPECT_EQ(p.get(), moved);
        EXPECT_EQ(q.get(), nullptr);
        EXPECT_EQ(moved->RefCount(), 1);
    }
    EXPECT_EQ(deletedNew, 1);
}

TEST(BuildExceptions, AbortIsAnErrorButCannotBuildIsNot)
{
    EXPECT_TRUE((std::is_base_of_v<panorama_error, panorama_abort>));
    EXPECT_FALSE((std::is_base_of_v<panorama_error, panorama_cannot_build>));
}
