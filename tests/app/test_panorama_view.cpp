// The panorama view: wheel zoom, scale range, pictures coming and going, painting that
// does not depend on the repainted part, and the tool's first claim on the mouse.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <cstring>

#include "app/panorama_view.h"
#include "core/dib.h"
#include "tests/support/dib_manager_fixture.h"
#include "tests/support/scene.h"

namespace {

// A 24-bit image element holding `image`'s pixels.
VarnoBase::RefPtr<PanoramaLib::IPanoElement> pictureOf(const QImage& image)
{
    vltest::InstallDibManager();
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    VarnoBase::RefPtr<PanoramaLib::IPanoElement> e;
    e.Adopt(new CPanoElement(false));  // an element starts with one reference
    EXPECT_TRUE(e->CreateImage(24, rgb.width(), rgb.height()));
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(e->GetBits() + qsizetype(y) * e->GetBPL(), rgb.constScanLine(y), std::size_t(rgb.width()) * 3);
    return e;
}

QImage sceneImage(int w, int h)
{
    static const vltest::Scene scene(vltest::smallSceneOptions(5));
    return vltest::planeCrop(scene, QRect(10, 10, w, h));
}

struct ShownView : PanoramaView {
    ShownView()
    {
        setFrameShape(QFrame::NoFrame);
        resize(320, 240);
        show();
    }
    // What the viewport shows after repainting `part` of it over `base`.
    QImage paint(const QRect& part, QImage base = QImage())
    {
        if (base.isNull()) {
            base = QImage(viewport()->size(), QImage::Format_RGB32);
            base.fill(Qt::black);
        }
        QPainter p(&base);
        p.setClipRect(part);
        draw(p, part, origin());
        return base;
    }
    void send(QEvent::Type type, QPoint pos, Qt::MouseButtons buttons)
    {
        QMouseEvent e(type, pos, viewport()->mapToGlobal(pos), Qt::LeftButton, buttons, Qt::NoModifier);
        QApplication::sendEvent(viewport(), &e);
    }
};

void wheel(PanoramaView& view, int delta)
{
    QWheelEvent e(QPointF(10, 10), QPointF(10, 10), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                  Qt::NoScrollPhase, false);
    QApplication::sendEvent(view.viewport(), &e);
}

}  // namespace

TEST(PanoramaView, WheelHalfNotchAndBigStep)
{
    ShownView view;
    auto pic = pictureOf(sceneImage(400, 300));
    view.setPicture(pic, false);
    std::vector<double> scaled;
    QObject::connect(&view, &PanoramaView::imageScaled, [&](double s) { scaled.push_back(s); });
    wheel(view, 60);
    wheel(view, -240);
    wheel(view, 120);
    EXPECT_EQ(scaled, (std::vector<double>{1.0, 0.8, 1.0}));
}

TEST(PanoramaView, ScaleRangeClampsAndPicturesComeAndGo)
{
    ShownView view;
    view.setScaleRange(0.01, 10.0);
    auto pic = pictureOf(sceneImage(64, 48));
    std::vector<bool> changes;
    QObject::connect(&view, &PanoramaView::pictureChanged, [&](bool null) { changes.push_back(null); });
    view.setPicture(pic, false);
    view.setScaleFactor(9.0);
    view.zoomIn();
    EXPECT_EQ(view.scaleFactor(), 10.0);
    EXPECT_FALSE(view.canZoomIn());
    view.zoomIn();
    EXPECT_EQ(view.scaleFactor(), 10.0);
    EXPECT_EQ(view.printScale(), QStringLiteral("1000 %"));
    view.setScaleFactor(0.5);
    EXPECT_EQ(view.printScale(), QStringLiteral(" 50 %"));
    view.setScaleFactor(-3.0);
    EXPECT_EQ(view.scaleFactor(), 0.5) << "a negative factor must not clamp to the minimum";

    view.setPicture(nullptr, true);
    EXPECT_EQ(changes, (std::vector<bool>{false, true}));
    EXPECT_EQ(view.actualSize(), QSize(-1, -1));
    EXPECT_TRUE(view.printScale().isEmpty());
    // Without a picture the fit operations do nothing (no division by a size of -1).
    for (auto zoom : {&PanoramaView::zoomToWindow, &PanoramaView::zoomToWidth, &PanoramaView::zoomToHeight})
        (view.*zoom)();
    EXPECT_EQ(view.scaleFactor(), 0.5);
    EXPECT_FALSE(view.canZoomIn());
    view.paint(view.viewport()->rect());  // nothing to draw, no crash
}

TEST(PanoramaView, WithoutRangeZoomOutStopsAtTenPixels)
{
    ShownView view;
    auto pic = pictureOf(sceneImage(100, 20));
    view.setPicture(pic, false);
    for (int i = 0; i < 20; ++i)
        view.zoomOut();
    EXPECT_GT(std::lround(20 * view.scaleFactor()), 9);
    EXPECT_LE(std::lround(20 * view.scaleFactor() * 0.8), 9);
}

// A strip repaint draws exactly what a full repaint draws there: horizontal strips are
// identical; vertical strips may differ by one level where Qt's own bilinear stepping
// starts at another column (a misplaced source rectangle differs by far more).
TEST(PanoramaView, StripRepaintEqualsFullRepaint)
{
    ShownView view;
    auto pic = pictureOf(sceneImage(160, 120));
    view.setPicture(pic, false);
    for (double zoom : {3.0, 1.37, 0.6}) {
        view.setScaleFactor(zoom);
        view.setScrollPos(QPoint(17, 11));
        const QImage full = view.paint(view.viewport()->rect());
        const QImage rows = view.paint(QRect(0, 101, 320, 37));
        for (int y = 101; y < 138; ++y)
            ASSERT_EQ(std::memcmp(rows.constScanLine(y), full.constScanLine(y), 320 * 4), 0) << zoom << " row " << y;
        const QRect column(133, 0, 29, 240);
        const QImage strip = view.paint(column);
        int worst = 0;
        for (int y = 0; y < 240; ++y)
            for (int x = column.left(); x <= column.right(); ++x) {
                const QRgb a = strip.pixel(x, y), b = full.pixel(x, y);
                worst = std::max({worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                  std::abs(qBlue(a) - qBlue(b))});
            }
        EXPECT_LE(worst, 1) << zoom;
    }
}

// Halved copies keep the picture where it was: on a linear ramp their averages equal
// the full-resolution samples, so the painted pixels agree.
TEST(PanoramaView, ReducedCopyShowsTheSamePicture)
{
    QImage ramp(8192, 2048, QImage::Format_RGB888);
    for (int y = 0; y < ramp.height(); ++y)
        for (int x = 0; x < ramp.width(); ++x)
            ramp.setPixel(x, y, qRgb(x / 64, y / 16, 90));
    auto pic = pictureOf(ramp);
    auto* dib = static_cast<PanoramaLib::QtDibImpl*>(pic->GetDib()->QueryObject(PanoramaLib::kQueryDibImpl));
    DisplayImageCache cache;
    int level = -1;
    ASSERT_NE(cache.image(*dib, 0.05, &level), nullptr);
    EXPECT_EQ(level, 4);
    const QImage* reduced = cache.image(*dib, 0.05, &level);
    ASSERT_EQ(reduced->size(), QSize(512, 128));

    auto draw = [&](const QImage& src, double s) {
        QImage out(409, 102, QImage::Format_RGB32);
        out.fill(Qt::black);
        QPainter p(&out);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.setWorldTransform(QTransform(s, 0, 0, s, 0, 0));
        p.drawImage(QPointF(0, 0), src);
        return out;
    };
    const QImage viaFull = draw(*cache.image(*dib, 1.0, &level), 0.05);
    EXPECT_EQ(level, 0);
    const QImage viaReduced = draw(*reduced, 0.8);
    int worst = 0;
    for (int y = 0; y < 101; ++y)
        for (int x = 0; x < 408; ++x)
            worst = std::max(worst, std::abs(qRed(viaFull.pixel(x, y)) - qRed(viaReduced.pixel(x, y))));
    EXPECT_LE(worst, 1);

    // New pixels (writable bits handed out) give a new copy.
    const qint64 before = dib->cacheKey();
    pic->GetBits()[0] = 255;
    EXPECT_NE(dib->cacheKey(), before);
    EXPECT_EQ(qRed(cache.image(*dib, 1.0, &level)->pixel(0, 0)), 255);
}

// At 50 % the halved copy drawn 1:1 shows what smooth scaling of the full copy shows,
// up to rounding.
TEST(PanoramaView, HalfScaleFromTheHalvedCopyIsTheSame)
{
    auto pic = pictureOf(sceneImage(601, 401));
    auto* dib = static_cast<PanoramaLib::QtDibImpl*>(pic->GetDib()->QueryObject(PanoramaLib::kQueryDibImpl));
    DisplayImageCache cache(0);  // every picture counts as large
    int level = -1;
    const QImage halved = *cache.image(*dib, 0.5, &level);
    ASSERT_EQ(level, 1);
    ASSERT_EQ(halved.size(), QSize(301, 201));
    QImage viaFull(300, 200, QImage::Format_RGB32);
    {
        QPainter p(&viaFull);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.scale(0.5, 0.5);
        p.drawImage(QPointF(0, 0), *cache.image(*dib, 1.0, &level));
    }
    int worst = 0;
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 300; ++x) {
            const QRgb a = viaFull.pixel(x, y), b = halved.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                              std::abs(qBlue(a) - qBlue(b))});
        }
    // Qt's interpolation truncates in each of its two passes; the average rounds. A
    // copy misplaced by half a pixel would differ by tens of levels on this texture.
    EXPECT_LE(worst, 3);
}

namespace {

struct PressEater : IImageControl {
    IImageControlDisplay* display = nullptr;
    bool eat = true;
    bool tracking = true;
    int downs = 0;
    void setDisplay(IImageControlDisplay* d) override { display = d; }
    bool needMouseTracking() override { return tracking; }
    bool needOverayPainting() override { return false; }
    void doPaint(QPainter&, const QRect&, bool) override {}
    bool onMouseMove(QPoint) override { return false; }
    bool onMouseDown(QPoint) override { return ++downs, eat; }
    bool onMouseUp(QPoint) override { return false; }
};

}  // namespace

TEST(PanoramaView, ToolClaimsPressBeforePanning)
{
    ShownView view;
    auto pic = pictureOf(sceneImage(1000, 800));
    view.setPicture(pic, false);
    PressEater tool;
    view.setControl(&tool);
    EXPECT_EQ(tool.display, &view);
    EXPECT_TRUE(view.viewport()->hasMouseTracking());
    view.setScrollPos(QPoint(100, 100));

    view.send(QEvent::MouseButtonPress, QPoint(50, 50), Qt::LeftButton);
    view.send(QEvent::MouseMove, QPoint(10, 10), Qt::LeftButton);
    EXPECT_EQ(view.scrollPos(), QPoint(100, 100)) << "the tool consumed the press";
    view.send(QEvent::MouseButtonRelease, QPoint(10, 10), Qt::NoButton);

    tool.eat = false;
    view.send(QEvent::MouseButtonPress, QPoint(50, 50), Qt::LeftButton);
    view.send(QEvent::MouseMove, QPoint(10, 20), Qt::LeftButton);
    EXPECT_EQ(view.scrollPos(), QPoint(140, 130));
    view.send(QEvent::MouseButtonRelease, QPoint(10, 20), Qt::NoButton);
    EXPECT_EQ(tool.downs, 2);

    tool.tracking = false;
    view.updateMouseTracking();
    EXPECT_FALSE(view.viewport()->hasMouseTracking());
    view.setControl(nullptr);
    EXPECT_EQ(tool.display, nullptr);
    view.updateMouseTracking();  // no tool plugged: nothing to ask

    pic->FreeImage();  // a picture without pixels paints nothing
    const QImage painted = view.paint(view.viewport()->rect());
    EXPECT_EQ(painted.pixel(5, 5), qRgb(0, 0, 0));
}

TEST(PanoramaView, PressOnAFittingPictureDoesNotPan)
{
    ShownView view;
    auto pic = pictureOf(sceneImage(100, 80));
    view.setPicture(pic, false);
    view.send(QEvent::MouseButtonPress, QPoint(50, 50), Qt::LeftButton);
    EXPECT_FALSE(view.testAttribute(Qt::WA_SetCursor));
    view.send(QEvent::MouseButtonRelease, QPoint(50, 50), Qt::NoButton);
}

TEST(PanoramaView, EnsureRectVisibleBringsTheRectangleIntoView)
{
    ShownView view;
    auto pic = pictureOf(sceneImage(1000, 800));
    view.setPicture(pic, false);
    view.ensureRectVisible(QRect(QPoint(50, 50), QPoint(40, 40)), QRect(0, 0, 100, 100));  // invalid
    EXPECT_EQ(view.scaleFactor(), 1.0);
    EXPECT_EQ(view.scrollPos(), QPoint(0, 0));

    const QRect visible(600, 500, 200, 100);
    view.ensureRectVisible(visible, visible.adjusted(-10, -10, 10, 10));
    EXPECT_LT(view.scaleFactor(), 1.6);
    EXPECT_GT(view.scaleFactor(), 1.0);
    EXPECT_TRUE(view.viewport()->rect().contains(view.contentsToViewport(visible))) << "the margin stays in view too";
}
