// The tool of the main window's panorama view. Crop mode (switched by the document
// through ICropRect): a crop frame over the panorama with the outside dimmed, moved and
// resized with the mouse. Otherwise the geometry tool of the tiled panorama: a drag in
// the inner rectangle of the view (inset by an eighth on each side) tilts the rendering
// surface, a drag outside it rotates the surface; every step is offered to the
// document through IGeoToolCallback, which may refuse it.
//
// The crop rectangle is in image (content) pixels, QRect with inclusive corners;
// VarnoBase::Rect crosses the document boundary with exclusive right and bottom, the
// same pixels. Mouse positions are display (viewport) pixels. GUI thread only; the
// display and the geometry callback are not owned.
#pragma once

#include <QCursor>
#include <QObject>
#include <QRect>

#include "app/panorama_view.h"
#include "app/transform_frame.h"
#include "document/document_interfaces.h"

class PanoViewControl : public QObject,
                        public IImageControl,
                        public ICropRect,
                        public IGeoTool,
                        public IClientArea,
                        public TransformFrame::IMouseInputCallback {
    Q_OBJECT

public:
    explicit PanoViewControl(QObject* parent = nullptr);

    // IImageControl
    void setDisplay(IImageControlDisplay* display) override { m_display = display; }
    bool needMouseTracking() override { return m_mouseTracking; }
    bool needOverayPainting() override { return m_cropping; }
    void doPaint(QPainter& painter, const QRect& contentArea, bool overlay) override;
    bool onMouseDown(QPoint pos) override;
    bool onMouseMove(QPoint pos) override;
    bool onMouseUp(QPoint pos) override;

    // IClientArea (client = display, logical = content)
    void ClientToLogicalU(QPoint* p) override;
    void ClientToLogicalU(QPoint* p, ConvertFlags) override { ClientToLogicalU(p); }
    void ClientToLogicalU(QRect* r) override;
    void ClientToLogicalU(QRect* r, ConvertFlags) override { ClientToLogicalU(r); }
    void LogicalToClientU(QPoint* p) override;
    void LogicalToClientU(QPoint* p, ConvertFlags) override { LogicalToClientU(p); }
    void LogicalToClientU(QRect* r) override;
    void LogicalToClientU(QRect* r, ConvertFlags) override { LogicalToClientU(r); }

    // TransformFrame::IMouseInputCallback
    void SetMouseCursor(const QCursor& cursor) override { setCursor(cursor); }
    void UpdateInputRgn(const QRegion& region) override { update(region); }
    QPaintDevice* GetPaintDevice() override;

    // ICropRect
    void ActivateCropping(const VarnoBase::Rect& r, bool update) override;
    void DeactivateCropping(VarnoBase::Rect* out, bool update) override;
    void SetCropRect(const VarnoBase::Rect& r) override;
    void GetCropRect(VarnoBase::Rect* out) override;

    // IGeoTool
    void ActivateGeo() override;
    void DeactivateGeo() override;

    void setGeoCallback(IGeoToolCallback* callback) { m_geoCallback = callback; }
    void SetAspectMode(bool on) { m_mouse.SetAspectMode(on); }
    void setMouseTracking(bool on);

    void setCursor(const QCursor& cursor);
    void update();
    void update(const QRegion& region);
    QRect getDisplayRect() const;
    QRect getContentRect() const;

    bool croppingActive() const { return m_cropping; }
    const QCursor& moveCursor() const { return m_moveCursor; }
    const QCursor& geoCursor() const { return m_geoCursor; }

private:
    // Display region outside the crop frame, with the frame's outline and handles.
    void GetOutCropRgn(const TransformFrame::CFrame& frame, QRegion* region);
    QRegion outCropRegion();
    QRegion frameRegion();
    QRect innerRect() const;
    bool geoAllowed();
    int tiltX(QPoint p) const;
    int tiltY(QPoint p) const;
    int rotation(QPoint p) const;

    IImageControlDisplay* m_display = nullptr;
    bool m_mouseTracking = true;
    bool m_cropping = false;
    QRect m_crop;
    bool m_cropButtonDown = false;
    TransformFrame::CFrame m_frame;
    TransformFrame::CMouseInput m_mouse;
    IGeoToolCallback* m_geoCallback = nullptr;
    QCursor m_moveCursor;
    QCursor m_geoCursor;
    bool m_geoEnabled = true;
    bool m_tilting = false;
    bool m_rotating = false;
    QPoint m_pressPos;
};
