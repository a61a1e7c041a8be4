// Scrollable and zoomable picture widgets and the table of zoom steps.
//
// ScrollView shows a content of scrollSize viewport pixels with margins (gaps) around
// it; a content smaller than the viewport sits where `alignment` puts it. Painting is
// handed to the virtual draw(). ScaledScrollView adds the content's own (actual) size
// and a scale factor (1.0 = one content pixel per viewport pixel) and keeps the
// viewport's centre on the same content point when the factor changes.
//
// Coordinates: "contents" are content pixels (ScaledScrollView: the picture's own
// pixels), "viewport" are pixels of the viewport widget. GUI thread only.
//
// The zoom table holds percent values (1 .. 1000) that the zoom actions, the zoom
// slider and the matching dialog's zoom buttons step through.
#pragma once

#include <QAbstractScrollArea>
#include <QPoint>
#include <QRect>
#include <QSize>

class ScrollView : public QAbstractScrollArea {
    Q_OBJECT
    Q_PROPERTY(QPoint scrollPos READ scrollPos WRITE setScrollPos)
    Q_PROPERTY(QSize scrollSize READ scrollSize WRITE setScrollSize)
    Q_PROPERTY(QSize scrollStep READ scrollStep WRITE setScrollStep)
    Q_PROPERTY(QPoint origin READ origin)
    Q_PROPERTY(Qt::Alignment alignment READ alignment WRITE setAlignment)

public:
    explicit ScrollView(QWidget* parent = nullptr);

    QSize scrollSize() const { return m_scrollSize; }
    void setScrollSize(QSize size);
    QSize scrollStep() const { return m_scrollStep; }
    void setScrollStep(QSize step);
    void setAllGaps(int gap);

    Qt::Alignment alignment() const { return m_alignment; }
    void setAlignment(Qt::Alignment alignment);

    // Bar values minus the left and top gaps; setting clamps to the bars' ranges.
    QPoint scrollPos() const;
    void setScrollPos(QPoint pos);
    QPoint pageStep() const;

    // Viewport position of the content's top-left corner.
    QPoint origin() const;
    QRect originRect() const { return QRect(origin(), m_scrollSize); }
    bool canScroll() const;

    virtual QPoint viewportToContents(const QPoint& p) const;
    virtual QRect viewportToContents(const QRect& r) const;
    virtual QPoint contentsToViewport(const QPoint& p) const;
    virtual QRect contentsToViewport(const QRect& r) const;

protected:
    // Paints the part `updateRect` (viewport pixels) of the content; origin() as given.
    virtual void draw(QPainter& painter, const QRect& updateRect, const QPoint& origin);

    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

protected slots:
    void updateScrollBars();
    // Hooks for subclasses; repainting on scrolling is the scroll area's own.
    virtual void verticalScrollbarAction(int) {}
    virtual void horizontalScrollbarAction(int) {}
    virtual void verticalScrollbarValueChanged(int) {}
    virtual void horizontalScrollbarValueChanged(int) {}

private:
    QSize m_scrollSize{-1, -1};
    QSize m_scrollStep{-1, -1};
    Qt::Alignment m_alignment = Qt::AlignHCenter | Qt::AlignVCenter;
    int m_leftGap = 0;
    int m_topGap = 0;
    int m_rightGap = 0;
    int m_bottomGap = 0;
};

class ScaledScrollView : public ScrollView {
    Q_OBJECT

public:
    explicit ScaledScrollView(QWidget* parent = nullptr);

    QSize actualSize() const { return m_actualSize; }
    void setActualSize(QSize size);
    QRect actualRect() const { return QRect(QPoint(0, 0), m_actualSize); }

    double scaleFactor() const { return m_scaleFactor; }
    // Keeps the content point under the viewport's centre in place. A factor that is
    // not a finite positive number, equals the current one, or that canScale refuses
    // changes nothing and emits nothing.
    void setScaleFactor(double factor);

    // Whether the factor is acceptable: finite, positive, a picture present, and both
    // scaled sides 10 .. 16383 pixels. Subclasses may adjust the factor.
    virtual bool canScale(double& factor) const;

    QPoint viewportToContents(const QPoint& p) const override;
    QRect viewportToContents(const QRect& r) const override;
    QPoint contentsToViewport(const QPoint& p) const override;
    QRect contentsToViewport(const QRect& r) const override;

signals:
    void scaleChanged();

private:
    QSize m_actualSize{-1, -1};
    double m_scaleFactor = 1.0;
};

// Zoom table (percent values).
int _GetZoomTableSize();
double GetMinZoomFactor();
double GetMaxZoomFactor();
int _get_nearest_zoom_scale_index(double zoom);
bool CanNextZoomFactor(double zoom, bool up);
double GetNextZoomFactor(double zoom, bool up);
// Slider position 0 .. 100 to the nearest table entry (0 -> 1 %, 100 -> 1000 %).
double GetZoom100(int slider);
