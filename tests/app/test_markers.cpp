// Markers and the marker tool of a matching pane: the description, the alpha hit test,
// which of overlapping pins is pressed, the two clamps of a drag, and what a drop reports.
#include <gtest/gtest.h>

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "app/markers.h"
#include "tests/app/matching_support.h"
#include "tests/support/scene.h"

namespace {

// The matcher's face as the control uses it: three points per group and the calls made
// (the rest: a plain matcher's, affine).
struct RecordingMatcher : CManualMatcher {
    VarnoBase::Point pts[2][3];
    int setPoints = 0;
    RecordingMatcher() : CManualMatcher(false) {}
    void GetPoints(PTS_group g, VarnoBase::Point* out) const override
    {
        for (int i = 0; i < 3; ++i)
            out[i] = pts[g == PTS_First ? 0 : 1][i];
    }
    void SetPoint(PTS_group g, const VarnoBase::Point& p, int index) override
    {
        pts[g == PTS_First ? 0 : 1][index] = p;
        ++setPoints;
    }
};

// A 320 x 240 pane showing a 400 x 300 photo at actual size, with a marker tool on it.
struct Pane {
    PanoramaView view;
    PreviewControl control;
    RecordingMatcher matcher;
    vltest::Element photo;
    Pane()
    {
        static const vltest::Scene scene(vltest::smallSceneOptions(3));
        photo = vltest::elementOf(vltest::planeCrop(scene, QRect(0, 0, 400, 300)));
        view.setFrameShape(QFrame::NoFrame);
        view.setControl(&control);
        view.setAllGaps(control.markerMargin());
        view.resize(320, 240);
        view.show();
        view.setPicture(photo, false);
        matcher.pts[1][0] = {200, 150};
        matcher.pts[1][1] = {203, 150};
        matcher.pts[1][2] = {100, 100};
        control.SetMatcher(&matcher, PanoramaLib::IManualMatcher::PTS_Second);
    }
    const Marker& marker(MarkerName n) const { return *control.markers().GetByName(n); }
};

}  // namespace

TEST(Markers, DescriptionMarginAndAlphaHitTest)
{
    QTemporaryDir dir;
    const QString plain = dir.filePath("plain.png");
    QImage(10, 12, QImage::Format_RGB32).save(plain);
    const QString own = dir.filePath("own.xml");
    QFile f(own);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(("<markers>\n <marker/>\n <marker id=\"7\" hot-point-x=\"x\" hot-point-y=\"3\" file-name=\"" + plain +
             "\"/>\n</markers>\n")
                .toUtf8());
    f.close();

    // Not XML, then an element without attributes is skipped; id 7 has no part in the margin.
    const std::tuple<QString, int, int> rows[] = {
        {PreviewControl::kDescription, 3, 34}, {dir.filePath("missing.xml"), 0, 0}, {plain, 0, 0}, {own, 1, 0}};
    for (const auto& [path, count, margin] : rows) {
        PreviewControl c(nullptr, path);
        EXPECT_EQ(c.markers().size(), count) << path.toStdString();
        EXPECT_EQ(c.markerMargin(), margin) << path.toStdString();
    }
    PreviewControl shipped;
    for (int i = 0; i < 3; ++i) {
        const Marker* m = shipped.markers().at(i);
        EXPECT_EQ(m->name(), MarkerName(i));
        EXPECT_EQ(m->hotPoint(), QPoint(1, 34));
        EXPECT_EQ(m->bitmap().size(), QSize(22, 35));
    }
    // A bitmap without alpha is hit over its whole rectangle; "x" reads as 0.
    PreviewControl c(nullptr, own);
    const Marker* m = c.markers().at(0);
    EXPECT_EQ(m->hotPoint(), QPoint(0, 3));
    EXPECT_TRUE(m->PtInMarker(m->GetRect().bottomRight()));

    // The alpha threshold of the hit test: 126 misses, 127 hits.
    QImage pin(4, 1, QImage::Format_ARGB32);
    const int alpha[] = {126, 127, 0, 255};
    for (int x = 0; x < 4; ++x)
        pin.setPixel(x, 0, qRgba(200, 0, 0, alpha[x]));
    ASSERT_TRUE(pin.save(dir.filePath("pin.png")));
    Marker tip(Marker0, dir.filePath("pin.png"), QPoint(0, 0));
    tip.setDisplayPosition(QPoint(10, 20));
    for (int x = 0; x < 5; ++x)
        EXPECT_EQ(tip.PtInMarker(QPoint(10 + x, 20)), x == 1 || x == 3) << x;
    tip.setVisible(false);
    EXPECT_FALSE(tip.PtInMarker(QPoint(13, 20)));
}


TEST(Markers, PressedLastWinsWhereMarkersOverlapDragClampsToPhotoAndViewport)
{
    Pane p;
    p.control.UpdatePositionOfMarkers();
    const Marker& m0 = p.marker(Marker0);
    const Marker& m1 = p.marker(Marker1);  // three pixels right of marker 0
    // A point on both pins and one on marker 1 alone.
    QPoint both, only1;
    const QRect r = m0.GetRect().united(m1.GetRect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            const QPoint q(x, y);
            if (m0.PtInMarker(q) && m1.PtInMarker(q))
                both = q;
            else if (!m0.PtInMarker(q) && m1.PtInMarker(q))
                only1 = q;
        }
    ASSERT_FALSE(both.isNull());
    ASSERT_FALSE(only1.isNull());
    const auto press = [&](QPoint q) {
        vltest::sendMouse(p.view, QEvent::MouseButtonPress, q, Qt::LeftButton);
        const MarkerName n = p.control.markers().GetActive()->name();
        vltest::sendMouse(p.view, QEvent::MouseButtonRelease, q, Qt::NoButton);
        return n;
    };
    EXPECT_EQ((std::vector<MarkerName>{press(both), press(only1), press(both)}), (std::vector<MarkerName>{Marker0, Marker1, Marker1}));
    EXPECT_EQ(p.matcher.setPoints, 0);  // presses without a move report nothing

    // Drags: the point stays on the photo and in the viewport.
    QSignalSpy moved(&p.control, &PreviewControl::markerMoved);

    // Scrolled fully right: the photo's right edge is in view; far past it the point
    // stops on the last column.
    p.view.setScrollPos(QPoint(100000, 0));
    vltest::dragMarker(p.view, p.control, Marker0, QPoint(5000, 0));
    EXPECT_EQ(std::tuple(p.marker(Marker0).position().x(), p.matcher.pts[1][0].x, p.matcher.pts[1][0].y), std::tuple(399, 399, 150));

    // Scrolled to the left end; dragging far down stops at the viewport's bottom edge,
    // inside the photo (which continues below the viewport).
    p.view.setScrollPos(QPoint(0, 0));
    vltest::dragMarker(p.view, p.control, Marker2, QPoint(0, 5000));
    const int bottom = p.view.displayToContent(p.view.getDisplayRect().bottomLeft()).y();
    EXPECT_LT(bottom, 299);
    EXPECT_EQ(std::tuple(p.marker(Marker2).position().y(), p.matcher.pts[1][2].y, moved.count(), p.matcher.setPoints),
              std::tuple(bottom, bottom, 2, 2));
    EXPECT_FALSE(p.control.isDragging());

    // Hidden: neither hit nor dragged, still bounded by the markers' rectangle.
    p.control.ShowMarker(Marker2, false);
    vltest::dragMarker(p.view, p.control, Marker2, QPoint(10, 0));
    EXPECT_EQ(p.matcher.setPoints, 2);
    QRect points, pins;
    p.control.GetMarkersRect(points, pins);
    EXPECT_TRUE(points.contains(p.marker(Marker2).position()));
    EXPECT_TRUE(pins.contains(p.marker(Marker2).GetAbsRect()));
}
