// The editable frame: geometry, hit-testing, snapping, clipping, drawing and the mouse
// handler. Points are converted frame -> logical -> client for everything the user
// sees or touches; edits are made in frame coordinates. GUI thread only.
#include "app/transform_frame.h"

#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPolygon>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace TransformFrame {

namespace {

constexpr int kMinimumSide = 10;    // a resized side stops this far short of the opposite one
constexpr int kSnapDistance = 9;    // a dragged centre snaps onto a frame point this close
constexpr int kRotorDistance = 20;  // rotor distance from the top edge's midpoint
constexpr int kBandHalfWidth = 2;   // half width of an edge's repaint band

int roundAway(double v) { return int(v >= 0 ? v + 0.5 : v - 0.5); }

QPoint mid(QPoint a, QPoint b) { return QPoint((a.x() + b.x()) / 2, (a.y() + b.y()) / 2); }

qint64 dist2(QPoint a, QPoint b)
{
    const qint64 dx = a.x() - b.x();
    const qint64 dy = a.y() - b.y();
    return dx * dx + dy * dy;
}

QRegion ellipse(int left, int top, int right, int bottom)
{
    return QRegion(QRect(QPoint(left, top), QPoint(right, bottom)), QRegion::Ellipse);
}

QRegion band(QPoint a, QPoint b)
{
    const int w = kBandHalfWidth;
    QPolygon poly;
    if (std::abs(b.x() - a.x()) >= std::abs(b.y() - a.y()))
        poly << QPoint(a.x(), a.y() - w) << QPoint(b.x(), b.y() - w) << QPoint(b.x(), b.y() + w) << QPoint(a.x(), a.y() + w);
    else
        poly << QPoint(a.x() - w, a.y()) << QPoint(b.x() - w, b.y()) << QPoint(b.x() + w, b.y()) << QPoint(a.x() + w, a.y());
    return QRegion(poly);
}

// Rotation by the frame's angle without the translation: a logical offset as a frame offset.
QPoint rotateDirect(QPoint d, double a)
{
    const double c = std::cos(a), s = std::sin(a);
    return QPoint(roundAway(d.x() * c - d.y() * s), roundAway(d.x() * s + d.y() * c));
}

}  // namespace

int angleToCursorInd(double a)
{
    const double degrees = a * 180.0 / std::numbers::pi;
    if (!std::isfinite(degrees))
        return 0;
    int d = -int(std::fmod(degrees, 360.0));
    d %= 180;
    if (d < 0)
        d += 180;
    if (d <= 22)
        return 0;
    if (d <= 68)
        return 1;
    if (d <= 112)
        return 2;
    if (d <= 158)
        return 3;
    return 0;
}

// ---------------------------------------------------------------------------------
// Handles

namespace Private {

bool CDot::PtInDot(QPoint p) const { return dist2(p, m_centre) <= qint64(m_radius) * m_radius; }

void CDot::Draw(QPainter* painter)
{
    painter->setPen(QPen(m_pen, 1, Qt::SolidLine));
    painter->setBrush(QBrush(m_brush, Qt::SolidPattern));
    const int x = m_centre.x(), y = m_centre.y(), r = m_radius;
    painter->drawEllipse(QRect(QPoint(x - r, y - r), QPoint(x + r - 1, y + r - 1)));
}

bool CDot::GetRgnIndirect(QRegion& region, bool tight)
{
    const int x = m_centre.x(), y = m_centre.y(), r = m_radius;
    region = tight ? ellipse(x - r - 1, y - r - 1, x + r + 1, y + r + 1) : ellipse(x - r - 2, y - r - 2, x + r + 3, y + r + 3);
    return !region.isEmpty();
}

void CDotRotor::Draw(QPainter* painter)
{
    CDot::Draw(painter);
    if (!m_hIcon.isNull())
        painter->drawPixmap(m_centre.x() - m_radius, m_centre.y() - m_radius, m_hIcon.pixmap(16, 16));
}

void CDotCentre::Draw(QPainter* painter)
{
    painter->setPen(QPen(m_pen));
    painter->setBrush(QBrush(m_brush, Qt::SolidPattern));
    const int x = m_centre.x(), y = m_centre.y(), r = m_radius;
    painter->drawEllipse(QRect(QPoint(x - r, y - r), QPoint(x + r + 1, y + r + 1)));
    QPainterPath marks;
    marks.moveTo(x, y);
    marks.lineTo(x + 1, y);
    for (auto [dx, dy] : {std::pair{-1, 0}, {1, 0}, {0, -1}, {0, 1}}) {
        marks.moveTo(x + dx * (r + 1), y + dy * (r + 1));
        marks.lineTo(x + dx * (r + 2), y + dy * (r + 2));
    }
    painter->setBrush(Qt::NoBrush);
    painter->drawPath(marks);
}

bool CDotCentre::GetRgnIndirect(QRegion& region, bool tight)
{
    const int x = m_centre.x(), y = m_centre.y(), r = m_radius;
    region = tight ? ellipse(x - r - 1, y - r - 1, x + r + 2, y + r + 2) : ellipse(x - r - 2, y - r - 2, x + r + 4, y + r + 4);
    return !region.isEmpty();
}

bool CLine::PtInLine(QPoint p, bool horizontal) const
{
    const int w = m_width;
    if (horizontal) {
        const int y0 = m_a.y() - w / 2;
        return p.x() >= std::min(m_a.x(), m_b.x()) && p.x() <= std::max(m_a.x(), m_b.x()) && p.y() >= y0 && p.y() < y0 + w;
    }
    const int x0 = m_a.x() - w / 2;
    return p.y() >= std::min(m_a.y(), m_b.y()) && p.y() <= std::max(m_a.y(), m_b.y()) && p.x() >= x0 && p.x() < x0 + w;
}

}  // namespace Private

using namespace Private;

// ---------------------------------------------------------------------------------
// CFrame

QPoint CFrame::inverseTransform(QPoint p) const
{
    const double c = std::cos(m_angle), s = std::sin(m_angle);
    return m_centre + QPoint(roundAway(p.x() * c + p.y() * s), roundAway(-p.x() * s + p.y() * c));
}

QPoint CFrame::directTransform(QPoint q) const { return rotateDirect(q - m_centre, m_angle); }

QPoint CFrame::toClient(QPoint logical, IClientArea* area) const
{
    if (area)
        area->LogicalToClientU(&logical);
    return logical;
}

void CFrame::clientCorners(QPoint out[4], IClientArea* area) const
{
    const QRect& b = m_border;
    out[0] = toClient(inverseTransform(QPoint(b.left(), b.top())), area);
    out[1] = toClient(inverseTransform(QPoint(b.right(), b.top())), area);
    out[2] = toClient(inverseTransform(QPoint(b.right(), b.bottom())), area);
    out[3] = toClient(inverseTransform(QPoint(b.left(), b.bottom())), area);
}

QRect CFrame::logicalClip(const QRect& frameRect) const
{
    // The frame's users keep angle 0 where clipping matters: frame = logical - centre.
    return frameRect.translated(m_centre);
}

void CFrame::recomputeSnapPoint()
{
    int code = htCentre;
    GetSnapDistanceToNearestDot(QPoint(0, 0), false, nullptr, &code);
    m_snapPoint = code;
}

void CFrame::SetNewBorder(QRect r)
{
    m_border = r.translated(-m_centre);
    m_angle = 0.0;
    recomputeSnapPoint();
}

void CFrame::SetTransformParams(const QRect& border, double angle, const QPoint& centre, const QPoint* aspect)
{
    m_border = border;
    m_angle = angle;
    m_centre = centre;
    if (aspect) {
        m_options &= ~foSides;
        m_hasAspect = true;
        m_aspect = *aspect;
    } else {
        m_options |= foSides;
        m_hasAspect = false;
    }
    m_movedCentre = centre;
    recomputeSnapPoint();
}

void CFrame::GetTransformParams(QRect& border, double& angle, QPoint& centre) const
{
    border = m_border;
    angle = m_angle;
    centre = m_centre;
}

void CFrame::SetClipRect(const QRect* clip) { m_clip = clip ? *clip : QRect(); }

void CFrame::SetCentre(QPoint c)
{
    // Same logical corners around the new centre.
    m_border.translate(-rotateDirect(c - m_centre, m_angle));
    m_centre = c;
    m_movedCentre = c;
    recomputeSnapPoint();
}

void CFrame::SetMovedCentre(QPoint clientPoint, IClientArea* area)
{
    if (area)
        area->ClientToLogicalU(&clientPoint);
    m_movedCentre = clientPoint;
}

QPoint CFrame::GetSnapDistanceToNearestDot(QPoint p, bool transform, IClientArea* area, int* code) const
{
    QPoint c[4];
    if (transform) {
        clientCorners(c, area);
    } else {
        c[0] = m_border.topLeft();
        c[1] = m_border.topRight();
        c[2] = m_border.bottomRight();
        c[3] = m_border.bottomLeft();
    }
    const QPoint points[9] = {c[0], c[1], c[2], c[3], mid(c[0], c[2]), mid(c[0], c[1]), mid(c[3], c[2]), mid(c[0], c[3]), mid(c[1], c[2])};
    static constexpr int codes[9] = {htTopLeft, htTopRight, htBottomRight, htBottomLeft, htCentre, htTop, htBottom, htLeft, htRight};
    int best = 0;
    for (int i = 1; i < 9; ++i)
        if (dist2(points[i], p) < dist2(points[best], p))
            best = i;
    if (code)
        *code = codes[best];
    return points[best] - p;
}

int CFrame::HitTest(QPoint p, IClientArea* area) const
{
    if ((m_options & (foCentre | foCentreAlso)) && CDotCentre(toClient(m_centre, area), kDotRadius).PtInDot(p))
        return m_centreGrabsFrame ? htCentreFrame : htCentre;
    QPoint c[4];
    clientCorners(c, area);
    static constexpr int cornerCodes[4] = {htTopLeft, htTopRight, htBottomRight, htBottomLeft};
    for (int i = 0; i < 4; ++i)
        if (CDot(c[i], kDotRadius).PtInDot(p))
            return cornerCodes[i];
    if (m_options & foSides) {
        if (CLine(c[0], c[3], kLineWidth).PtInLine(p, false))
            return htLeft;
        if (CLine(c[1], c[2], kLineWidth).PtInLine(p, false))
            return htRight;
        if (CLine(c[0], c[1], kLineWidth).PtInLine(p, true))
            return htTop;
        if (CLine(c[3], c[2], kLineWidth).PtInLine(p, true))
            return htBottom;
    }
    if (m_options & foRotor) {
        QPoint topMid;
        if (m_rotorGrabbed || CDot(CalculateRotorPointPosition(&topMid, area), kRotorRadius).PtInDot(p))
            return htRotor;
    }
    if (m_options & foMoveInside) {
        QPoint q = p;
        if (area)
            area->ClientToLogicalU(&q);
        if (m_border.normalized().contains(directTransform(q)))
            return htInside;
    }
    return htNone;
}

QPoint CFrame::CalculateRotorPointPosition(QPoint* topMid, IClientArea* area) const
{
    QPoint c[4];
    clientCorners(c, area);
    const QPoint m = mid(c[0], c[1]);
    if (topMid)
        *topMid = m;
    const double ex = c[1].x() - c[0].x(), ey = c[1].y() - c[0].y();
    const double len = std::hypot(ex, ey);
    double nx = 0.0, ny = -1.0;  // a degenerate top edge: straight up
    if (len > 0) {
        nx = ey / len;
        ny = -ex / len;
    }
    if (m_border.top() > m_border.bottom()) {  // the "top" edge lies below: away is down
        nx = -nx;
        ny = -ny;
    }
    return QPoint(int(m.x() + kRotorDistance * nx), int(m.y() + kRotorDistance * ny));
}

void CFrame::MoveBorder(QPoint from, QPoint to)
{
    if (m_centreSnapped) {
        m_centre += to - from;
        m_movedCentre += to - from;
        return;
    }
    m_border.translate(directTransform(to) - directTransform(from));
    if (!m_clip.isValid())
        return;
    QRect b = logicalClip(m_border);
    if (b.left() < m_clip.left())
        b.moveLeft(m_clip.left());
    if (b.right() > m_clip.right())
        b.moveRight(m_clip.right());
    if (b.top() < m_clip.top())
        b.moveTop(m_clip.top());
    if (b.bottom() > m_clip.bottom())
        b.moveBottom(m_clip.bottom());
    m_border = b.translated(-m_centre);
}

void CFrame::ModifyBorder(QRect border, QPoint centre)
{
    if (border == m_border)
        return;
    m_border = border;
    if (m_centreSnapped) {
        m_centre = centre;
        const int code = m_snapPoint;
        const QPoint middle = mid(border.topLeft(), border.bottomRight());
        QPoint point = middle;
        if (code != htCentre) {
            if (code & 1)
                point.setX(border.left());
            else if (code & 4)
                point.setX(border.right());
            if (code & 2)
                point.setY(border.top());
            else if (code & 8)
                point.setY(border.bottom());
        }
        const QPoint newCentre = inverseTransform(point);
        m_border.translate(-point);
        m_centre = newCentre;
        m_movedCentre = newCentre;
    } else if (m_clip.isValid()) {
        m_border = (logicalClip(m_border) & m_clip).translated(-m_centre);
    }
}

void CFrame::DrawCentre(QPainter* painter, const QPoint& origin, IClientArea* area)
{
    const QPoint c = toClient(m_centreAtRest ? m_centre : m_movedCentre, area) - origin;
    CDotCentre(c, kDotRadius).Draw(painter);
}

void CFrame::Draw(QPainter* painter, const QPoint& origin, IClientArea* area)
{
    if (!painter || !m_border.normalized().isValid())
        return;
    QPoint c[4];
    clientCorners(c, area);
    for (QPoint& p : c)
        p -= origin;
    QPoint topMid;
    const QPoint rotor = CalculateRotorPointPosition(&topMid, area) - origin;
    topMid -= origin;
    CDot corners[4] = {{c[0], kDotRadius}, {c[1], kDotRadius}, {c[2], kDotRadius}, {c[3], kDotRadius}};
    CDot sides[4] = {{mid(c[0], c[1]), kDotRadius}, {mid(c[1], c[2]), kDotRadius}, {mid(c[2], c[3]), kDotRadius},
                     {mid(c[3], c[0]), kDotRadius}};
    CDotRotor rotorDot(rotor, kRotorRadius);

    painter->save();
    painter->setPen(QPen(brushColour(), m_thinOutline ? 1 : 3, Qt::SolidLine));
    painter->setBrush(Qt::NoBrush);
    painter->drawPolygon(c, 4);
    if (m_showRotor)
        painter->drawLine(topMid, rotor);

    // Handles stick out of the frame: widen a clip the caller set so they show whole.
    if (painter->hasClipping()) {
        QRegion handles, r;
        for (CDot& d : corners)
            if (d.GetRgnIndirect(r, false))
                handles |= r;
        for (CDot& d : sides)
            if (d.GetRgnIndirect(r, false))
                handles |= r;
        if (m_showRotor && rotorDot.GetRgnIndirect(r, false))
            handles |= r;
        painter->setClipRegion(painter->clipRegion() | handles);
    }
    if (!m_thinOutline)
        for (CDot& d : corners)
            d.Draw(painter);
    if (m_options & foSides)
        for (CDot& d : sides)
            d.Draw(painter);
    if (m_showRotor)
        rotorDot.Draw(painter);
    if (m_showCentre)
        DrawCentre(painter, origin, area);
    painter->restore();
}

void CFrame::GetRng(QRegion& region, bool extras, IClientArea* area) const
{
    QPoint c[4];
    clientCorners(c, area);
    region = band(c[0], c[1]) | band(c[1], c[2]) | band(c[2], c[3]) | band(c[3], c[0]);
    QRegion r;
    const QPoint dots[8] = {c[0], c[1], c[2], c[3], mid(c[0], c[1]), mid(c[1], c[2]), mid(c[2], c[3]), mid(c[3], c[0])};
    for (QPoint p : dots)
        if (CDot(p, kDotRadius).GetRgnIndirect(r, false))
            region |= r;
    if (!extras)
        return;
    if (m_showCentre) {
        if (CDotCentre(toClient(m_centre, area), kDotRadius).GetRgnIndirect(r, false))
            region |= r;
        if (!m_centreAtRest && CDotCentre(toClient(m_movedCentre, area), kDotRadius).GetRgnIndirect(r, false))
            region |= r;
    }
    if (m_showRotor) {
        QPoint topMid;
        const QPoint rotor = CalculateRotorPointPosition(&topMid, area);
        if (CDotRotor(rotor, kRotorRadius).GetRgnIndirect(r, false))
            region |= r;
        region |= band(topMid, rotor);
    }
}

// ---------------------------------------------------------------------------------
// CMouseInput

CMouseInput::CMouseInput(CFrame* frame) : m_frame(frame) {}

bool CMouseInput::OnSetCursor(IMouseInputCallback* cb, QPoint p)
{
    if (!m_frame || !cb)
        return false;
    const int code = m_buttonDown ? m_pressCode : m_frame->HitTest(p, m_area);
    if (code == htCentre || m_draggingCentre) {
        cb->SetMouseCursor(m_buttonDown ? m_closedHandCentre : m_openHandCentre);
        return true;
    }
    if (code == htInside || code == htCentreFrame) {
        cb->SetMouseCursor(m_buttonDown ? m_closedHandFrame : m_openHandFrame);
        return true;
    }
    if (code == htRotor) {
        cb->SetMouseCursor(m_arrow);
        return true;
    }
    const double quarter = std::numbers::pi / 2;
    double a = m_frame->angle();
    switch (code) {
    case htLeft:
    case htRight:
        break;
    case htTop:
    case htBottom:
        a += quarter;
        break;
    case htTopLeft:
    case htTopRight:
    case htBottomRight:
    case htBottomLeft: {
        const QRect b = m_frame->border();
        if ((b.left() > b.right()) != (b.top() > b.bottom()))
            a += quarter;
        a += code == htTopLeft ? 3 * quarter / 2 : code == htBottomLeft ? 5 * quarter / 2 : code == htTopRight ? quarter / 2 : -quarter / 2;
        break;
    }
    default:
        return false;
    }
    cb->SetMouseCursor(m_resize[angleToCursorInd(a)]);
    return true;
}

bool CMouseInput::OnLButtonDown(IMouseInputCallback*, int, QPoint p)
{
    if (!m_frame)
        return false;
    const int code = m_frame->HitTest(p, m_area);
    if (code == htNone)
        return false;
    m_pressCode = code;
    m_buttonDown = true;
    m_pressPos = m_lastPos = p;
    m_pressAngle = m_frame->angle();
    m_pressBorder = m_frame->border();
    m_pressCentre = m_frame->centre();
    if (code == htCentre) {
        m_draggingCentre = true;
        m_frame->setCentreAtRest(false);
    }
    m_lastAction = 0;
    return true;
}

void CMouseInput::resize(QPoint p)
{
    QPoint a = m_pressPos, b = p;
    if (m_area) {
        m_area->ClientToLogicalU(&a);
        m_area->ClientToLogicalU(&b);
    }
    const QPoint d = rotateDirect(b - a, m_pressAngle);
    const int code = m_pressCode;
    const bool minimum = m_frame->minimumSize();
    QRect nb = m_pressBorder;
    if (code & 1) {
        int v = nb.left() + d.x();
        if (minimum)
            v = std::min(v, nb.right() - kMinimumSide);
        const int moved = v - nb.left();
        nb.setLeft(v);
        if (m_symmetric)
            nb.setRight(nb.right() - moved);
    }
    if (code & 4) {
        int v = nb.right() + d.x();
        if (minimum)
            v = std::max(v, nb.left() + kMinimumSide);
        const int moved = v - nb.right();
        nb.setRight(v);
        if (m_symmetric)
            nb.setLeft(nb.left() - moved);
    }
    if (code & 2) {
        int v = nb.top() + d.y();
        if (minimum)
            v = std::min(v, nb.bottom() - kMinimumSide);
        const int moved = v - nb.top();
        nb.setTop(v);
        if (m_symmetric)
            nb.setBottom(nb.bottom() - moved);
    }
    if (code & 8) {
        int v = nb.bottom() + d.y();
        if (minimum)
            v = std::max(v, nb.top() + kMinimumSide);
        const int moved = v - nb.bottom();
        nb.setBottom(v);
        if (m_symmetric)
            nb.setTop(nb.top() - moved);
    }
    // A fixed ratio needs both components positive; anything else would divide by zero.
    const QPoint ratio = m_frame->aspectRatio();
    if (m_aspectMode && !(code & 16) && m_frame->hasAspectRatio() && ratio.x() > 0 && ratio.y() > 0) {
        const QRect n = nb.normalized();
        const int w0 = n.width(), h0 = n.height();
        int w, h;
        if (ratio.x() <= ratio.y()) {
            h = std::abs(h0);
            w = ratio.x() * h / ratio.y();
        } else {
            w = std::abs(w0);
            h = ratio.y() * w / ratio.x();
        }
        const int dw = (nb.left() > nb.right() ? -1 : 1) * (w - w0);
        const int dh = (nb.top() > nb.bottom() ? -1 : 1) * (h - h0);
        if (code & 1)
            nb.setLeft(nb.left() - dw);
        if (code & 4)
            nb.setRight(nb.right() + dw);
        if (code & 2)
            nb.setTop(nb.top() - dh);
        if (code & 8)
            nb.setBottom(nb.bottom() + dh);
    }
    m_frame->ModifyBorder(nb, m_pressCentre);
    m_lastAction = 4;
}

bool CMouseInput::OnMouseMove(IMouseInputCallback* cb, int, QPoint p)
{
    if (!m_frame || !m_buttonDown || m_pressCode == htNone)
        return false;
    QRegion before;
    m_frame->GetRng(before, true, m_area);
    switch (m_pressCode) {
    case htCentre: {
        const QPoint centre = m_frame->centre();
        const QPoint centreClient = m_area ? [&] { QPoint c = centre; m_area->LogicalToClientU(&c); return c; }() : centre;
        QPoint candidate = centreClient + (p - m_pressPos);
        int code = htCentre;
        const QPoint snap = m_frame->GetSnapDistanceToNearestDot(candidate, true, m_area, &code);
        if (std::abs(snap.x()) <= kSnapDistance && std::abs(snap.y()) <= kSnapDistance) {
            candidate += snap;
            m_frame->setCentreSnapped(true);
            m_frame->setSnapPoint(code);
        } else {
            m_frame->setCentreSnapped(false);
        }
        m_offset = candidate - centreClient;
        m_frame->SetMovedCentre(candidate, m_area);
        m_lastAction = 1;
        break;
    }
    case htInside: {
        QPoint from = m_lastPos, to = p;
        if (m_area) {
            m_area->ClientToLogicalU(&from);
            m_area->ClientToLogicalU(&to);
        }
        m_frame->MoveBorder(from, to);
        m_lastAction = 3;
        break;
    }
    case htCentreFrame: {
        QPoint to = p;
        if (m_area)
            m_area->ClientToLogicalU(&to);
        const bool snapped = m_frame->centreSnapped();
        m_frame->setCentreSnapped(true);
        m_frame->MoveBorder(m_frame->centre(), to);
        m_frame->setCentreSnapped(snapped);
        m_lastAction = 2;
        break;
    }
    case htRotor: {
        QPoint c = m_frame->centre();
        if (m_area)
            m_area->LogicalToClientU(&c);
        double now = std::atan2(double(p.y() - c.y()), double(p.x() - c.x()));
        double then = std::atan2(double(m_pressPos.y() - c.y()), double(m_pressPos.x() - c.x()));
        if (!m_area) {
            now = -now;
            then = -then;
        }
        m_frame->setAngle(m_pressAngle + now - then);
        m_lastAction = 5;
        break;
    }
    default:
        if (m_pressCode & 15) {
            resize(p);
            break;
        }
        m_lastPos = p;
        return true;
    }
    QRegion after;
    m_frame->GetRng(after, true, m_area);
    if (cb)
        cb->UpdateInputRgn(before | after);
    m_lastPos = p;
    return true;
}

bool CMouseInput::OnLButtonUp(IMouseInputCallback*, int, QPoint)
{
    m_buttonDown = false;
    const int code = m_pressCode;
    m_pressCode = htNone;
    if (!m_frame || code == htNone)
        return false;
    if (code == htCentre) {
        m_draggingCentre = false;
        m_frame->setCentreAtRest(true);
        QPoint c = m_frame->centre();
        if (m_area)
            m_area->LogicalToClientU(&c);
        c += m_offset;
        if (m_area)
            m_area->ClientToLogicalU(&c);
        m_frame->SetCentre(c);
        m_offset = QPoint(0, 0);
    }
    if (!m_keepHandles) {
        m_frame->setRotorGrabbed(false);
        m_frame->setCentreGrabsFrame(false);
    }
    return true;
}

}  // namespace TransformFrame
