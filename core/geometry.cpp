#include "core/geometry.h"

#include <algorithm>

namespace VarnoBase {

Rect::Rect(const QRect& r) noexcept
    : left(r.left()), top(r.top()), right(r.right() + 1), bottom(r.bottom() + 1)
{
}

Rect& Rect::operator=(const QRect& r) noexcept
{
    return *this = Rect(r);
}

Rect::operator QRect() const noexcept
{
    return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
}

Rect Rect::normalized() const noexcept
{
    Rect r = *this;
    if (r.right < r.left)
        std::swap(r.left, r.right);
    if (r.bottom < r.top)
        std::swap(r.top, r.bottom);
    return r;
}

Rect Rect::intersected(const Rect& o) const noexcept
{
    if (isNull() || o.isNull())
        return {};
    const Rect a = normalized();
    const Rect b = o.normalized();
    if (a.left > b.right || b.left > a.right || a.top > b.bottom || b.top > a.bottom)
        return {};
    return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
            std::min(a.bottom, b.bottom)};
}

Rect Rect::united(const Rect& o) const noexcept
{
    if (isNull())
        return o;
    if (o.isNull())
        return *this;
    const Rect a = normalized();
    const Rect b = o.normalized();
    return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
            std::max(a.bottom, b.bottom)};
}

bool Rect::contains(Point p) const noexcept
{
    const Rect n = normalized();
    return n.left <= p.x && p.x < n.right && n.top <= p.y && p.y < n.bottom;
}

}  // namespace VarnoBase
