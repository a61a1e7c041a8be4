// Markers, their ordered collection and the marker tool of a matching pane.
//
// A drag keeps the marked point inside the photo twice over: the hot point is first held
// inside the viewport, then the content point under it inside the photo, so a pin never
// leaves the photo even where the pane shows margins or the photo is scrolled partly out
// of view. GUI thread only.
#include "app/markers.h"

#include <QDomDocument>
#include <QDomElement>
#include <QFile>
#include <QPainter>
#include <QVariant>

#include <algorithm>
#include <cstdlib>

#include "app/bitmap_loader.h"

namespace {

// A pixel whose alpha is above this belongs to the pin; the faint anti-aliased outline
// and the transparent surroundings let the click through to the view's panning.
constexpr int kHitAlpha = 126;

QPoint clampInto(QPoint p, const QRect& r)
{
    return {std::clamp(p.x(), r.left(), std::max(r.left(), r.right())),
            std::clamp(p.y(), r.top(), std::max(r.top(), r.bottom()))};
}

}  // namespace

// ---------------------------------------------------------------------------------
// Marker

Marker::Marker(MarkerName name, const QString& fileName, const QPoint& hotPoint) : m_name(name), m_visible(true)
{
    SetBitmap(fileName, hotPoint);
}

void Marker::SetBitmap(const QString& fileName, const QPoint& hotPoint)
{
    m_hotPoint = hotPoint;
    m_bitmap = VarnoBase::LoadAlphaBitmap(fileName, false);
    if (m_bitmap.isNull())
        m_bitmap.load(fileName);
    m_size = m_bitmap.size();
}

QRect Marker::GetRect() const { return QRect(QPoint(0, 0), m_size).translated(m_displayPos - m_hotPoint); }

QRect Marker::GetAbsRect() const { return QRect(m_position - m_hotPoint, m_size); }

bool Marker::PtInMarker(const QPoint& p) const
{
    if (!m_visible)
        return false;
    const QRect r = GetRect();
    if (!r.contains(p))
        return false;
    if (!m_bitmap.hasAlphaChannel())
        return true;
    const QPoint local = p - r.topLeft();
    return qAlpha(m_bitmap.pixel(local)) > kHitAlpha;
}

void Marker::Draw(QPainter& painter, const QPoint& origin) const
{
    if (!m_visible || m_bitmap.isNull())
        return;
    painter.drawImage(GetRect().translated(-origin), m_bitmap, QRect(QPoint(0, 0), m_size));
}

// ---------------------------------------------------------------------------------
// ArrayOfMarkers

void ArrayOfMarkers::Add(Marker* marker) { m_markers.emplace_back(marker); }

void ArrayOfMarkers::SetActive(const Marker* marker)
{
    const auto it = std::find_if(m_markers.begin(), m_markers.end(), [&](const auto& m) { return m.get() == marker; });
    if (it == m_markers.end() || it == m_markers.begin())
        return;
    std::rotate(m_markers.begin(), it, it + 1);
}

Marker* ArrayOfMarkers::HitTest(const QPoint& p) const
{
    for (const auto& m : m_markers)
        if (m && m->PtInMarker(p))
            return m.get();
    return nullptr;
}

Marker* ArrayOfMarkers::GetByName(MarkerName name) const
{
    for (const auto& m : m_markers)
        if (m && m->name() == name)
            return m.get();
    return nullptr;
}

void ArrayOfMarkers::Draw(QPainter& painter, const QPoint& origin) const
{
    for (const auto& m : m_markers)
        if (m)
            m->Draw(painter, origin);
}

// ---------------------------------------------------------------------------------
// PreviewControl

PreviewControl::PreviewControl(QObject* parent, const QString& description) : QObject(parent)
{
    LoadDescription(description);
    int margin = 0;
    for (MarkerName name : {Marker0, Marker1, Marker2}) {
        const Marker* m = m_markers.GetByName(name);
        if (!m)
            continue;
        const QRect r(QPoint(0, 0), m->bitmap().size());
        const QPoint h = m->hotPoint();
        margin = std::max({margin, std::abs(r.left() - h.x()), std::abs(r.right() - h.x()), std::abs(r.top() - h.y()),
                           std::abs(r.bottom() - h.y())});
    }
    m_markerMargin = margin;
}

void PreviewControl::LoadDescription(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    QDomDocument doc;
    if (!doc.setContent(&file, false))
        return;
    for (QDomElement e = doc.documentElement().firstChildElement(QStringLiteral("marker")); !e.isNull();
         e = e.nextSiblingElement(QStringLiteral("marker"))) {
        if (!e.hasAttributes())
            continue;
        const int id = QVariant(e.attribute(QStringLiteral("id"))).toInt();
        const int hx = QVariant(e.attribute(QStringLiteral("hot-point-x"))).toInt();
        const int hy = QVariant(e.attribute(QStringLiteral("hot-point-y"))).toInt();
        m_markers.Add(new Marker(MarkerName(id), e.attribute(QStringLiteral("file-name")), QPoint(hx, hy)));
    }
}

void PreviewControl::SetMatcher(PanoramaLib::IManualMatcher* matcher, PanoramaLib::IManualMatcher::PTS_group group)
{
    m_matcher = matcher;
    m_group = group;
    if (!matcher)
        return;
    VarnoBase::Point points[3];
    matcher->GetPoints(group, points);
    for (MarkerName name : {Marker0, Marker1, Marker2}) {
        Marker* m = m_markers.GetByName(name);
        if (!m)
            continue;
        const QPoint p(points[name].x, points[name].y);
        m->setPosition(p);
        if (m_display)
            m->setDisplayPosition(m_display->contentToDisplay(p));
    }
}

void PreviewControl::ShowMarker(MarkerName name, bool show)
{
    Marker* m = m_markers.GetByName(name);
    if (!m)
        return;
    m->setVisible(show);
    if (m_display)
        m_display->updateDisplayRect(m->GetRect());
}

void PreviewControl::UpdatePositionOfMarkers()
{
    if (!m_display)
        return;
    for (int i = 0; i < m_markers.size(); ++i)
        if (Marker* m = m_markers.at(i))
            m->setDisplayPosition(m_display->contentToDisplay(m->position()));
}

void PreviewControl::GetMarkersRect(QRect& pointsRect, QRect& markersRect) const
{
    pointsRect = QRect();
    markersRect = QRect();
    for (int i = 0; i < m_markers.size(); ++i) {
        const Marker* m = m_markers.at(i);
        if (!m)
            continue;
        pointsRect = pointsRect.united(QRect(m->position(), QSize(1, 1)));
        markersRect = markersRect.united(m->GetAbsRect());
    }
}

void PreviewControl::doPaint(QPainter& painter, const QRect&, bool)
{
    UpdatePositionOfMarkers();
    m_markers.Draw(painter, QPoint(0, 0));
}

bool PreviewControl::onMouseDown(QPoint pos)
{
    m_moved = false;
    m_dragging = false;
    if (!m_display)
        return false;
    Marker* m = m_markers.HitTest(pos);
    if (!m)
        return false;
    m_display->setDisplayCursor(m_dragCursor);
    m_dragging = true;
    m_markers.SetActive(m);
    m_dragOffset = m->GetDragOrg(pos);
    m_display->updateDisplayRect(m->GetRect());
    return true;
}

bool PreviewControl::onMouseMove(QPoint pos)
{
    if (!m_display)
        return false;
    if (m_dragging) {
        m_moved = true;
        Marker* m = m_markers.GetActive();
        const QPoint d = clampInto(pos - m_dragOffset, m_display->getDisplayRect());
        const QPoint c = clampInto(m_display->displayToContent(d), m_display->getContentRect());
        m->setDisplayPosition(m_display->contentToDisplay(c));
        m->setPosition(c);
        m_display->updateDisplay();
        return true;
    }
    if (m_markers.HitTest(pos)) {
        m_display->setDisplayCursor(m_hoverCursor);
        m_hovering = true;
        return true;
    }
    if (m_hovering) {
        m_display->resetDisplayCursor();
        m_hovering = false;
    }
    return false;
}

bool PreviewControl::onMouseUp(QPoint)
{
    if (!m_dragging)
        return false;
    if (m_moved) {
        const Marker* m = m_markers.GetActive();
        if (m_matcher)
            m_matcher->SetPoint(m_group, VarnoBase::Point(m->position().x(), m->position().y()), m->name());
        m_moved = false;
        emit markerMoved();
    }
    m_dragging = false;
    if (m_display)
        m_display->resetDisplayCursor();
    return false;
}
