// Scroll bars, origin and scale of the picture views; the zoom table. GUI thread only.
#include "app/scroll_view.h"

#include <QPainter>
#include <QPaintEvent>
#include <QScrollBar>
#include <QStyle>

#include <algorithm>
#include <array>
#include <cmath>

ScrollView::ScrollView(QWidget* parent) : QAbstractScrollArea(parent)
{
    horizontalScrollBar()->setRange(0, 0);
    verticalScrollBar()->setRange(0, 0);
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, &ScrollView::verticalScrollbarAction);
    connect(horizontalScrollBar(), &QScrollBar::actionTriggered, this, &ScrollView::horizontalScrollbarAction);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &ScrollView::verticalScrollbarValueChanged);
    connect(horizontalScrollBar(), &QScrollBar::valueChanged, this, &ScrollView::horizontalScrollbarValueChanged);
}

void ScrollView::setScrollSize(QSize size)
{
    m_scrollSize = size;
    updateScrollBars();
}

void ScrollView::setScrollStep(QSize step)
{
    m_scrollStep = step;
    updateScrollBars();
}

void ScrollView::setAllGaps(int gap)
{
    m_leftGap = m_topGap = m_rightGap = m_bottomGap = gap;
    updateScrollBars();
}

void ScrollView::setAlignment(Qt::Alignment alignment)
{
    m_alignment = alignment;
    viewport()->update();
}

QPoint ScrollView::scrollPos() const
{
    return {horizontalScrollBar()->value() - m_leftGap, verticalScrollBar()->value() - m_topGap};
}

void ScrollView::setScrollPos(QPoint pos)
{
    horizontalScrollBar()->setValue(pos.x() + m_leftGap);
    verticalScrollBar()->setValue(pos.y() + m_topGap);
}

QPoint ScrollView::pageStep() const
{
    return {horizontalScrollBar()->pageStep(), verticalScrollBar()->pageStep()};
}

QPoint ScrollView::origin() const
{
    const QRect vp = viewport()->rect();
    const QRect scrolled = QStyle::visualRect(layoutDirection(), vp, QRect(-scrollPos(), m_scrollSize));
    const QRect aligned = QStyle::alignedRect(layoutDirection(), m_alignment, m_scrollSize, vp);
    const int x = m_scrollSize.width() < vp.width() ? aligned.left() : scrolled.left();
    const int y = vp.height() > m_scrollSize.height() ? aligned.top() : scrolled.top();
    return {x, y};
}

// Whether there is anything to scroll to: a content larger than the viewport, also
// while it is still scrolled to its top-left corner.
bool ScrollView::canScroll() const
{
    return horizontalScrollBar()->maximum() > 0 || verticalScrollBar()->maximum() > 0;
}

QPoint ScrollView::viewportToContents(const QPoint& p) const { return p - origin(); }
QRect ScrollView::viewportToContents(const QRect& r) const { return r.translated(-origin()); }
QPoint ScrollView::contentsToViewport(const QPoint& p) const { return p + origin(); }
QRect ScrollView::contentsToViewport(const QRect& r) const { return r.translated(origin()); }

void ScrollView::draw(QPainter&, const QRect&, const QPoint&) {}

void ScrollView::paintEvent(QPaintEvent* e)
{
    QPainter painter(viewport());
    draw(painter, e->rect(), origin());
}

void ScrollView::resizeEvent(QResizeEvent* e)
{
    QAbstractScrollArea::resizeEvent(e);
    updateScrollBars();
}

void ScrollView::updateScrollBars()
{
    QScrollBar* h = horizontalScrollBar();
    QScrollBar* v = verticalScrollBar();
    if (m_scrollSize.width() < 1 || m_scrollSize.height() < 1) {
        h->setRange(0, 0);
        v->setRange(0, 0);
        return;
    }
    const int totalW = m_leftGap + m_rightGap + m_scrollSize.width();
    const int totalH = m_topGap + m_bottomGap + m_scrollSize.height();
    QSize extent = viewport()->size();
    const QSize maxSize = maximumViewportSize();
    if (maxSize.width() >= totalW && maxSize.height() >= totalH)
        extent = maxSize;  // fits without bars: ranges come out 0

    QSize step = m_scrollStep;
    if (step.width() < 1 || step.height() < 1)
        step = QSize(std::max(1, int(std::lround(extent.width() / 10.0))),
                     std::max(1, int(std::lround(extent.height() / 10.0))));

    h->setSingleStep(step.width());
    h->setPageStep(extent.width());
    h->setRange(0, std::max(0, totalW - extent.width()));
    v->setSingleStep(step.height());
    v->setPageStep(extent.height());
    v->setRange(0, std::max(0, totalH - extent.height()));
}

// ---------------------------------------------------------------------------------

namespace {

QPoint scaled(const QPoint& p, double f)
{
    return {int(std::lround(p.x() * f)), int(std::lround(p.y() * f))};
}

}  // namespace

ScaledScrollView::ScaledScrollView(QWidget* parent) : ScrollView(parent) {}

void ScaledScrollView::setActualSize(QSize size)
{
    m_actualSize = size;
    setScrollSize(QSize(int(std::lround(size.width() * m_scaleFactor)), int(std::lround(size.height() * m_scaleFactor))));
}

bool ScaledScrollView::canScale(double& factor) const
{
    if (!std::isfinite(factor) || factor <= 0.0 || m_actualSize.width() < 1 || m_actualSize.height() < 1)
        return false;
    const double w = std::round(m_actualSize.width() * factor);
    const double h = std::round(m_actualSize.height() * factor);
    return w > 9 && h > 9 && w <= 16383 && h <= 16383;
}

void ScaledScrollView::setScaleFactor(double factor)
{
    if (!std::isfinite(factor) || factor <= 0.0 || factor == m_scaleFactor)
        return;
    if (!canScale(factor))
        return;
    const double r = factor / m_scaleFactor;
    m_scaleFactor = factor;
    setScrollSize(QSize(int(std::lround(m_actualSize.width() * factor)), int(std::lround(m_actualSize.height() * factor))));
    const QPoint half = scaled(scaled(pageStep(), r - 1.0), 0.5);
    setScrollPos(half + scaled(scrollPos(), r));
    viewport()->update();
    emit scaleChanged();
}

QPoint ScaledScrollView::contentsToViewport(const QPoint& p) const
{
    return ScrollView::contentsToViewport(scaled(p, m_scaleFactor));
}

QPoint ScaledScrollView::viewportToContents(const QPoint& p) const
{
    return scaled(ScrollView::viewportToContents(p), 1.0 / m_scaleFactor);
}

QRect ScaledScrollView::contentsToViewport(const QRect& r) const
{
    return QRect(scaled(r.topLeft(), m_scaleFactor), scaled(r.bottomRight(), m_scaleFactor)).translated(origin());
}

QRect ScaledScrollView::viewportToContents(const QRect& r) const
{
    const QRect t = r.translated(-origin());
    return QRect(scaled(t.topLeft(), 1.0 / m_scaleFactor), scaled(t.bottomRight(), 1.0 / m_scaleFactor));
}

// ---------------------------------------------------------------------------------
// Zoom table

namespace {

constexpr std::array<int, 19> kZoomTable = {1, 2, 3, 4, 5, 6, 8, 13, 17, 25, 33, 50, 67, 100, 200, 400, 600, 800, 1000};
constexpr double kMinZoom = 1.0;
constexpr double kMaxZoom = 1000.0;

double clampZoom(double z)
{
    if (std::isnan(z))
        return kMinZoom;
    return std::clamp(z, kMinZoom, kMaxZoom);
}

}  // namespace

int _GetZoomTableSize() { return int(kZoomTable.size()); }
double GetMinZoomFactor() { return kMinZoom; }
double GetMaxZoomFactor() { return kMaxZoom; }

int _get_nearest_zoom_scale_index(double zoom)
{
    const double z = clampZoom(zoom);
    int best = 0;
    double bestDistance = 99999.0;
    for (int i = 0; i < int(kZoomTable.size()); ++i) {
        const double d = std::fabs(kZoomTable[i] - z);
        if (d < bestDistance) {  // strict: a tie stays with the lower step
            bestDistance = d;
            best = i;
        }
    }
    return best;
}

bool CanNextZoomFactor(double zoom, bool up)
{
    const int i = _get_nearest_zoom_scale_index(zoom);
    return up ? i < int(kZoomTable.size()) - 1 : i > 0;
}

double GetNextZoomFactor(double zoom, bool up)
{
    const double c = clampZoom(zoom);
    if (up) {
        for (int z : kZoomTable)
            if (z > c)
                return z;
    } else {
        for (auto it = kZoomTable.rbegin(); it != kZoomTable.rend(); ++it)
            if (*it < c)
                return *it;
    }
    return c;
}

double GetZoom100(int slider)
{
    const double v = slider * (kMaxZoom - kMinZoom) / 100.0 + kMinZoom;
    return kZoomTable[_get_nearest_zoom_scale_index(v)];
}
