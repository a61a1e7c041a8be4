// Integer geometry shared by the engines, the document and the views.
// Rectangles keep their right and bottom edges exclusive and are never normalised
// implicitly: only the operations that say so look at normalised edges.
#pragma once

#include <QRect>

namespace VarnoBase {

struct Point {
    int x = 0;
    int y = 0;

    constexpr Point() noexcept = default;
    constexpr Point(int x_, int y_) noexcept : x(x_), y(y_) {}

    constexpr Point& operator+=(Point o) noexcept { x += o.x; y += o.y; return *this; }
    constexpr Point& operator-=(Point o) noexcept { x -= o.x; y -= o.y; return *this; }
    constexpr Point operator-() const noexcept { return {-x, -y}; }
};

constexpr Point operator+(Point a, Point b) noexcept { return {a.x + b.x, a.y + b.y}; }
constexpr Point operator-(Point a, Point b) noexcept { return {a.x - b.x, a.y - b.y}; }
constexpr bool operator==(Point a, Point b) noexcept { return a.x == b.x && a.y == b.y; }
constexpr bool operator!=(Point a, Point b) noexcept { return !(a == b); }

struct Size {
    int cx = 0;
    int cy = 0;

    constexpr Size() noexcept = default;
    constexpr Size(int cx_, int cy_) noexcept : cx(cx_), cy(cy_) {}
};

constexpr bool operator==(const Size& a, const Size& b) noexcept { return a.cx == b.cx && a.cy == b.cy; }
constexpr bool operator!=(const Size& a, const Size& b) noexcept { return !(a == b); }

struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;   // exclusive
    int bottom = 0;  // exclusive

    constexpr Rect() noexcept = default;
    constexpr Rect(int l, int t, int r, int b) noexcept : left(l), top(t), right(r), bottom(b) {}
    constexpr Rect(Point topLeft, Point bottomRight) noexcept
        : left(topLeft.x), top(topLeft.y), right(bottomRight.x), bottom(bottomRight.y) {}
    Rect(const QRect& r) noexcept;  // NOLINT(google-explicit-constructor): same pixels
    Rect& operator=(const QRect& r) noexcept;
    operator QRect() const noexcept;  // NOLINT(google-explicit-constructor)

    constexpr int width() const noexcept { return right - left; }
    constexpr int height() const noexcept { return bottom - top; }
    constexpr Point topLeft() const noexcept { return {left, top}; }

    // null: no extent in either direction; valid: edges in order; empty: holds no pixel.
    constexpr bool isNull() const noexcept { return left == right && top == bottom; }
    constexpr bool isValid() const noexcept { return left <= right && top <= bottom; }
    constexpr bool isEmpty() const noexcept { return left >= right || top >= bottom; }

    constexpr void setEmpty() noexcept { left = top = right = bottom = 0; }
    constexpr void inflate(int dx, int dy) noexcept { left -= dx; right += dx; top -= dy; bottom += dy; }
    constexpr void offset(int dx, int dy) noexcept { left += dx; right += dx; top += dy; bottom += dy; }
    constexpr void offset(Point p) noexcept { offset(p.x, p.y); }

    Rect normalized() const noexcept;
    Rect intersected(const Rect& o) const noexcept;
    Rect united(const Rect& o) const noexcept;
    bool contains(Point p) const noexcept;

    Rect& operator&=(const Rect& o) noexcept { return *this = intersected(o); }
    Rect& operator|=(const Rect& o) noexcept { return *this = united(o); }
};

inline Rect operator&(const Rect& a, const Rect& b) noexcept { return a.intersected(b); }
inline Rect operator|(const Rect& a, const Rect& b) noexcept { return a.united(b); }
constexpr bool operator==(const Rect& a, const Rect& b) noexcept
{
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}
constexpr bool operator!=(const Rect& a, const Rect& b) noexcept { return !(a == b); }

}  // namespace VarnoBase
