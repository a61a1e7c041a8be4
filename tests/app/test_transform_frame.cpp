// The transform frame as the crop tool uses it (axis-aligned, no centre or rotor
// handles), plus the rotor and aspect paths the crop tool leaves off.
#include <gtest/gtest.h>

#include <numbers>

#include "app/transform_frame.h"

using namespace TransformFrame;

namespace {

struct Recorder : IMouseInputCallback {
    Qt::CursorShape cursor = Qt::BlankCursor;
    QRegion repainted;
    void SetMouseCursor(const QCursor& c) override { cursor = c.shape(); }
    void UpdateInputRgn(const QRegion& r) override { repainted |= r; }
    QPaintDevice* GetPaintDevice() override { return nullptr; }
};

// The crop tool's configuration: border (100, 100)-(300, 200) inclusive.
struct CropFrame : ::testing::Test {
    CFrame frame;
    CMouseInput mouse{&frame};
    Recorder cb;
    CropFrame()
    {
        frame.setCentreSnapped(false);
        frame.setShowCentre(false);
        frame.setShowRotor(false);
        frame.setMinimumSize(true);
        frame.setOptions(63);
        frame.SetNewBorder(QRect(QPoint(100, 100), QPoint(300, 200)));
    }
    void drag(QPoint from, QPoint to)
    {
        ASSERT_TRUE(mouse.OnLButtonDown(&cb, 0, from));
        mouse.OnMouseMove(&cb, 0, to);
        mouse.OnLButtonUp(&cb, 0, to);
    }
};

}  // namespace

TEST_F(CropFrame, HitCodesCornerBeatsEdgeBandPressOutsideChangesNothing)
{
    const std::pair<QPoint, int> cases[] = {
        {{102, 103}, htTopLeft}, {{99, 150}, htLeft},  {{301, 150}, htRight},    {{200, 99}, htTop}, {{200, 201}, htBottom},
        {{297, 198}, htBottomRight}, {{200, 150}, htInside}, {{50, 50}, htNone}, {{100, 96}, htTopLeft}, {{100, 95}, htNone}};
    for (const auto& [p, code] : cases)
        EXPECT_EQ(frame.HitTest(p, nullptr), code) << p.x() << ',' << p.y();
    // A press outside changes nothing.
    EXPECT_FALSE(mouse.OnLButtonDown(&cb, 0, QPoint(10, 10)));
    EXPECT_FALSE(mouse.OnMouseMove(&cb, 0, QPoint(50, 50)));
    EXPECT_FALSE(mouse.OnLButtonUp(&cb, 0, QPoint(50, 50)));
    EXPECT_EQ(frame.border(), QRect(QPoint(100, 100), QPoint(300, 200)));
}

TEST_F(CropFrame, MinimumSizeClipAndAspectMode)
{
    drag(QPoint(100, 150), QPoint(400, 150));  // left edge far past the right one
    EXPECT_EQ(frame.border(), QRect(QPoint(290, 100), QPoint(300, 200)));

    frame.SetNewBorder(QRect(QPoint(100, 100), QPoint(300, 200)));
    const QRect clip(0, 0, 500, 400);
    frame.SetClipRect(&clip);
    drag(QPoint(200, 150), QPoint(600, 100));  // moved: stops at the clip, keeps its size
    EXPECT_EQ(frame.border(), QRect(QPoint(299, 50), QPoint(499, 150)));
    drag(QPoint(299, 100), QPoint(-50, 30));  // left edge resized beyond: trimmed to the clip
    EXPECT_EQ(frame.border(), QRect(QPoint(0, 50), QPoint(499, 150)));
    EXPECT_TRUE(cb.repainted.contains(QPoint(299, 100))) << "the old outline is repainted";

    // Aspect mode, with a ratio and without a usable one (no clip).
    frame.SetClipRect(nullptr);
    const QRect b(QPoint(-100, -50), QPoint(100, 50));
    for (QPoint ratio : {QPoint(0, 3), QPoint(2, 0), QPoint(-1, 2)}) {
        frame.SetTransformParams(b, 0.0, QPoint(0, 0), &ratio);
        mouse.SetAspectMode(true);
        drag(QPoint(100, 50), QPoint(140, 50));  // no usable ratio: a plain corner resize
        EXPECT_EQ(frame.border(), QRect(QPoint(-100, -50), QPoint(140, 50)));
    }
    const QPoint twoToOne(2, 1);
    frame.SetTransformParams(b, 0.0, QPoint(0, 0), &twoToOne);
    drag(QPoint(100, 50), QPoint(180, 60));
    const QRect r = frame.border();
    EXPECT_EQ(r.topLeft(), QPoint(-100, -50));
    EXPECT_EQ(r.width() / 2, r.height()) << r.width() << 'x' << r.height();
}

TEST_F(CropFrame, CursorsByAngle)
{
    using std::numbers::pi;
    for (const auto& [a, index] : {std::pair(0.0, 0), {pi / 4, 3}, {pi / 2, 2}, {3 * pi / 4, 1}, {pi, 0}, {-pi / 4, 1}, {1e300, 0}})
        EXPECT_EQ(angleToCursorInd(a), index) << a;
    const std::pair<QPoint, Qt::CursorShape> handles[] = {
        {{100, 100}, Qt::SizeFDiagCursor}, {{300, 200}, Qt::SizeFDiagCursor}, {{300, 100}, Qt::SizeBDiagCursor},
        {{100, 200}, Qt::SizeBDiagCursor}, {{100, 150}, Qt::SizeHorCursor}, {{200, 200}, Qt::SizeVerCursor},
        {{200, 150}, Qt::OpenHandCursor}};
    for (const auto& [p, shape] : handles) {
        ASSERT_TRUE(mouse.OnSetCursor(&cb, p));
        EXPECT_EQ(cb.cursor, shape) << p.x() << ',' << p.y();
    }
    EXPECT_FALSE(mouse.OnSetCursor(&cb, QPoint(10, 10)));
}

TEST(TransformFrameRotor, DragTurnsTheFrame)
{
    CFrame frame;
    frame.SetTransformParams(QRect(QPoint(-50, -20), QPoint(50, 20)), 0.0, QPoint(200, 200), nullptr);
    CMouseInput mouse(&frame);
    Recorder cb;
    QPoint topMid;
    const QPoint rotor = frame.CalculateRotorPointPosition(&topMid, nullptr);
    EXPECT_EQ(topMid, QPoint(200, 180));
    EXPECT_EQ(rotor, QPoint(200, 160));
    ASSERT_EQ(frame.HitTest(rotor, nullptr), htRotor);
    ASSERT_TRUE(mouse.OnLButtonDown(&cb, 0, rotor));
    mouse.OnMouseMove(&cb, 0, QPoint(240, 200));  // a quarter turn clockwise on screen
    mouse.OnLButtonUp(&cb, 0, QPoint(240, 200));
    EXPECT_NEAR(frame.angle(), -std::numbers::pi / 2, 1e-9);
    EXPECT_EQ(frame.inverseTransform(QPoint(50, 0)), QPoint(200, 250));
    EXPECT_EQ(frame.directTransform(QPoint(200, 250)), QPoint(50, 0));
}
