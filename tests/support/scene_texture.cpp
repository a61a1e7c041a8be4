// The procedural texture behind every synthetic photo.
//
// Layers, bottom to top:
//  1. a smooth colour gradient over the whole texture (periodic in x when wrapping);
//  2. eight octaves of colour value noise (lattice cells of 512 down to 4 texels, smoothstep
//     interpolation, amplitude ~ sqrt(cell)), evaluated row by row: each octave first blends
//     its two lattice rows, then interpolates along x with a per-octave weight table;
//  3. sharp-edged, antialiased shapes of log-uniform size (3 to 90 texels): ellipses,
//     rings, rotated rectangles and star-shaped polygons, solid or gradient filled, larger
//     ones drawn first so small detail stays on top;
//  4. rows of small glyph-like stroke marks (5 to 14 texels high), the "text" of the scene.
// Every random draw comes from one seeded generator in a fixed order, so a seed always
// gives the same texture. When the texture wraps in x, the lattices are periodic and
// shapes crossing an edge are drawn a second time on the other side.
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <array>

#include "tests/support/scene_internal.h"

namespace vltest::detail {

namespace {

constexpr double kPi = 3.141592653589793;

struct Octave {
    int cell = 0;  // a power of two
    int shift = 0;
    float amplitude = 0;
    int nx = 0, ny = 0;
    std::vector<float> lattice;  // ny * nx * 3
    std::vector<float> weight;   // smoothstep weight of each offset inside a cell
};

float smooth(double t) { return float(t * t * (3 - 2 * t)); }

void paintNoise(QImage& img, bool wrapX, Rng& rng)
{
    const int W = img.width(), H = img.height();
    std::array<float, 3> base, gx, gy;
    for (int c = 0; c < 3; ++c) {
        base[c] = float(rng.uniform(90, 165));
        gx[c] = float(rng.symmetric(45));
        gy[c] = float(rng.symmetric(45));
    }
    const float phase = float(rng.uniform(0, 2 * kPi));

    std::vector<Octave> octaves;
    for (int cell = 512; cell >= 4; cell /= 2) {
        Octave o;
        o.cell = cell;
        o.shift = int(std::log2(cell) + 0.5);
        o.amplitude = float(55.0 * std::sqrt(cell / 512.0));
        o.nx = wrapX ? std::max(1, W / cell) : W / cell + 2;
        o.ny = H / cell + 2;
        o.lattice.resize(std::size_t(o.nx) * o.ny * 3);
        for (auto& v : o.lattice)
            v = float(rng.symmetric(1.0));
        o.weight.resize(cell);
        for (int i = 0; i < cell; ++i)
            o.weight[i] = smooth(double(i) / cell);
        octaves.push_back(std::move(o));
    }

    std::vector<float> columnTerm(W);
    for (int x = 0; x < W; ++x)
        columnTerm[x] = wrapX ? float(std::cos(2 * kPi * x / W + phase)) * 0.5f : float(x) / W - 0.5f;

    parallelRows(H, [&](int y0, int y1) {
        std::vector<float> acc(std::size_t(W) * 3);
        std::vector<float> blended;
        for (int y = y0; y < y1; ++y) {
            const float ty = float(y) / H - 0.5f;
            for (int x = 0; x < W; ++x)
                for (int c = 0; c < 3; ++c)
                    acc[std::size_t(x) * 3 + c] = base[c] + gx[c] * columnTerm[x] + gy[c] * ty;
            for (const Octave& o : octaves) {
                const int iy = y >> o.shift;
                const float wy = o.weight[y & (o.cell - 1)];
                blended.resize(std::size_t(o.nx) * 3);
                const float* r0 = &o.lattice[std::size_t(iy) * o.nx * 3];
                const float* r1 = r0 + std::size_t(o.nx) * 3;
                for (int k = 0; k < o.nx * 3; ++k)
                    blended[k] = r0[k] + (r1[k] - r0[k]) * wy;
                for (int x = 0; x < W; ++x) {
                    const int ix = x >> o.shift;
                    int ix1 = ix + 1;
                    if (wrapX && ix1 >= o.nx)
                        ix1 -= o.nx;
                    const float wx = o.weight[x & (o.cell - 1)];
                    const float* a = &blended[std::size_t(ix) * 3];
                    const float* b = &blended[std::size_t(ix1) * 3];
                    float* out = &acc[std::size_t(x) * 3];
                    for (int c = 0; c < 3; ++c)
                        out[c] += o.amplitude * (a[c] + (b[c] - a[c]) * wx);
                }
            }
            auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
            auto q = [](float f) { return int(std::clamp(f, 0.0f, 255.0f) + 0.5f); };
            for (const float* v = acc.data(); v != acc.data() + acc.size(); v += 3)
                *line++ = qRgb(q(v[0]), q(v[1]), q(v[2]));
        }
    });
}

QColor randomColor(Rng& rng, int alpha)
{
    // Mix saturated and muted colours, dark and light, so edges have contrast in every
    // channel somewhere.
    const double h = rng.uniform(), s = rng.uniform(0.15, 1.0), v = rng.uniform(0.1, 1.0);
    QColor c = QColor::fromHsvF(float(h), float(s), float(v));
    c.setAlpha(alpha);
    return c;
}

// One drawable item: its path in local coordinates, where it goes, and how it is filled.
struct Item {
    QPainterPath path;
    QPointF at;
    double angleDeg = 0;
    double extent = 0;  // radius of a circle around `at` that holds the item
    QBrush brush;
    QPen pen = Qt::NoPen;
};

Item makeShape(Rng& rng, int W, int H)
{
    Item it;
    const double r = 3.0 * std::pow(30.0, rng.uniform());  // 3 .. 90 texels, log-uniform
    it.at = QPointF(rng.uniform(0, W), rng.uniform(0, H));
    it.angleDeg = rng.uniform(0, 360);
    it.extent = r * 1.5;
    const int kind = rng.below(4);
    switch (kind) {
    case 0:  // ellipse
        it.path.addEllipse(QPointF(0, 0), r, r * rng.uniform(0.45, 1.0));
        break;
    case 1: {  // ring
        const double ry = r * rng.uniform(0.6, 1.0);
        const double t = std::max(1.2, r * rng.uniform(0.12, 0.35));
        it.path.addEllipse(QPointF(0, 0), r, ry);
        it.path.addEllipse(QPointF(0, 0), std::max(0.5, r - t), std::max(0.5, ry - t));
        it.path.setFillRule(Qt::OddEvenFill);
        break;
    }
    case 2: {  // rotated rectangle
        const double w = r * rng.uniform(0.5, 1.0), h = r * rng.uniform(0.25, 1.0);
        it.path.addRect(QRectF(-w, -h, 2 * w, 2 * h));
        break;
    }
    default: {  // star-shaped polygon
        const int n = 3 + rng.below(6);
        std::vector<double> angles(n);
        for (auto& a : angles)
            a = rng.uniform(0, 2 * kPi);
        std::sort(angles.begin(), angles.end());
        QPolygonF poly;
        for (double a : angles) {
            const double rr = r * rng.uniform(0.35, 1.0);
            poly << QPointF(rr * std::cos(a), rr * std::sin(a));
        }
        it.path.addPolygon(poly);
        it.path.closeSubpath();
        break;
    }
    }
    // Large shapes are translucent so the noise keeps giving features inside them.
    const double translucent = rng.uniform();
    const int alpha = r > 35 ? int(rng.uniform(90, 200)) : translucent < 0.25 ? int(rng.uniform(110, 230)) : 255;
    if (rng.uniform() < 0.3) {
        QLinearGradient g(QPointF(-r, 0), QPointF(r, 0));
        g.setColorAt(0, randomColor(rng, alpha));
        g.setColorAt(1, randomColor(rng, alpha));
        it.brush = QBrush(g);
    } else {
        it.brush = QBrush(randomColor(rng, alpha));
    }
    return it;
}

Item makeMarks(Rng& rng, int W, int H)
{
    Item it;
    const double h = rng.uniform(5, 14);
    const double gw = h * 0.6;
    const int glyphs = 3 + rng.below(10);
    it.at = QPointF(rng.uniform(0, W), rng.uniform(0, H));
    it.angleDeg = rng.uniform() < 0.6 ? rng.symmetric(20) : rng.uniform(0, 360);
    const double length = glyphs * gw * 1.35;
    it.extent = length + h;
    for (int g = 0; g < glyphs; ++g) {
        const double x0 = g * gw * 1.35 - length / 2;
        const int strokes = 2 + rng.below(3);
        auto anchor = [&](int i) {  // a 3 x 4 grid of stroke ends inside the glyph box
            return QPointF(x0 + (i % 3) * gw / 2, -h / 2 + (i / 3) * h / 3);
        };
        int last = rng.below(12);
        it.path.moveTo(anchor(last));
        for (int s = 0; s < strokes; ++s) {
            int next = rng.below(12);
            if (next == last)
                next = (next + 5) % 12;
            if (rng.uniform() < 0.3)
                it.path.moveTo(anchor(rng.below(12)));
            it.path.lineTo(anchor(next));
            last = next;
        }
    }
    const bool dark = rng.uniform() < 0.6;
    QColor c = dark ? QColor::fromHsvF(float(rng.uniform()), float(rng.uniform(0, 0.6)), float(rng.uniform(0, 0.25)))
                    : QColor::fromHsvF(float(rng.uniform()), float(rng.uniform(0, 0.4)), float(rng.uniform(0.85, 1.0)));
    it.pen = QPen(c, std::clamp(h / 8, 1.0, 2.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    it.brush = Qt::NoBrush;
    return it;
}

// Bands are painted concurrently, and QPainterPath and QBrush fill caches lazily inside
// their shared data, so every band draws private deep copies of an item's path and brush.
void drawItem(QPainter& p, const Item& it, double dx)
{
    QPainterPath path;
    path.setFillRule(it.path.fillRule());
    path.addPath(it.path);
    QBrush brush = it.brush.gradient() ? QBrush(*it.brush.gradient()) : QBrush(it.brush.color(), it.brush.style());
    p.save();
    p.translate(it.at.x() + dx, it.at.y());
    p.rotate(it.angleDeg);
    p.setPen(QPen(it.pen.color(), it.pen.widthF(), it.pen.style(), it.pen.capStyle(), it.pen.joinStyle()));
    p.setBrush(brush);
    p.drawPath(path);
    p.restore();
}

void paintItems(QImage& img, bool wrapX, Rng& rng)
{
    const int W = img.width(), H = img.height();
    const double area = double(W) * H;
    std::vector<Item> shapes(std::size_t(area / 2600)), marks(std::size_t(area / 16000));
    for (Item& it : shapes)
        it = makeShape(rng, W, H);
    std::stable_sort(shapes.begin(), shapes.end(), [](const Item& a, const Item& b) { return a.extent > b.extent; });
    for (Item& it : marks)
        it = makeMarks(rng, W, H);

    // Painted in fixed horizontal bands on parallel threads. Each band is its own QImage
    // over the band's rows and sees every item that reaches it, in the same order; the
    // band layout depends only on the texture size, so the result is the same on every
    // machine whatever its number of cores.
    const int bandCount = std::clamp(H / 64, 1, 32);
    Utils::ParallelForEach(std::size_t(bandCount), 0, [&](std::size_t b) {
        const int top = int(std::int64_t(H) * b / bandCount), bottom = int(std::int64_t(H) * (b + 1) / bandCount);
        QImage band(img.scanLine(top), W, bottom - top, img.bytesPerLine(), QImage::Format_RGB32);
        QPainter p(&band);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.translate(0, -top);
        auto draw = [&](const Item& it) {
            if (it.at.y() + it.extent < top - 2 || it.at.y() - it.extent > bottom + 2)
                return;
            drawItem(p, it, 0);
            if (wrapX && it.at.x() + it.extent > W)
                drawItem(p, it, -W);
            if (wrapX && it.at.x() - it.extent < 0)
                drawItem(p, it, W);
        };
        for (const Item& it : shapes)
            draw(it);
        for (const Item& it : marks)
            draw(it);
    });
}

QImage halve(const QImage& src)
{
    const int w = src.width() / 2, h = src.height() / 2;
    QImage dst(w, h, QImage::Format_RGB32);
    parallelRows(h, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const auto* a = reinterpret_cast<const QRgb*>(src.constScanLine(2 * y));
            const auto* b = reinterpret_cast<const QRgb*>(src.constScanLine(2 * y + 1));
            auto* o = reinterpret_cast<QRgb*>(dst.scanLine(y));
            for (int x = 0; x < w; ++x) {
                const QRgb p0 = a[2 * x], p1 = a[2 * x + 1], p2 = b[2 * x], p3 = b[2 * x + 1];
                auto avg = [&](int (*ch)(QRgb)) { return (ch(p0) + ch(p1) + ch(p2) + ch(p3) + 2) / 4; };
                o[x] = qRgb(avg(qRed), avg(qGreen), avg(qBlue));
            }
        }
    });
    return dst;
}

}  // namespace

MipTexture buildTexture(int width, int height, bool wrapX, std::uint64_t seed)
{
    QImage img(width, height, QImage::Format_RGB32);
    if (img.isNull())
        throw std::bad_alloc();
    Rng rng(seed);
    paintNoise(img, wrapX, rng);
    paintItems(img, wrapX, rng);
    return textureOf(std::move(img), wrapX);
}

MipTexture textureOf(QImage level0, bool wrapX)
{
    if (level0.isNull())
        throw std::bad_alloc();
    MipTexture t;
    t.wrapX = wrapX;
    t.levels.push_back(std::move(level0));
    while (t.levels.size() < 7 && t.levels.back().width() % 2 == 0 && t.levels.back().height() % 2 == 0 &&
           t.levels.back().width() >= 64 && t.levels.back().height() >= 64)
        t.levels.push_back(halve(t.levels.back()));
    for (const QImage& l : t.levels)
        t.views.push_back(
            {reinterpret_cast<const std::uint32_t*>(l.constBits()), l.bytesPerLine() / 4, l.width(), l.height()});
    return t;
}

}  // namespace vltest::detail
