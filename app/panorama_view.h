// The zoomable view of one image element (a panorama preview or result, or a photo of
// the matching dialog) with an optional centred text line over it.
//
// A tool plugged in through IImageControl gets the mouse first and paints an overlay;
// it sees the view through IImageControlDisplay. Without a tool, or when the tool
// declines, the left button pans. "Display" coordinates are viewport pixels, "content"
// coordinates are the picture's own pixels.
//
// GUI thread only. The view holds one reference to the picture; the tool is not owned.
// For painting it keeps a 32-bit copy of the picture's pixels (and, for large pictures
// at low zoom, halved copies), made again whenever the pixel store's cache key changes.
#pragma once

#include <QImage>
#include <QString>

#include <memory>
#include <vector>

#include "app/scroll_view.h"
#include "core/pano_element.h"
#include "core/refcount.h"

class QCursor;
class QLabel;
class QPaintDevice;
class QRegion;

class IImageControlDisplay;

// A tool plugged into an image display. Positions are display pixels; the mouse
// operations answer true when they consumed the event.
class IImageControl {
public:
    virtual void setDisplay(IImageControlDisplay* display) = 0;  // null: unplugged
    virtual bool needMouseTracking() = 0;
    virtual bool needOverayPainting() = 0;
    // contentArea: the picture's area in display coordinates.
    virtual void doPaint(QPainter& painter, const QRect& contentArea, bool overlay) = 0;
    virtual bool onMouseMove(QPoint pos) = 0;
    virtual bool onMouseDown(QPoint pos) = 0;
    virtual bool onMouseUp(QPoint pos) = 0;

protected:
    ~IImageControl() = default;
};

// The display as a tool sees it.
class IImageControlDisplay {
public:
    virtual QRect getDisplayRect() = 0;
    virtual QRect getContentRect() = 0;
    virtual QPoint contentToDisplay(QPoint p) = 0;
    virtual QRect contentToDisplay(QRect r) = 0;
    virtual QPoint displayToContent(QPoint p) = 0;
    virtual QRect displayToContent(QRect r) = 0;
    virtual void setDisplayCursor(const QCursor& cursor) = 0;
    virtual void resetDisplayCursor() = 0;
    virtual void updateDisplay() = 0;
    virtual void updateDisplayRect(const QRect& r) = 0;
    virtual void updateDisplayRgn(const QRegion& r) = 0;
    virtual void updateMouseTracking() = 0;
    virtual QPaintDevice* getPaintDevice() = 0;

protected:
    ~IImageControlDisplay() = default;
};

namespace PanoramaLib {
class QtDibImpl;
}

// The 32-bit copies a view paints from, keyed by the pixel store and its cache key.
// Level k is the picture halved k times (2 x 2 averages); level 0 is the full copy.
class DisplayImageCache {
public:
    explicit DisplayImageCache(qint64 largePicture = kLargePicture) : m_largePicture(largePicture) {}

    // The copy to paint from at `scale` (display pixels per picture pixel) and its
    // level; null when the store has no pixels or memory ran out.
    const QImage* image(const PanoramaLib::QtDibImpl& dib, double scale, int* level);
    void clear();

    // Pictures of at least this many pixels are drawn from halved copies at low zoom.
    static constexpr qint64 kLargePicture = qint64(16) << 20;
    static constexpr int kMaxLevel = 6;
    // Level used for a picture of `pixels` pixels at `scale`.
    int levelFor(qint64 pixels, double scale) const;

private:
    qint64 m_largePicture;
    const void* m_store = nullptr;
    qint64 m_key = 0;
    std::vector<QImage> m_levels;  // [0] full, [k] halved k times; null until needed
};

class PanoramaView : public ScaledScrollView, public IImageControlDisplay {
    Q_OBJECT

public:
    explicit PanoramaView(QWidget* parent = nullptr);
    ~PanoramaView() override;

    QString text() const;
    bool textVisible() const;

    void setScaleRange(double minScale, double maxScale);
    double minScale() const { return m_minScale; }
    double maxScale() const { return m_maxScale; }

    void setControl(IImageControl* control);
    IImageControl* control() const { return m_control; }
    bool hasPicture() const { return m_picture.get() != nullptr; }
    PanoramaLib::IPanoElement* picture() const { return m_picture.get(); }
    void setPicture(PanoramaLib::IPanoElement* picture, bool fitToWindow);

    QString printScale() const;
    bool canZoomIn() const;
    bool canZoomOut() const;

    // Clamps to the scale range once it is set; otherwise the pixel limits of the base.
    // Refuses factors that are not finite and positive, and any factor without a picture.
    bool canScale(double& factor) const override;

    // IImageControlDisplay
    QRect getDisplayRect() override;
    QRect getContentRect() override;
    QPoint contentToDisplay(QPoint p) override;
    QRect contentToDisplay(QRect r) override;
    QPoint displayToContent(QPoint p) override;
    QRect displayToContent(QRect r) override;
    void setDisplayCursor(const QCursor& cursor) override;
    void resetDisplayCursor() override;
    void updateDisplay() override;
    void updateDisplayRect(const QRect& r) override;
    void updateDisplayRgn(const QRegion& r) override;
    void updateMouseTracking() override;
    QPaintDevice* getPaintDevice() override;

public slots:
    void open(const PanoramaLib::IPanoElement* picture);
    virtual void zoomIn();
    virtual void zoomOut();
    virtual void zoomToActual();
    virtual void zoomToWindow();
    virtual void zoomToWidth();
    virtual void zoomToHeight();
    virtual void ensureRectVisible(QRect rcVisible, QRect rcBounds);
    void setText(const QString& text);
    void setTextVisible(bool visible);

signals:
    void imageScaled(double scale);
    void pictureChanged(bool nullPicture);

protected:
    void draw(QPainter& painter, const QRect& updateRect, const QPoint& origin) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    void drawPicture(QPainter& painter, const QRect& updateRect);
    bool hasActualSize() const;

    VarnoBase::RefPtr<PanoramaLib::IPanoElement> m_picture;
    IImageControl* m_control = nullptr;
    QLabel* m_label = nullptr;
    QPoint m_panMouse;
    QPoint m_panScroll;
    bool m_panning = false;
    bool m_scaleRange = false;
    bool m_fitWhenShown = false;  // fitted while hidden, at a size the view does not have
    double m_minScale = 1.0;
    double m_maxScale = 400.0;
    DisplayImageCache m_cache;
};
