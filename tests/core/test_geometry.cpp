#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "core/geometry.h"
#include "core/refcount.h"

using VarnoBase::Point;
using VarnoBase::Rect;

TEST(Rect, PredicatesSetOperationsContainmentAndQtConversion)
{
    // Null, valid and empty are distinct; a reversed rect is invalid, not empty.
    EXPECT_EQ((std::vector<bool>{Rect(5, 5, 5, 9).isEmpty(), Rect(5, 5, 5, 9).isNull(), Rect(5, 5, 5, 5).isEmpty(),
                                 Rect(5, 5, 5, 5).isNull(), Rect(7, 0, 3, 4).isValid(),
                                 Rect(7, 0, 3, 4).normalized().isEmpty()}),
              (std::vector<bool>{true, false, true, true, false, false}));
    // Touching rects meet in an empty rect that is not the zero one; a union keeps a null operand as stored.
    EXPECT_EQ(Rect(0, 0, 10, 10) & Rect(10, 0, 20, 10), Rect(10, 0, 10, 10));
    for (const Rect& r : {Rect(3, 3, 3, 3), Rect(20, 20, 30, 30)})
        EXPECT_EQ(Rect(0, 0, 10, 10) & r, Rect());
    EXPECT_EQ(Rect(0, 0, 0, 0) | Rect(7, 0, 3, 4), Rect(7, 0, 3, 4));
    EXPECT_EQ(Rect(20, 0, 30, 10) | Rect(0, 50, 10, 60), Rect(0, 0, 30, 60));
    for (const Rect& r : {Rect(0, 0, 10, 10), Rect(10, 10, 0, 0)})  // exclusive edges, reversed rects too
        EXPECT_EQ((std::vector<bool>{r.contains(Point(9, 9)), r.contains(Point(10, 5)), r.contains(Point(5, 10))}),
                  (std::vector<bool>{true, false, false}));
    const QRect q = Rect(2, 3, 12, 8);
    EXPECT_EQ(q, QRect(2, 3, 10, 5));
    EXPECT_EQ(Rect(q), Rect(2, 3, 12, 8));
}

namespace {
struct Counted : VarnoBase::RefCounter {
    explicit Counted(int* deleted) : RefCounter(1), deleted_(deleted) {}
    ~Counted() override { ++*deleted_; }
    int* deleted_;
    VarnoBase::RefPtr<Counted> next;
};
}  // namespace

TEST(RefPtr, AssigningHeldPointerKeepsCountNullReleasesAndTheNewIsTakenFirst)
{
    int deleted = 0;
    auto* obj = new Counted(&deleted);
    {
        VarnoBase::RefPtr<Counted> p(obj);
        EXPECT_EQ(obj->RefCount(), 2);
        p = obj;
        EXPECT_EQ(obj->RefCount(), 2);
        p = nullptr;
        EXPECT_EQ(std::pair(obj->RefCount(), p.get()), std::pair(1L, static_cast<Counted*>(nullptr)));
    }
    obj->Release();
    EXPECT_EQ(deleted, 1);

    // Stepping along a chain: the old object holds the new one's only other reference,
    // so the new reference must be taken before the old one is given up.
    int deletedTail = 0;
    {
        VarnoBase::RefPtr<Counted> p;
        p.Adopt(new Counted(&deleted));
        p->next.Adopt(new Counted(&deletedTail));
        p.Attach(p->next.get());
        EXPECT_EQ(std::tuple(deleted, deletedTail, p->RefCount()), std::tuple(2, 0, 1L));
    }
    EXPECT_EQ(deletedTail, 1);
}

TEST(RefPtr, MoveAssignmentOverAHeldPointerReleasesItAndTakesTheOther)
{
    int deletedOld = 0, deletedNew = 0;
    auto* moved = new Counted(&deletedNew);
    {
        VarnoBase::RefPtr<Counted> p, q;
        p.Adopt(new Counted(&deletedOld));  // p holds the only reference
        q.Adopt(moved);
        p = std::move(q);
        EXPECT_EQ(std::tuple(deletedOld, p.get(), q.get(), moved->RefCount()),
                  std::tuple(1, moved, static_cast<Counted*>(nullptr), 1L));
    }
    EXPECT_EQ(deletedNew, 1);
}
