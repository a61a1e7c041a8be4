// The panorama view's crop and geometry tool against a recording display (identity
// mapping, 400 x 300) and the document's callback; and the transform frame beneath the
// crop tool.
#include <gtest/gtest.h>

#include <QImage>
#include <QPaintDevice>
#include <QPainter>

#include <memory>
#include <numbers>
#include <vector>

#include "app/pano_view_control.h"
#include "app/transform_frame.h"

using namespace TransformFrame;

namespace {

struct Display : IImageControlDisplay {
    QRect rect{0, 0, 400, 300};
    QRegion repainted;
    Qt::CursorShape cursor = Qt::BlankCursor;
    QRect getDisplayRect() override { return rect; }
    QRect getContentRect() override { return QRect(0, 0, 1000, 1000); }
    QPoint contentToDisplay(QPoint p) override { return p; }
    QRect contentToDisplay(QRect r) override { return r; }
    QPoint displayToContent(QPoint p) override { return p; }
    QRect displayToContent(QRect r) override { return r; }
    void setDisplayCursor(const QCursor& c) override { cursor = c.shape(); }
    void resetDisplayCursor() override {}
    void updateDisplay() override { repainted = QRegion(rect); }
    void updateDisplayRect(const QRect& r) override { repainted |= r; }
    void updateDisplayRgn(const QRegion& r) override { repainted |= r; }
    void updateMouseTracking() override {}
    QPaintDevice* getPaintDevice() override { return nullptr; }
};

struct Document : IGeoToolCallback {
    bool enable = true;
    int starts = 0;
    std::vector<std::pair<int, int>> tilts;
    std::vector<int> turns;
    bool EnableGeo(IGeoTool*) override { return enable; }
    void StartGeoTracking(IGeoTool*) override { ++starts; }
    void DoTrackGeo(IGeoTool*, int dx, int dy) override { tilts.emplace_back(dx, dy); }
    void DoRotateGeo(IGeoTool*, int degrees) override { turns.push_back(degrees); }
};

struct Tool : ::testing::Test {
    Display display;
    Document doc;
    PanoViewControl tool;
    Tool()
    {
        tool.setDisplay(&display);
        tool.setGeoCallback(&doc);
    }
};

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

TEST_F(Tool, CropRectangleRoundTripsDragRepaintsBothOutlinesAndEndsOnRelease)
{
    VarnoBase::Rect out;
    tool.ActivateCropping(VarnoBase::Rect(10, 20, 110, 220), true);
    EXPECT_FALSE(display.repainted.isEmpty());
    tool.ActivateCropping(VarnoBase::Rect(0, 0, 50, 50), true);  // already active: kept
    tool.DeactivateCropping(&out, true);
    EXPECT_EQ(QRect(out), QRect(QPoint(10, 20), QPoint(109, 219)));
    EXPECT_EQ(out.right, 110);
    display.repainted = QRegion();
    tool.DeactivateCropping(&out, true);  // inactive: same rectangle, no repaint
    EXPECT_EQ(out.bottom, 220);
    EXPECT_TRUE(display.repainted.isEmpty());

    tool.SetCropRect(VarnoBase::Rect(5, 6, 7, 8));
    tool.GetCropRect(&out);
    EXPECT_EQ(std::make_tuple(out.left, out.top, out.right, out.bottom), std::make_tuple(5, 6, 7, 8));

    // A drag of the right edge.
    tool.ActivateCropping(VarnoBase::Rect(100, 100, 301, 201), false);
    EXPECT_FALSE(tool.onMouseDown(QPoint(20, 20))) << "outside the frame: declined, the view pans";
    ASSERT_TRUE(tool.onMouseDown(QPoint(300, 150)));  // right edge
    display.repainted = QRegion();
    EXPECT_TRUE(tool.onMouseMove(QPoint(350, 150)));
    // The old right edge's band and its handle, though both lie in the dimmed area
    // before and after, are repainted along with the new ones.
    for (QPoint p : {QPoint(300, 150), QPoint(302, 148), QPoint(350, 150), QPoint(304, 100)})
        EXPECT_TRUE(display.repainted.contains(p)) << p.x() << ',' << p.y();
    EXPECT_TRUE(tool.onMouseUp(QPoint(350, 150)));
    tool.GetCropRect(&out);
    EXPECT_EQ(QRect(out), QRect(QPoint(100, 100), QPoint(350, 200)));
    EXPECT_FALSE(tool.onMouseUp(QPoint(350, 150)));
    tool.onMouseMove(QPoint(200, 150));
    EXPECT_EQ(display.cursor, Qt::OpenHandCursor);
}

TEST_F(Tool, TiltRotateAndInnerRectangle)
{
    // Inner rectangle: 50 .. 349 across, 37 .. 262 down; its edges tilt.
    ASSERT_TRUE(tool.onMouseDown(QPoint(50, 150)));
    EXPECT_TRUE(tool.onMouseMove(QPoint(250, 150)));  // half the view's width
    tool.onMouseUp(QPoint(250, 250));                 // and a third of its height down
    EXPECT_EQ(doc.tilts, (std::vector<std::pair<int, int>>{{22, 0}, {22, 15}}));

    ASSERT_TRUE(tool.onMouseDown(QPoint(49, 140)));  // one pixel further out: rotates
    tool.onMouseMove(QPoint(49, 158));               // across the left of the centre
    tool.onMouseUp(QPoint(49, 158));
    ASSERT_EQ(doc.turns.size(), 2u);
    EXPECT_EQ(doc.turns[0], -6) << "not a jump of 360 degrees";
    EXPECT_EQ(doc.starts, 2);

    tool.onMouseMove(QPoint(200, 150));
    EXPECT_EQ(display.cursor, tool.moveCursor().shape());
}

// The bands above and below the inner rectangle are an eighth of the view's height, not
// of its width: rows 37 and 262 tilt, the rows just outside them turn.
TEST_F(Tool, TopAndBottomBandsAreAnEighthOfTheHeight)
{
    for (const QPoint press : {QPoint(200, 40), QPoint(200, 37), QPoint(200, 262)}) {
        doc.tilts.clear(), doc.turns.clear();
        ASSERT_TRUE(tool.onMouseDown(press));
        tool.onMouseUp(press + QPoint(0, 30));  // a tenth of the height down
        EXPECT_EQ(std::pair(doc.tilts, doc.turns.size()), std::pair(std::vector<std::pair<int, int>>{{0, 4}}, size_t(0)))
            << press.y();
    }
    for (const QPoint press : {QPoint(200, 30), QPoint(200, 36), QPoint(200, 263)}) {
        doc.tilts.clear(), doc.turns.clear();
        ASSERT_TRUE(tool.onMouseDown(press));
        tool.onMouseUp(press + QPoint(0, 30));
        EXPECT_EQ(std::pair(doc.tilts.size(), doc.turns.size()), std::pair(size_t(0), size_t(1))) << press.y();
    }
}

TEST_F(Tool, DisabledGeometryDeclinesAndReleaseEndsTheDrag)
{
    doc.enable = false;
    EXPECT_FALSE(tool.onMouseDown(QPoint(200, 150)));
    doc.enable = true;
    tool.DeactivateGeo();
    EXPECT_FALSE(tool.onMouseDown(QPoint(200, 150)));
    tool.ActivateGeo();

    ASSERT_TRUE(tool.onMouseDown(QPoint(200, 150)));
    doc.enable = false;
    EXPECT_FALSE(tool.onMouseUp(QPoint(260, 150)));
    doc.enable = true;
    tool.onMouseMove(QPoint(300, 150));  // a hover move: must not tilt any more
    EXPECT_TRUE(doc.tilts.empty());

    display.rect = QRect();  // no size: no division by zero
    ASSERT_TRUE(tool.onMouseDown(QPoint(0, 0)));
    tool.onMouseUp(QPoint(30, 30));
    EXPECT_EQ(doc.turns.size() + doc.tilts.size(), 1u);
}

// Beneath it, the transform frame as the crop tool uses it (axis-aligned, no centre or rotor
// handles), plus the rotor and aspect paths the crop tool leaves off.
TEST_F(CropFrame, HitCodesCornerBeatsEdgeBandPressOutsideChangesNothingCursorsByAngle)
{
    const std::pair<QPoint, int> cases[] = {
        {{102, 103}, htTopLeft}, {{99, 150}, htLeft},  {{301, 150}, htRight},    {{200, 99}, htTop}, {{200, 201}, htBottom},
        {{297, 198}, htBottomRight}, {{200, 150}, htInside}, {{50, 50}, htNone}, {{100, 96}, htTopLeft}, {{100, 95}, htNone}};
    for (const auto& [p, code] : cases)
        EXPECT_EQ(frame.HitTest(p, nullptr), code) << p.x() << ',' << p.y();
    // A press outside changes nothing.
    EXPECT_FALSE(mouse.OnLButtonDown(&cb, 0, QPoint(10, 10)) || mouse.OnMouseMove(&cb, 0, QPoint(50, 50)) ||
                 mouse.OnLButtonUp(&cb, 0, QPoint(50, 50)));
    EXPECT_EQ(frame.border(), QRect(QPoint(100, 100), QPoint(300, 200)));
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

TEST(TransformFrameRotor, DragTurnsTheFrame)
{
    CFrame frame;
    frame.SetTransformParams(QRect(QPoint(-50, -20), QPoint(50, 20)), 0.0, QPoint(200, 200), nullptr);
    CMouseInput mouse(&frame);
    Recorder cb;
    QPoint topMid;
    const QPoint rotor = frame.CalculateRotorPointPosition(&topMid, nullptr);
    EXPECT_EQ(std::pair(topMid, rotor), std::pair(QPoint(200, 180), QPoint(200, 160)));
    ASSERT_EQ(frame.HitTest(rotor, nullptr), htRotor);
    ASSERT_TRUE(mouse.OnLButtonDown(&cb, 0, rotor));
    mouse.OnMouseMove(&cb, 0, QPoint(240, 200));  // a quarter turn clockwise on screen
    mouse.OnLButtonUp(&cb, 0, QPoint(240, 200));
    EXPECT_NEAR(frame.angle(), -std::numbers::pi / 2, 1e-9);
    EXPECT_EQ(std::pair(frame.inverseTransform(QPoint(50, 0)), frame.directTransform(QPoint(200, 250))), std::pair(QPoint(200, 250), QPoint(50, 0)));
}

// The dimming outside the crop follows the frame while it is dragged, not only after the
// release (which repaints nothing more) and the next full repaint.
TEST_F(Tool, DimmingFollowsTheFrameWhileItIsDragged)
{
    tool.ActivateCropping(VarnoBase::Rect(100, 100, 301, 201), false);
    auto dimmed = [&](QPoint p) {
        QImage image(400, 300, QImage::Format_RGB32);
        image.fill(Qt::black);
        QPainter painter(&image);
        tool.doPaint(painter, QRect(0, 0, 400, 300), true);
        painter.end();
        return qRed(image.pixel(p)) > 0;
    };
    EXPECT_EQ(std::pair(dimmed({20, 20}), dimmed({200, 125})), std::pair(true, false));
    ASSERT_TRUE(tool.onMouseDown(QPoint(200, 100)));  // the top edge, down by 50
    tool.onMouseMove(QPoint(200, 150));
    EXPECT_EQ(std::pair(dimmed({200, 125}), dimmed({200, 175})), std::pair(true, false)) << "while dragged";
    tool.onMouseUp(QPoint(200, 150));
    EXPECT_EQ(std::pair(dimmed({200, 125}), dimmed({200, 175})), std::pair(true, false)) << "released";
}

// Each side, and each corner's two sides, dragged far past the opposite side stop 10
// pixels short of it; the other sides stay.
TEST_F(CropFrame, EverySideStopsTenPixelsShortOfTheOppositeOne)
{
    const std::tuple<const char*, QPoint, QPoint, QRect> drags[] = {
        {"left", {100, 150}, {400, 150}, QRect(QPoint(290, 100), QPoint(300, 200))},
        {"right", {300, 150}, {0, 150}, QRect(QPoint(100, 100), QPoint(110, 200))},
        {"top", {200, 100}, {200, 400}, QRect(QPoint(100, 190), QPoint(300, 200))},
        {"bottom", {200, 200}, {200, 0}, QRect(QPoint(100, 100), QPoint(300, 110))},
        {"top-left", {100, 100}, {400, 400}, QRect(QPoint(290, 190), QPoint(300, 200))},
        {"bottom-right", {300, 200}, {0, 0}, QRect(QPoint(100, 100), QPoint(110, 110))},
    };
    for (const auto& [side, from, to, stopped] : drags) {
        frame.SetNewBorder(QRect(QPoint(100, 100), QPoint(300, 200)));
        drag(from, to);
        EXPECT_EQ(frame.border(), stopped) << side;
    }
}
