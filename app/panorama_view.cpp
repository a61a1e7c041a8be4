// The panorama view: zoom operations, panning, the tool hand-over and painting.
//
// Painting maps the picture with one exact transform (scale factor and origin) and
// clips to the update rectangle, so a strip repaint draws the same pixels a full
// repaint does. The 24-bit pixel store is converted to 32 bits once per picture and
// pixel state (its cache key), not on every paint. GUI thread only.
#include "app/panorama_view.h"

#include <QCursor>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "core/dib.h"

// ---------------------------------------------------------------------------------
// DisplayImageCache

namespace {

// One 2 x 2 average per output pixel of 0xffRRGGBB pixels; an odd last row or column
// repeats itself, which averages what there is.
inline std::uint32_t average4(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d)
{
    const std::uint32_t rb = (a & 0xff00ffu) + (b & 0xff00ffu) + (c & 0xff00ffu) + (d & 0xff00ffu) + 0x020002u;
    const std::uint32_t g = (a & 0xff00u) + (b & 0xff00u) + (c & 0xff00u) + (d & 0xff00u) + 0x0200u;
    return 0xff000000u | ((rb >> 2) & 0xff00ffu) | ((g >> 2) & 0xff00u);
}

QImage halved(const QImage& src)
{
    const int sw = src.width();
    const int sh = src.height();
    QImage dst((sw + 1) / 2, (sh + 1) / 2, QImage::Format_RGB32);
    if (dst.isNull())
        return dst;
    const int pairs = sw / 2;
    for (int y = 0; y < dst.height(); ++y) {
        const auto* r0 = reinterpret_cast<const std::uint32_t*>(src.constScanLine(2 * y));
        const auto* r1 = reinterpret_cast<const std::uint32_t*>(src.constScanLine(std::min(2 * y + 1, sh - 1)));
        auto* out = reinterpret_cast<std::uint32_t*>(dst.scanLine(y));
        for (int x = 0; x < pairs; ++x)
            out[x] = average4(r0[2 * x], r0[2 * x + 1], r1[2 * x], r1[2 * x + 1]);
        if (sw & 1)
            out[pairs] = average4(r0[sw - 1], r0[sw - 1], r1[sw - 1], r1[sw - 1]);
    }
    return dst;
}

}  // namespace

int DisplayImageCache::levelFor(qint64 pixels, double scale) const
{
    if (pixels < m_largePicture || !(scale > 0.0))
        return 0;
    // Halve while the halved copy is still drawn no larger than its own size. At exactly
    // 50 % the halved copy is drawn 1:1, and its 2 x 2 averages are what smooth
    // scaling of the full copy samples there: the same pixels, without the filtering.
    int level = 0;
    while (level < kMaxLevel && scale * double(1 << (level + 1)) <= 1.0)
        ++level;
    return level;
}

void DisplayImageCache::clear()
{
    m_store = nullptr;
    m_key = 0;
    m_levels.clear();
}

const QImage* DisplayImageCache::image(const PanoramaLib::QtDibImpl& dib, double scale, int* level)
{
    const qint64 key = dib.cacheKey();
    if (&dib != m_store || key != m_key || m_levels.empty()) {
        clear();
        QImage full = dib.convertedImage(QImage::Format_RGB32);
        if (full.isNull())
            return nullptr;
        m_store = &dib;
        m_key = key;
        m_levels.push_back(std::move(full));
    }
    int want = levelFor(qint64(m_levels[0].width()) * m_levels[0].height(), scale);
    try {
        while (int(m_levels.size()) <= want) {
            const QImage& prev = m_levels.back();
            if (prev.width() < 2 || prev.height() < 2)
                break;
            QImage next = halved(prev);
            if (next.isNull())
                break;
            m_levels.push_back(std::move(next));
        }
    } catch (const std::bad_alloc&) {
        // Draw from the finest copy there is.
    }
    want = std::min(want, int(m_levels.size()) - 1);
    *level = want;
    return &m_levels[std::size_t(want)];
}

// ---------------------------------------------------------------------------------
// PanoramaView

PanoramaView::PanoramaView(QWidget* parent) : ScaledScrollView(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    viewport()->setBackgroundRole(QPalette::Dark);
    auto* layout = new QVBoxLayout(viewport());
    m_label = new QLabel(QString(), viewport());
    m_label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    // The label covers the viewport: without this, hover moves would never reach the tool.
    m_label->setAttribute(Qt::WA_TransparentForMouseEvents);
    layout->addWidget(m_label, 0);
}

PanoramaView::~PanoramaView() = default;

QString PanoramaView::text() const { return m_label ? m_label->text() : QString(); }
void PanoramaView::setText(const QString& text)
{
    if (m_label)
        m_label->setText(text);
}

bool PanoramaView::textVisible() const { return m_label && m_label->isVisibleTo(const_cast<PanoramaView*>(this)); }
void PanoramaView::setTextVisible(bool visible)
{
    if (m_label)
        m_label->setVisible(visible);
}

void PanoramaView::setScaleRange(double minScale, double maxScale)
{
    m_minScale = minScale;
    m_maxScale = maxScale;
    m_scaleRange = true;
}

void PanoramaView::setControl(IImageControl* control)
{
    bool tracking = false;
    if (m_control) {
        m_control->setDisplay(nullptr);
        tracking = m_control->needMouseTracking();
    }
    if (control) {
        control->setDisplay(this);
        const bool want = control->needMouseTracking();
        if (want != tracking)
            viewport()->setMouseTracking(want);
    }
    m_control = control;
}

void PanoramaView::setPicture(PanoramaLib::IPanoElement* picture, bool fitToWindow)
{
    if (picture != m_picture.get()) {
        m_picture = picture;
        m_cache.clear();
        emit pictureChanged(picture == nullptr);
    }
    if (picture) {
        const VarnoBase::Size s = picture->GetImageSize();
        setActualSize(QSize(s.cx, s.cy));
    } else {
        setActualSize(QSize(-1, -1));
    }
    if (fitToWindow)
        zoomToWindow();
    else
        zoomToActual();
    viewport()->update();
}

void PanoramaView::open(const PanoramaLib::IPanoElement* picture)
{
    auto* p = const_cast<PanoramaLib::IPanoElement*>(picture);
    if (p != m_picture.get())
        m_cache.clear();
    m_picture = p;
    if (p) {
        const VarnoBase::Size s = p->GetImageSize();
        setActualSize(QSize(s.cx, s.cy));
    } else {
        setActualSize(QSize(-1, -1));
    }
}

QString PanoramaView::printScale() const
{
    if (!m_picture || !m_picture->HasBits())
        return QString();
    return tr("%1 %").arg(scaleFactor() * 100.0, 3, 'f', 0, QLatin1Char(' '));
}

bool PanoramaView::canZoomIn() const
{
    double f = scaleFactor() * 1.25;
    return canScale(f);
}

bool PanoramaView::canZoomOut() const
{
    double f = scaleFactor() * 0.8;
    return canScale(f);
}

bool PanoramaView::hasActualSize() const
{
    return actualSize().width() >= 1 && actualSize().height() >= 1;
}

bool PanoramaView::canScale(double& factor) const
{
    if (!std::isfinite(factor) || factor <= 0.0 || !hasActualSize())
        return false;
    if (!m_scaleRange)
        return ScaledScrollView::canScale(factor);
    factor = std::clamp(factor, m_minScale, m_maxScale);
    return factor != scaleFactor();
}

void PanoramaView::zoomIn() { setScaleFactor(scaleFactor() * 1.25); }
void PanoramaView::zoomOut() { setScaleFactor(scaleFactor() * 0.8); }
void PanoramaView::zoomToActual() { setScaleFactor(1.0); }

void PanoramaView::zoomToWindow()
{
    if (!hasActualSize())
        return;
    // A picture set while the view's page is not shown (Export entered straight from Add
    // Images) would be fitted to a size the view has never had: fitted again once shown.
    m_fitWhenShown = !isVisible();
    const QSize m = maximumViewportSize();
    setScaleFactor(std::min(double(m.width()) / actualSize().width(), double(m.height()) / actualSize().height()));
}

void PanoramaView::resizeEvent(QResizeEvent* e)
{
    ScaledScrollView::resizeEvent(e);
    if (m_fitWhenShown && isVisible())
        zoomToWindow();
}

void PanoramaView::showEvent(QShowEvent* e)
{
    ScaledScrollView::showEvent(e);
    if (m_fitWhenShown)
        zoomToWindow();
}

void PanoramaView::zoomToWidth()
{
    if (!hasActualSize())
        return;
    const QSize m = maximumViewportSize();
    const double aw = actualSize().width();
    double s = 0.0;
    switch (horizontalScrollBarPolicy()) {
    case Qt::ScrollBarAsNeeded:
        s = m.width() / aw;
        if (actualSize().height() * s > m.height())
            s = (m.width() - verticalScrollBar()->sizeHint().width()) / aw;
        break;
    case Qt::ScrollBarAlwaysOff:
        s = m.width() / aw;
        break;
    case Qt::ScrollBarAlwaysOn:
        return;
    }
    setScaleFactor(s);
}

void PanoramaView::zoomToHeight()
{
    if (!hasActualSize())
        return;
    const QSize m = maximumViewportSize();
    const double ah = actualSize().height();
    double s = 0.0;
    switch (verticalScrollBarPolicy()) {
    case Qt::ScrollBarAsNeeded:
        s = m.height() / ah;
        if (actualSize().width() * s > m.width())
            s = (m.height() - horizontalScrollBar()->sizeHint().height()) / ah;
        break;
    case Qt::ScrollBarAlwaysOff:
        s = m.height() / ah;
        break;
    case Qt::ScrollBarAlwaysOn:
        return;
    }
    setScaleFactor(s);
}

void PanoramaView::ensureRectVisible(QRect rcVisible, QRect rcBounds)
{
    if (!rcVisible.isValid() || !hasActualSize())
        return;
    const QSize m = maximumViewportSize();
    const int barH = horizontalScrollBarPolicy() == Qt::ScrollBarAsNeeded ? horizontalScrollBar()->sizeHint().height() : -1;
    const int barW = verticalScrollBarPolicy() == Qt::ScrollBarAsNeeded ? verticalScrollBar()->sizeHint().width() : -1;
    const double availW = m.width() - barW;
    const double availH = m.height() - barH;
    const double fx = (availW - (rcBounds.width() - rcVisible.width())) / rcVisible.width();
    const double fy = (availH - (rcBounds.height() - rcVisible.height())) / rcVisible.height();
    setScaleFactor(std::min(fx, fy));
    const double f = scaleFactor();
    const QPoint tl(int(std::lround(rcVisible.left() * f)), int(std::lround(rcVisible.top() * f)));
    setScrollPos(tl + (rcBounds.topLeft() - rcVisible.topLeft()));
}

// ---------------------------------------------------------------------------------
// Painting

void PanoramaView::draw(QPainter& painter, const QRect& updateRect, const QPoint&)
{
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    drawPicture(painter, updateRect);
    if (m_control && m_control->needOverayPainting())
        m_control->doPaint(painter, originRect(), true);
}

void PanoramaView::drawPicture(QPainter& painter, const QRect& updateRect)
{
    if (!m_picture)
        return;
    PanoramaLib::IDib* store = m_picture->GetDib();
    auto* dib = store ? static_cast<PanoramaLib::QtDibImpl*>(store->QueryObject(PanoramaLib::kQueryDibImpl)) : nullptr;
    if (!dib || !dib->hasBits())
        return;
    const QRect area = updateRect & originRect();
    if (area.isEmpty())
        return;
    const double f = scaleFactor();
    int level = 0;
    const QImage* image = m_cache.image(*dib, f, &level);
    if (!image)
        return;
    // One transform for the whole picture, the update rectangle only as a clip: the
    // pixels drawn do not depend on which part of the viewport is being repainted.
    const double s = f * double(1 << level);
    const QPoint o = origin();
    painter.save();
    painter.setClipRect(area, Qt::IntersectClip);
    painter.setWorldTransform(QTransform(s, 0, 0, s, o.x(), o.y()), true);
    painter.drawImage(QPointF(0, 0), *image);
    painter.restore();
}

// ---------------------------------------------------------------------------------
// IImageControlDisplay

QRect PanoramaView::getDisplayRect() { return viewport()->rect(); }
QRect PanoramaView::getContentRect() { return actualRect(); }
QPoint PanoramaView::contentToDisplay(QPoint p) { return contentsToViewport(p); }
QRect PanoramaView::contentToDisplay(QRect r) { return contentsToViewport(r); }
QPoint PanoramaView::displayToContent(QPoint p) { return viewportToContents(p); }
QRect PanoramaView::displayToContent(QRect r) { return viewportToContents(r); }
void PanoramaView::setDisplayCursor(const QCursor& cursor) { setCursor(cursor); }
void PanoramaView::resetDisplayCursor() { unsetCursor(); }
void PanoramaView::updateDisplay() { viewport()->update(); }
void PanoramaView::updateDisplayRect(const QRect& r) { viewport()->update(r); }
void PanoramaView::updateDisplayRgn(const QRegion& r) { viewport()->update(r); }

void PanoramaView::updateMouseTracking()
{
    if (!m_control)
        return;
    const bool want = m_control->needMouseTracking();
    if (want != viewport()->hasMouseTracking())
        viewport()->setMouseTracking(want);
}

QPaintDevice* PanoramaView::getPaintDevice() { return viewport(); }

// ---------------------------------------------------------------------------------
// Mouse

void PanoramaView::mousePressEvent(QMouseEvent* e)
{
    const QPoint pos = e->position().toPoint();
    if (m_control && m_control->onMouseDown(pos))
        return;
    if (e->button() != Qt::LeftButton)
        return;
    m_panMouse = pos;
    m_panScroll = scrollPos();
    if (canScroll()) {
        setCursor(Qt::ClosedHandCursor);
        m_panning = true;
    }
}

void PanoramaView::mouseMoveEvent(QMouseEvent* e)
{
    const QPoint pos = e->position().toPoint();
    if (m_control && m_control->onMouseMove(pos))
        return;
    if (m_panning)
        setScrollPos(m_panScroll + (m_panMouse - pos));
}

void PanoramaView::mouseReleaseEvent(QMouseEvent* e)
{
    const QPoint pos = e->position().toPoint();
    if (m_control && m_control->onMouseUp(pos))
        return;
    setCursor(Qt::ArrowCursor);
    m_panning = false;
}

void PanoramaView::wheelEvent(QWheelEvent* e)
{
    const int delta = e->angleDelta().y();
    if (delta == 0) {
        e->ignore();  // horizontal wheel: nothing to do here
        return;
    }
    const int steps = delta / 8 / 15;
    if (steps >= 1)
        zoomIn();
    else if (steps < 0)
        zoomOut();
    e->accept();
    emit imageScaled(scaleFactor());
}
