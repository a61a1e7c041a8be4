// The panorama view's crop and geometry tool. The crop frame is a TransformFrame::CFrame
// kept at centre (0, 0) and angle 0, so frame, logical and image coordinates coincide.
// GUI thread only.
#include "app/pano_view_control.h"

#include <QPainter>

#include <cmath>
#include <numbers>

#include "app/bitmap_loader.h"

namespace {

constexpr int kTiltRange = 45;  // tilt of a drag across the whole view
const QColor kOutsideCrop(255, 255, 255, 100);

}  // namespace

PanoViewControl::PanoViewControl(QObject* parent)
    : QObject(parent),
      m_mouse(&m_frame),
      m_moveCursor(VarnoBase::loadWndCursor(QStringLiteral(":/res/res/move1.cur"))),
      m_geoCursor(VarnoBase::loadWndCursor(QStringLiteral(":/res/res/geo1.cur")))
{
    m_mouse.SetClientArea(this);
    m_frame.setCentreSnapped(false);
    m_frame.setShowCentre(false);
    m_frame.setShowRotor(false);
    m_frame.setMinimumSize(true);
    m_frame.setOptions(TransformFrame::foSides | TransformFrame::foMoveInside | 15);
}

// ---------------------------------------------------------------------------------
// Forwarding to the display

void PanoViewControl::ClientToLogicalU(QPoint* p)
{
    if (m_display && p)
        *p = m_display->displayToContent(*p);
}

void PanoViewControl::ClientToLogicalU(QRect* r)
{
    if (m_display && r)
        *r = m_display->displayToContent(*r);
}

void PanoViewControl::LogicalToClientU(QPoint* p)
{
    if (m_display && p)
        *p = m_display->contentToDisplay(*p);
}

void PanoViewControl::LogicalToClientU(QRect* r)
{
    if (m_display && r)
        *r = m_display->contentToDisplay(*r);
}

QPaintDevice* PanoViewControl::GetPaintDevice() { return m_display ? m_display->getPaintDevice() : nullptr; }

void PanoViewControl::setCursor(const QCursor& cursor)
{
    if (m_display)
        m_display->setDisplayCursor(cursor);
}

void PanoViewControl::update()
{
    if (m_display)
        m_display->updateDisplay();
}

void PanoViewControl::update(const QRegion& region)
{
    if (m_display)
        m_display->updateDisplayRgn(region);
}

QRect PanoViewControl::getDisplayRect() const { return m_display ? m_display->getDisplayRect() : QRect(); }
QRect PanoViewControl::getContentRect() const { return m_display ? m_display->getContentRect() : QRect(); }

void PanoViewControl::setMouseTracking(bool on)
{
    m_mouseTracking = on;
    if (m_display)
        m_display->updateMouseTracking();
}

// ---------------------------------------------------------------------------------
// Crop rectangle

void PanoViewControl::ActivateCropping(const VarnoBase::Rect& r, bool update)
{
    if (m_cropping)
        return;
    const QRect clip = getContentRect();
    m_cropping = true;
    setMouseTracking(true);
    m_crop = QRect(r);
    m_frame.SetNewBorder(m_crop);
    m_frame.SetClipRect(&clip);
    if (update)
        this->update(outCropRegion());
}

void PanoViewControl::DeactivateCropping(VarnoBase::Rect* out, bool update)
{
    if (out)
        *out = VarnoBase::Rect(m_crop);
    if (!m_cropping)
        return;
    m_cropping = false;
    m_cropButtonDown = false;
    setMouseTracking(false);
    if (update)
        this->update(outCropRegion());
}

void PanoViewControl::SetCropRect(const VarnoBase::Rect& r)
{
    m_crop = QRect(r);
    m_frame.SetTransformParams(m_crop, 0.0, QPoint(0, 0), nullptr);
    m_frame.SetNewBorder(m_crop);
}

void PanoViewControl::GetCropRect(VarnoBase::Rect* out)
{
    if (out)
        *out = VarnoBase::Rect(m_crop);
}

QRegion PanoViewControl::frameRegion()
{
    QRegion handles;
    m_frame.GetRng(handles, true, this);
    return handles;
}

void PanoViewControl::GetOutCropRgn(const TransformFrame::CFrame& frame, QRegion* region)
{
    QRect border = frame.border().translated(frame.centre());
    LogicalToClientU(&border);
    QRegion handles;
    frame.GetRng(handles, true, this);
    *region = (QRegion(getDisplayRect()) - QRegion(border)) | handles;
}

QRegion PanoViewControl::outCropRegion()
{
    QRegion region;
    GetOutCropRgn(m_frame, &region);
    return region;
}

void PanoViewControl::doPaint(QPainter& painter, const QRect& contentArea, bool overlay)
{
    if (!m_cropping)
        return;
    if (overlay) {
        // The frame as it is now: while it is dragged the crop rectangle still holds the
        // press-time one, and the dimming would stay behind the frame.
        QRect crop = m_frame.border().translated(m_frame.centre());
        LogicalToClientU(&crop);
        painter.setClipRegion(QRegion(contentArea) - QRegion(crop), Qt::ReplaceClip);
        painter.fillRect(contentArea, QBrush(kOutsideCrop));
        painter.setClipping(false);
    }
    m_frame.Draw(&painter, QPoint(0, 0), this);
}

// ---------------------------------------------------------------------------------
// Geometry tool

void PanoViewControl::ActivateGeo()
{
    setMouseTracking(true);
    m_geoEnabled = true;
}

void PanoViewControl::DeactivateGeo()
{
    setMouseTracking(false);
    m_geoEnabled = false;
}

bool PanoViewControl::geoAllowed() { return m_display && m_geoEnabled && m_geoCallback && m_geoCallback->EnableGeo(this); }

QRect PanoViewControl::innerRect() const
{
    const QRect d = getDisplayRect();
    const int dx = d.width() / 8, dy = d.height() / 8;
    return d.adjusted(dx, dy, -dx, -dy);
}

// A display of no width or height tilts nothing rather than dividing by zero.
int PanoViewControl::tiltX(QPoint p) const
{
    const int w = getDisplayRect().width();
    return w > 0 ? int(qint64(p.x() - m_pressPos.x()) * kTiltRange / w) : 0;
}

int PanoViewControl::tiltY(QPoint p) const
{
    const int h = getDisplayRect().height();
    return h > 0 ? int(qint64(p.y() - m_pressPos.y()) * kTiltRange / h) : 0;
}

// Degrees from the press to p around the view's centre, clockwise on screen positive,
// taken into (-180, 180] so a drag across the left of the centre does not jump by 360.
int PanoViewControl::rotation(QPoint p) const
{
    const QPoint c = getDisplayRect().center();
    double degrees = (std::atan2(double(p.y() - c.y()), double(p.x() - c.x())) -
                      std::atan2(double(m_pressPos.y() - c.y()), double(m_pressPos.x() - c.x()))) *
                     180.0 / std::numbers::pi;
    if (degrees > 180.0)
        degrees -= 360.0;
    else if (degrees <= -180.0)
        degrees += 360.0;
    return int(degrees);
}

// ---------------------------------------------------------------------------------
// Mouse

bool PanoViewControl::onMouseDown(QPoint pos)
{
    if (m_cropping) {
        if (!m_mouse.OnLButtonDown(this, 0, pos))
            return false;  // outside the frame: the view may pan
        m_cropButtonDown = true;
        return true;
    }
    if (!geoAllowed())
        return false;
    if (innerRect().contains(pos))
        m_tilting = true;
    else
        m_rotating = true;
    m_pressPos = pos;
    m_geoCallback->StartGeoTracking(this);
    return true;
}

bool PanoViewControl::onMouseMove(QPoint pos)
{
    if (m_cropping) {
        if (!m_mouse.OnSetCursor(this, pos))
            setCursor(QCursor(Qt::ArrowCursor));
        if (!m_cropButtonDown)
            return false;
        const QRegion oldOut = outCropRegion();
        const QRegion oldFrame = frameRegion();
        if (m_mouse.OnMouseMove(this, 0, pos)) {
            // The dimmed area that changed, and both outlines with their handles whole.
            update((outCropRegion() ^ oldOut) | oldFrame | frameRegion());
        }
        return true;
    }
    if (!geoAllowed())
        return false;
    if (m_tilting)
        m_geoCallback->DoTrackGeo(this, tiltX(pos), tiltY(pos));
    else if (m_rotating)
        m_geoCallback->DoRotateGeo(this, rotation(pos));
    else
        setCursor(innerRect().contains(pos) ? m_moveCursor : m_geoCursor);
    return true;
}

bool PanoViewControl::onMouseUp(QPoint pos)
{
    if (m_cropping) {
        if (!m_cropButtonDown)
            return false;
        if (m_mouse.OnLButtonUp(this, 0, pos))
            m_crop = m_frame.border().translated(m_frame.centre());
        m_cropButtonDown = false;
        return true;
    }
    // The drag ends with every release, even one the document no longer allows;
    // otherwise later hover moves would go on turning the surface.
    const bool tilting = m_tilting, rotating = m_rotating;
    m_tilting = m_rotating = false;
    if (!geoAllowed())
        return false;
    if (tilting)
        m_geoCallback->DoTrackGeo(this, tiltX(pos), tiltY(pos));
    else if (rotating)
        m_geoCallback->DoRotateGeo(this, rotation(pos));
    return true;
}
