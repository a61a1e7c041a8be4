// The panorama view's crop and geometry tool against a recording display (identity
// mapping, 400 x 300) and the document's callback.
#include <gtest/gtest.h>

#include <QPaintDevice>

#include <memory>
#include <vector>

#include "app/pano_view_control.h"

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
    tool.onMouseUp(QPoint(250, 150));
    EXPECT_EQ(doc.tilts, (std::vector<std::pair<int, int>>{{22, 0}, {22, 0}}));

    ASSERT_TRUE(tool.onMouseDown(QPoint(49, 140)));  // one pixel further out: rotates
    tool.onMouseMove(QPoint(49, 158));               // across the left of the centre
    tool.onMouseUp(QPoint(49, 158));
    ASSERT_EQ(doc.turns.size(), 2u);
    EXPECT_EQ(doc.turns[0], -6) << "not a jump of 360 degrees";
    EXPECT_EQ(doc.starts, 2);

    tool.onMouseMove(QPoint(200, 150));
    EXPECT_EQ(display.cursor, tool.moveCursor().shape());
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
