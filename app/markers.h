// The draggable pins of the matching dialog's photo panes. Each of a photo's three
// markers stands for one point of the pair's point triple held by a manual matcher:
// group 0 the first photo, group 1 the second. The user drags a pin; on the drop the
// control hands the new point to the matcher and emits markerMoved().
//
// Coordinates: a marker's "position" is in content pixels (the photo's own pixels, the
// marked point itself); its "display position" is in viewport pixels and is derived
// from the position whenever the view paints or the marker is dragged. The hot point is
// the bitmap pixel lying on the marked point (the pin's tip).
//
// Which markers exist, their bitmaps and hot points come from the compiled-in
// description ":/res/res/markers.xml". GUI thread only. ArrayOfMarkers owns its
// markers; PreviewControl owns the array and neither its display nor the matcher.
#pragma once

#include <QCursor>
#include <QImage>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <memory>
#include <vector>

#include "app/panorama_view.h"
#include "engine/manual_matcher.h"

class QPainter;

// Identity of a marker: the index of its point within the matcher's triple.
enum MarkerName : int {
    MarkerNone = -1,
    Marker0 = 0,
    Marker1 = 1,
    Marker2 = 2,
};

class Marker {
public:
    Marker() = default;
    Marker(MarkerName name, const QString& fileName, const QPoint& hotPoint);

    // A 32-bit BMP with alpha, or any image Qt reads; a null bitmap is never drawn or hit.
    void SetBitmap(const QString& fileName, const QPoint& hotPoint);

    QRect GetRect() const;     // the bitmap in display coordinates
    QRect GetAbsRect() const;  // the bitmap in content coordinates
    QPoint GetDragOrg(const QPoint& p) const { return p - m_displayPos; }
    // Display coordinates. Pixels of alpha 126 or less are not part of the pin.
    bool PtInMarker(const QPoint& p) const;
    void Draw(QPainter& painter, const QPoint& origin) const;

    MarkerName name() const { return m_name; }
    const QImage& bitmap() const { return m_bitmap; }
    QPoint hotPoint() const { return m_hotPoint; }
    QPoint position() const { return m_position; }
    void setPosition(const QPoint& p) { m_position = p; }
    QPoint displayPosition() const { return m_displayPos; }
    void setDisplayPosition(const QPoint& p) { m_displayPos = p; }
    bool isVisible() const { return m_visible; }
    void setVisible(bool visible) { m_visible = visible; }

private:
    MarkerName m_name = MarkerNone;
    QImage m_bitmap;
    QSize m_size{0, 0};
    QPoint m_hotPoint;
    QPoint m_position;
    QPoint m_displayPos;
    bool m_visible = false;
};

// Ordered markers: the first is the active one (pressed last). Hit testing and drawing
// both walk from the first to the last, so where pins overlap the one pressed last is
// hit first and painted first (the others over it).
class ArrayOfMarkers {
public:
    void Add(Marker* marker);  // takes ownership
    Marker* GetActive() const { return m_markers.empty() ? nullptr : m_markers.front().get(); }
    void SetActive(const Marker* marker);
    Marker* HitTest(const QPoint& p) const;
    Marker* GetByName(MarkerName name) const;
    void Draw(QPainter& painter, const QPoint& origin) const;

    int size() const { return int(m_markers.size()); }
    Marker* at(int i) const { return m_markers[std::size_t(i)].get(); }

private:
    std::vector<std::unique_ptr<Marker>> m_markers;
};

// The tool of one photo pane: three markers tied to one point group of a matcher.
class PreviewControl : public QObject, public IImageControl {
    Q_OBJECT

public:
    static constexpr const char* kDescription = ":/res/res/markers.xml";

    // `description`: the marker description to read (the compiled-in one normally); a
    // file that is missing or does not parse gives a control without markers.
    explicit PreviewControl(QObject* parent = nullptr, const QString& description = QString::fromLatin1(kDescription));

    // IImageControl
    void setDisplay(IImageControlDisplay* display) override { m_display = display; }
    bool needMouseTracking() override { return true; }
    bool needOverayPainting() override { return true; }
    void doPaint(QPainter& painter, const QRect& contentArea, bool overlay) override;
    bool onMouseMove(QPoint pos) override;
    bool onMouseDown(QPoint pos) override;
    bool onMouseUp(QPoint pos) override;

    // Ties the control to `group` of `matcher` and puts the markers on its points.
    void SetMatcher(PanoramaLib::IManualMatcher* matcher, PanoramaLib::IManualMatcher::PTS_group group);
    void ShowMarker(MarkerName name, bool show);
    void UpdatePositionOfMarkers();
    // Content coordinates: the bounds of the marked points and of the pins around them
    // (hidden markers included).
    void GetMarkersRect(QRect& pointsRect, QRect& markersRect) const;

    // Largest distance from a hot point to an edge of its bitmap: the gap a pane keeps
    // around its photo so a pin on the border stays whole.
    int markerMargin() const { return m_markerMargin; }
    const ArrayOfMarkers& markers() const { return m_markers; }
    bool isDragging() const { return m_dragging; }

signals:
    void markerMoved();

private:
    void LoadDescription(const QString& path);

    IImageControlDisplay* m_display = nullptr;
    ArrayOfMarkers m_markers;
    PanoramaLib::IManualMatcher* m_matcher = nullptr;
    PanoramaLib::IManualMatcher::PTS_group m_group = PanoramaLib::IManualMatcher::PTS_First;
    QCursor m_dragCursor{Qt::ClosedHandCursor};
    QCursor m_hoverCursor{Qt::PointingHandCursor};
    bool m_moved = false;
    bool m_hovering = false;
    int m_markerMargin = 0;
    QPoint m_dragOffset;
    bool m_dragging = false;
};
