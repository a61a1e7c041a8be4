// An editable rectangle over an image: a frame with eight round handles (corners and
// side midpoints), an optional movable centre point, an optional rotation handle
// (rotor) and an optional fixed aspect ratio. CFrame holds the geometry, hit-tests,
// draws and reports the screen region it covers; CMouseInput turns left-button
// presses, moves and releases into frame edits and picks the mouse cursor.
//
// Coordinates: "client" are display (viewport) pixels; "logical" the image's pixels;
// "frame" coordinates are logical ones relative to the frame's centre, rotated by the
// frame's angle (radians). The frame reaches the display only through IClientArea
// (null: client and logical coincide) and IMouseInputCallback. GUI thread only; the
// mouse handler holds a plain pointer to a frame its owner keeps alive.
#pragma once

#include <QColor>
#include <QCursor>
#include <QIcon>
#include <QPoint>
#include <QRect>
#include <QRegion>

class QPainter;
class QPaintDevice;

// Conversion between client and logical coordinates, in place.
class IClientArea {
public:
    enum ConvertFlags { cfDefault = 0 };
    virtual void ClientToLogicalU(QPoint* p) = 0;
    virtual void ClientToLogicalU(QPoint* p, ConvertFlags flags) = 0;
    virtual void ClientToLogicalU(QRect* r) = 0;
    virtual void ClientToLogicalU(QRect* r, ConvertFlags flags) = 0;
    virtual void LogicalToClientU(QPoint* p) = 0;
    virtual void LogicalToClientU(QPoint* p, ConvertFlags flags) = 0;
    virtual void LogicalToClientU(QRect* r) = 0;
    virtual void LogicalToClientU(QRect* r, ConvertFlags flags) = 0;

protected:
    ~IClientArea() = default;
};

namespace TransformFrame {

class IMouseInputCallback {
public:
    virtual void SetMouseCursor(const QCursor& cursor) = 0;
    virtual void UpdateInputRgn(const QRegion& region) = 0;  // repaint this client region
    virtual QPaintDevice* GetPaintDevice() = 0;

protected:
    ~IMouseInputCallback() = default;
};

// Hit-test codes: bits 1 left, 2 top, 4 right, 8 bottom, 16 side handle.
enum hitTest {
    htNone = 0,
    htTopLeft = 3,
    htTopRight = 6,
    htBottomRight = 12,
    htBottomLeft = 9,
    htLeft = 17,
    htTop = 18,
    htRight = 20,
    htBottom = 24,
    htInside = 32,
    htCentre = 64,
    htRotor = 128,
    htCentreFrame = 256,
};

// Option bits of a frame.
enum FrameOptions {
    foSides = 16,       // side handles and side dragging
    foMoveInside = 32,  // dragging inside the frame moves it
    foCentre = 64,      // centre handle
    foRotor = 128,
    foCentreAlso = 256,  // also enables the centre handle
};

// Cursor index 0 .. 3 (horizontal, falling diagonal, vertical, rising diagonal) for a
// resize direction at angle `a` (radians).
int angleToCursorInd(double a);

namespace Private {

constexpr int kDotRadius = 4;
constexpr int kRotorRadius = 6;
constexpr int kLineWidth = 4;
inline QColor penColour() { return QColor(0, 0, 0, 255); }
inline QColor brushColour() { return QColor(255, 187, 0, 255); }

class CDot {
public:
    CDot(QPoint centre, int radius, QColor pen = penColour(), QColor brush = brushColour())
        : m_centre(centre), m_radius(radius), m_pen(pen), m_brush(brush)
    {
    }
    virtual ~CDot() = default;
    virtual void Draw(QPainter* painter);
    // The dot's elliptic region, tight or with a margin for anti-aliasing; false when empty.
    virtual bool GetRgnIndirect(QRegion& region, bool tight);
    bool PtInDot(QPoint p) const;

protected:
    QPoint m_centre;
    int m_radius;
    QColor m_pen;
    QColor m_brush;
};

class CDotRotor : public CDot {
public:
    using CDot::CDot;
    // The dot, then the class-wide icon's 16 x 16 pixmap over its top-left.
    void Draw(QPainter* painter) override;

    // Empty: the rotor shows as a plain dot.
    inline static const QIcon m_hIcon;
};

class CDotCentre : public CDot {
public:
    using CDot::CDot;
    void Draw(QPainter* painter) override;
    bool GetRgnIndirect(QRegion& region, bool tight) override;
};

class CLine {
public:
    CLine(QPoint a, QPoint b, int width) : m_a(a), m_b(b), m_width(width) {}
    // In the band `width` pixels across the segment, starting half a width before it.
    bool PtInLine(QPoint p, bool horizontal) const;

private:
    QPoint m_a;
    QPoint m_b;
    int m_width;
};

}  // namespace Private

class CFrame {
public:
    CFrame() = default;
    virtual ~CFrame() = default;

    void SetNewBorder(QRect r);  // r in logical coordinates
    void SetTransformParams(const QRect& border, double angle, const QPoint& centre, const QPoint* aspect);
    void GetTransformParams(QRect& border, double& angle, QPoint& centre) const;
    void SetClipRect(const QRect* clip);  // logical; null: no clipping
    void SetCentre(QPoint c);
    void SetMovedCentre(QPoint clientPoint, IClientArea* area);

    int HitTest(QPoint client, IClientArea* area) const;
    // Offset from p to the nearest of the nine frame points (corners, centre, side
    // midpoints); its code goes to *code.
    QPoint GetSnapDistanceToNearestDot(QPoint p, bool transform, IClientArea* area, int* code) const;
    void MoveBorder(QPoint from, QPoint to);  // logical points
    void ModifyBorder(QRect border, QPoint centre);
    QPoint CalculateRotorPointPosition(QPoint* topMid, IClientArea* area) const;
    void Draw(QPainter* painter, const QPoint& origin, IClientArea* area);
    void DrawCentre(QPainter* painter, const QPoint& origin, IClientArea* area);
    // Client region of the outline bands and handles; with extras also the centre and rotor.
    void GetRng(QRegion& region, bool extras, IClientArea* area) const;

    // Frame <-> logical, rounding half away from zero.
    QPoint inverseTransform(QPoint framePoint) const;
    QPoint directTransform(QPoint logicalPoint) const;

    QRect border() const { return m_border; }
    QPoint centre() const { return m_centre; }
    double angle() const { return m_angle; }
    void setAngle(double a) { m_angle = a; }
    QPoint movedCentre() const { return m_movedCentre; }
    bool hasAspectRatio() const { return m_hasAspect; }
    QPoint aspectRatio() const { return m_aspect; }
    int options() const { return m_options; }
    void setOptions(int o) { m_options = o; }
    bool centreAtRest() const { return m_centreAtRest; }
    void setCentreAtRest(bool b) { m_centreAtRest = b; }
    void setShowCentre(bool b) { m_showCentre = b; }
    void setShowRotor(bool b) { m_showRotor = b; }
    bool centreSnapped() const { return m_centreSnapped; }
    void setCentreSnapped(bool b) { m_centreSnapped = b; }
    int snapPoint() const { return m_snapPoint; }
    void setSnapPoint(int code) { m_snapPoint = code; }
    bool rotorGrabbed() const { return m_rotorGrabbed; }
    void setRotorGrabbed(bool b) { m_rotorGrabbed = b; }
    bool centreGrabsFrame() const { return m_centreGrabsFrame; }
    void setCentreGrabsFrame(bool b) { m_centreGrabsFrame = b; }
    bool minimumSize() const { return m_minimumSize; }
    void setMinimumSize(bool b) { m_minimumSize = b; }
    void setThinOutline(bool b) { m_thinOutline = b; }

private:
    void recomputeSnapPoint();
    QPoint toClient(QPoint logical, IClientArea* area) const;
    // The four corners TL, TR, BR, BL: frame -> logical -> client.
    void clientCorners(QPoint out[4], IClientArea* area) const;
    QRect logicalClip(const QRect& frameRect) const;

    QRect m_border;  // null: (0, 0, -1, -1)
    QRect m_clip;
    QPoint m_centre;
    double m_angle = 0.0;
    bool m_hasAspect = false;
    QPoint m_aspect;
    bool m_centreAtRest = true;
    bool m_showCentre = true;
    bool m_showRotor = true;
    QPoint m_movedCentre;
    bool m_centreSnapped = true;
    int m_snapPoint = htCentre;
    int m_options = 0xFF;
    bool m_rotorGrabbed = false;
    bool m_centreGrabsFrame = false;
    bool m_minimumSize = false;
    bool m_thinOutline = false;
};

class CMouseInput {
public:
    explicit CMouseInput(CFrame* frame);

    void SetClientArea(IClientArea* area) { m_area = area; }
    bool OnLButtonDown(IMouseInputCallback* cb, int flags, QPoint p);
    bool OnMouseMove(IMouseInputCallback* cb, int flags, QPoint p);
    bool OnLButtonUp(IMouseInputCallback* cb, int flags, QPoint p);
    bool OnSetCursor(IMouseInputCallback* cb, QPoint p);
    void UpdateCursor() {}
    bool OnKeyDown(int) { return false; }
    bool OnKeyUp(int) { return false; }

    void SetAspectMode(bool on) { m_aspectMode = on; }
    void SetSymmetricResize(bool on) { m_symmetric = on; }
    void SetKeepHandles(bool on) { m_keepHandles = on; }
    bool buttonDown() const { return m_buttonDown; }
    int lastAction() const { return m_lastAction; }

    // The resize cursor of index 0 .. 3.
    const QCursor& resizeCursor(int index) const { return m_resize[index & 3]; }

private:
    void resize(QPoint p);

    IClientArea* m_area = nullptr;
    CFrame* m_frame;
    QPoint m_pressPos;
    QPoint m_lastPos;
    int m_pressCode = 0;
    double m_pressAngle = 0.0;
    QPoint m_offset;
    bool m_draggingCentre = false;
    QRect m_pressBorder;
    QPoint m_pressCentre;
    int m_lastAction = 0;
    bool m_buttonDown = false;
    bool m_keepHandles = false;
    bool m_symmetric = false;
    bool m_aspectMode = false;
    QCursor m_arrow;
    QCursor m_openHandFrame{Qt::OpenHandCursor};
    QCursor m_openHandCentre{Qt::OpenHandCursor};
    QCursor m_closedHandFrame{Qt::ClosedHandCursor};
    QCursor m_closedHandCentre{Qt::ClosedHandCursor};
    QCursor m_resize[4] = {QCursor(Qt::SizeHorCursor), QCursor(Qt::SizeFDiagCursor), QCursor(Qt::SizeVerCursor),
                           QCursor(Qt::SizeBDiagCursor)};
};

}  // namespace TransformFrame
