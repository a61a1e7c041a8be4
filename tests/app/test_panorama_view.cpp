// The panorama view: wheel zoom, scale range, pictures coming and going, painting that
// does not depend on the repainted part, its reduced copies, and the tool's first claim
// on the mouse; beneath it the scroll views' zoom table, scale changes that keep the
// centre, scale limits and the content origin.
#include <gtest/gtest.h>

#include <QPainter>
#include <QScrollBar>

#include <cmath>
#include <limits>

#include "core/dib.h"
#include "tests/app/matching_support.h"
#include "tests/support/scene.h"

namespace {

vltest::Element picture(int w, int h)
{
    static const vltest::Scene scene(vltest::smallSceneOptions(5));
    return vltest::elementOf(vltest::planeCrop(scene, QRect(10, 10, w, h)));
}

// The largest difference of a colour channel between two images over `r`.
int worst(const QImage& a, const QImage& b, const QRect& r)
{
    int d = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            d = std::max({d, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
        }
    return d;
}

PanoramaLib::QtDibImpl& dibOf(vltest::Element& e)
{
    return *static_cast<PanoramaLib::QtDibImpl*>(e->GetDib()->QueryObject(PanoramaLib::kQueryDibImpl));
}

struct ShownView : PanoramaView {
    vltest::Element pic;
    explicit ShownView(vltest::Element p = {}) : pic(std::move(p))
    {
        setFrameShape(QFrame::NoFrame);
        resize(320, 240);
        show();
        if (pic)
            setPicture(pic, false);
    }
    // What the viewport shows after repainting `part` of it over black.
    QImage paint(const QRect& part)
    {
        QImage base(viewport()->size(), QImage::Format_RGB32);
        base.fill(Qt::black);
        QPainter p(&base);
        p.setClipRect(part);
        draw(p, part, origin());
        return base;
    }
    void send(QEvent::Type type, QPoint pos, Qt::MouseButtons buttons) { vltest::sendMouse(*this, type, pos, buttons); }
};

struct PressEater : IImageControl {
    IImageControlDisplay* display = nullptr;
    bool eat = true, tracking = true;
    int downs = 0;
    void setDisplay(IImageControlDisplay* d) override { display = d; }
    bool needMouseTracking() override { return tracking; }
    bool needOverayPainting() override { return false; }
    void doPaint(QPainter&, const QRect&, bool) override {}
    bool onMouseMove(QPoint) override { return false; }
    bool onMouseDown(QPoint) override { return ++downs, eat; }
    bool onMouseUp(QPoint) override { return false; }
};

// A view whose viewport is exactly the widget (no frame, no bars).
struct BareView : ScaledScrollView {
    explicit BareView(QSize viewport)
    {
        setFrameShape(QFrame::NoFrame);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        resize(viewport);
        show();  // a hidden widget lays out its viewport only when shown
    }
};

}  // namespace

TEST(PanoramaView, WheelHalfNotchAndBigStep)
{
    ShownView view(picture(400, 300));
    std::vector<double> scaled;
    QObject::connect(&view, &PanoramaView::imageScaled, [&](double s) { scaled.push_back(s); });
    for (int delta : {60, -240, 120})
        vltest::wheel(view, delta);
    EXPECT_EQ(scaled, (std::vector<double>{1.0, 0.8, 1.0}));
}

TEST(PanoramaView, ScaleRangeClampsAndPicturesComeAndGo)
{
    ShownView view;
    view.setScaleRange(0.01, 10.0);
    std::vector<bool> changes;
    QObject::connect(&view, &PanoramaView::pictureChanged, [&](bool null) { changes.push_back(null); });
    view.setPicture(picture(64, 48), false);
    view.setScaleFactor(9.0);
    view.zoomIn();
    EXPECT_EQ(view.scaleFactor(), 10.0);
    EXPECT_FALSE(view.canZoomIn());
    view.zoomIn();
    EXPECT_EQ(view.scaleFactor(), 10.0);
    EXPECT_EQ(view.printScale(), "1000 %");
    view.setScaleFactor(0.5);
    EXPECT_EQ(view.printScale(), " 50 %");
    view.setScaleFactor(-3.0);
    EXPECT_EQ(view.scaleFactor(), 0.5) << "a negative factor must not clamp to the minimum";
    view.setPicture(nullptr, true);
    EXPECT_EQ(changes, (std::vector<bool>{false, true}));
    EXPECT_EQ(std::pair(view.actualSize(), view.printScale().isEmpty()), std::pair(QSize(-1, -1), true));
    // Without a picture the fit operations do nothing (no division by a size of -1).
    for (auto zoom : {&PanoramaView::zoomToWindow, &PanoramaView::zoomToWidth, &PanoramaView::zoomToHeight})
        (view.*zoom)();
    EXPECT_EQ(view.scaleFactor(), 0.5);
    EXPECT_FALSE(view.canZoomIn());
    view.paint(view.viewport()->rect());  // nothing to draw, no crash

    ShownView unranged(picture(100, 20));  // without a range zooming out stops at ten pixels
    for (int i = 0; i < 20; ++i)
        unranged.zoomOut();
    EXPECT_GT(std::lround(20 * unranged.scaleFactor()), 9);
    EXPECT_LE(std::lround(20 * unranged.scaleFactor() * 0.8), 9);
}

// A strip repaint draws exactly what a full repaint draws there: horizontal strips are
// identical; vertical strips may differ by one level where Qt's own bilinear stepping
// starts at another column (a misplaced source rectangle differs by far more).
TEST(PanoramaView, StripRepaintEqualsFullRepaint)
{
    ShownView view(picture(160, 120));
    for (double zoom : {3.0, 1.37, 0.6}) {
        view.setScaleFactor(zoom);
        view.setScrollPos(QPoint(17, 11));
        const QImage full = view.paint(view.viewport()->rect());
        const QRect rows(0, 101, 320, 37), column(133, 0, 29, 240);
        EXPECT_EQ(worst(view.paint(rows), full, rows), 0) << zoom;
        EXPECT_LE(worst(view.paint(column), full, column), 1) << zoom;
    }
}

// Halved copies keep the picture where it was: on a linear ramp their averages equal the
// full-resolution samples, so the painted pixels agree; at 50 % on a texture the halved
// copy drawn 1:1 shows what smooth scaling of the full copy shows, up to rounding (Qt's
// interpolation truncates in each of its two passes; a copy misplaced by half a pixel
// would differ by tens of levels).
TEST(PanoramaView, ReducedCopyShowsTheSamePicture)
{
    auto draw = [](const QImage& src, double s, QSize size) {
        QImage out(size, QImage::Format_RGB32);
        out.fill(Qt::black);
        QPainter p(&out);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.scale(s, s);
        p.drawImage(QPointF(0, 0), src);
        return out;
    };
    QImage ramp(8192, 2048, QImage::Format_RGB888);
    for (int y = 0; y < ramp.height(); ++y)
        for (int x = 0; x < ramp.width(); ++x)
            ramp.setPixel(x, y, qRgb(x / 64, y / 16, 90));
    vltest::Element pic = vltest::elementOf(ramp);
    DisplayImageCache cache;
    int level = -1;
    const QImage* reduced = cache.image(dibOf(pic), 0.05, &level);
    EXPECT_EQ(level, 4);
    ASSERT_EQ(reduced->size(), QSize(512, 128));
    const QImage viaFull = draw(*cache.image(dibOf(pic), 1.0, &level), 0.05, QSize(409, 102));
    EXPECT_EQ(level, 0);
    EXPECT_LE(worst(viaFull, draw(*reduced, 0.8, QSize(409, 102)), QRect(0, 0, 408, 101)), 1);
    // New pixels (writable bits handed out) give a new copy.
    const qint64 before = dibOf(pic).cacheKey();
    pic->GetBits()[0] = 255;
    EXPECT_NE(dibOf(pic).cacheKey(), before);
    EXPECT_EQ(qRed(cache.image(dibOf(pic), 1.0, &level)->pixel(0, 0)), 255);

    vltest::Element texture = picture(601, 401);
    DisplayImageCache small(0);  // every picture counts as large
    const QImage halved = *small.image(dibOf(texture), 0.5, &level);
    ASSERT_EQ(level, 1);
    ASSERT_EQ(halved.size(), QSize(301, 201));
    EXPECT_LE(worst(draw(*small.image(dibOf(texture), 1.0, &level), 0.5, QSize(300, 200)), halved, QRect(0, 0, 300, 200)), 3);
}

TEST(PanoramaView, ToolClaimsPressBeforePanning)
{
    ShownView view(picture(1000, 800));
    PressEater tool;
    view.setControl(&tool);
    EXPECT_EQ(tool.display, &view);
    EXPECT_TRUE(view.viewport()->hasMouseTracking());
    view.setScrollPos(QPoint(100, 100));
    auto drag = [&](QPoint to) {
        view.send(QEvent::MouseButtonPress, QPoint(50, 50), Qt::LeftButton);
        view.send(QEvent::MouseMove, to, Qt::LeftButton);
        const QPoint at = view.scrollPos();
        view.send(QEvent::MouseButtonRelease, to, Qt::NoButton);
        return at;
    };
    EXPECT_EQ(drag(QPoint(10, 10)), QPoint(100, 100)) << "the tool consumed the press";
    tool.eat = false;
    EXPECT_EQ(drag(QPoint(10, 20)), QPoint(140, 130));
    EXPECT_EQ(tool.downs, 2);
    tool.tracking = false;
    view.updateMouseTracking();
    EXPECT_FALSE(view.viewport()->hasMouseTracking());
    view.setControl(nullptr);
    EXPECT_EQ(tool.display, nullptr);
    view.updateMouseTracking();  // no tool plugged: nothing to ask
    view.pic->FreeImage();  // a picture without pixels paints nothing
    EXPECT_EQ(view.paint(view.viewport()->rect()).pixel(5, 5), qRgb(0, 0, 0));

    ShownView fitting(picture(100, 80));  // a press on a picture that fits does not pan
    fitting.send(QEvent::MouseButtonPress, QPoint(50, 50), Qt::LeftButton);
    EXPECT_FALSE(fitting.testAttribute(Qt::WA_SetCursor));
    fitting.send(QEvent::MouseButtonRelease, QPoint(50, 50), Qt::NoButton);
}

TEST(PanoramaView, EnsureRectVisibleBringsTheRectangleIntoView)
{
    ShownView view(picture(1000, 800));
    view.ensureRectVisible(QRect(QPoint(50, 50), QPoint(40, 40)), QRect(0, 0, 100, 100));  // invalid
    EXPECT_EQ(view.scaleFactor(), 1.0);
    EXPECT_EQ(view.scrollPos(), QPoint(0, 0));
    const QRect visible(600, 500, 200, 100);
    view.ensureRectVisible(visible, visible.adjusted(-10, -10, 10, 10));
    EXPECT_LT(view.scaleFactor(), 1.6);
    EXPECT_GT(view.scaleFactor(), 1.0);
    EXPECT_TRUE(view.viewport()->rect().contains(view.contentsToViewport(visible))) << "the margin stays in view too";
}

TEST(ZoomTable, NearestStepsTiesClampingNextStepsAndSlider)
{
    for (const auto& [zoom, index] :
         {std::pair(0.5, 0), {1, 0}, {150, 13}, {5000, 18}, {1000, 18}, {7, 5}, {10.5, 6}, {12, 7}, {-3, 0}})
        EXPECT_EQ(_get_nearest_zoom_scale_index(zoom), index) << zoom;
    EXPECT_EQ(_GetZoomTableSize(), 19);
    const std::tuple<double, bool, double> cases[] = {{150, true, 200}, {150, false, 100}, {1000, true, 1000}, {1, false, 1},
                                                      {5000, true, 1000}, {0.2, false, 1}, {100, true, 200}, {100, false, 67}};
    for (const auto& [zoom, up, next] : cases)
        EXPECT_EQ(GetNextZoomFactor(zoom, up), next) << zoom << ' ' << up;
    EXPECT_EQ(std::tuple(CanNextZoomFactor(1000, true), CanNextZoomFactor(1000, false), CanNextZoomFactor(1.2, false)),
              std::tuple(false, true, false));
    EXPECT_EQ(std::tuple(GetZoom100(0), GetZoom100(50), GetZoom100(100)), std::tuple(1, 600, 1000));
}

TEST(ScaledScrollView, CanScaleLimitsAndDoublingKeepsTheCentre)
{
    BareView view(QSize(400, 300));
    double f = -20.0;
    EXPECT_FALSE(view.canScale(f)) << "no picture: (-1, -1) x -20 must not pass";
    view.setActualSize(QSize(100, 1000));
    for (auto [factor, ok] : {std::pair(0.1, true), {0.09, false}, {16.383, true}, {16.384, false}, {-1.0, false},
                              {std::numeric_limits<double>::quiet_NaN(), false}, {std::numeric_limits<double>::infinity(), false}})
        EXPECT_EQ(view.canScale(factor), ok) << factor;

    view.setActualSize(QSize(2000, 2000));
    ASSERT_EQ(view.pageStep(), QPoint(400, 300));
    view.setScrollPos(QPoint(100, 100));
    int changes = 0;
    QObject::connect(&view, &ScaledScrollView::scaleChanged, [&] { ++changes; });
    view.setScaleFactor(2.0);
    EXPECT_EQ(std::tuple(view.scrollPos(), view.scrollSize(), changes), std::tuple(QPoint(400, 350), QSize(4000, 4000), 1));

    // Zero, the same factor and factors that are not finite positive numbers do nothing.
    for (double f : {0.0, 2.0, -2.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()})
        view.setScaleFactor(f);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(view.scaleFactor(), 2.0);
}

TEST(ScrollView, OriginWithGapsAndAlignment)
{
    ScrollView view;
    view.setFrameShape(QFrame::NoFrame);
    view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    view.resize(300, 200);
    view.show();
    view.setAllGaps(20);
    view.setScrollSize(QSize(1000, 1000));
    view.horizontalScrollBar()->setValue(0);
    view.verticalScrollBar()->setValue(0);
    EXPECT_EQ(std::pair(view.scrollPos(), view.origin()), std::pair(QPoint(-20, -20), QPoint(20, 20)));
    EXPECT_TRUE(view.canScroll()) << "at the top-left corner there is still content to pan to";
    view.setScrollPos(QPoint(100, 50));
    EXPECT_EQ(view.origin(), QPoint(-100, -50));
    EXPECT_TRUE(view.canScroll());

    // A content narrower than the viewport sits where the alignment puts it, gaps or not.
    const int vw = view.viewport()->width();
    view.setScrollSize(QSize(100, 1000));
    view.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    EXPECT_EQ(view.origin().x(), vw - 100);
    view.setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    EXPECT_EQ(view.origin().x(), (vw - 100) / 2);
}
