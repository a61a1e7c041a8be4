// Helpers of the rendering-surface tests: photos of the synthetic scene written to and
// read back from files, conversions between elements and QImage, and a surface whose
// internals a test may reach.
#pragma once

#include <QImage>

#include <cstring>
#include <memory>
#include <vector>

#include "core/pano_element.h"
#include "engine/tiled/surface.h"
#include "tests/support/scene.h"

namespace surface_test {

// A 24-bit element holding the image's pixels (store byte order red, green, blue).
inline CPanoElement* ElementFrom(const QImage& source)
{
    const QImage img = source.convertToFormat(QImage::Format_RGB888);
    auto* e = new CPanoElement(false);
    if (!e->CreateImage(true, img.width(), img.height(), true)) {
        e->Release();
        return nullptr;
    }
    for (int y = 0; y < img.height(); ++y)
        std::memcpy(e->GetBits() + static_cast<std::int64_t>(y) * e->GetBPL(), img.constScanLine(y),
                    static_cast<std::size_t>(img.width()) * 3);
    return e;
}

inline QImage ImageOf(const CPanoElement* e)
{
    QImage img(e->GetWidth(), e->GetHeight(), QImage::Format_RGB888);
    for (int y = 0; y < img.height(); ++y)
        std::memcpy(img.scanLine(y), e->GetBits() + static_cast<std::int64_t>(y) * e->GetBPL(),
                    static_cast<std::size_t>(img.width()) * 3);
    return img;
}

inline D3Param ParamsOf(const vltest::Camera& c)
{
    D3Param p;
    p.f = c.f;
    p.Rx = c.rx;
    p.Ry = c.ry;
    p.Rz = c.rz;
    return p;
}

// One scene for all tests of a program, small enough to build quickly.
inline const vltest::Scene& SharedScene()
{
    static const vltest::Scene scene([] {
        vltest::SceneOptions o;
        o.seed = 5;
        o.planeWidth = 256;
        o.planeHeight = 256;
        o.sphereWidth = 2048;
        return o;
    }());
    return scene;
}

// Photos of the scene written as PNG files and loaded back into elements.
struct PhotoFiles {
    vltest::PhotoSet files;
    std::vector<vltest::CameraShot> shots;
    std::vector<CPanoElement*> elements;  // one reference each, released by the destructor

    explicit PhotoFiles(std::vector<vltest::CameraShot> s) : shots(std::move(s))
    {
        files = vltest::makePhotoSet(vltest::imagesOf(shots), vltest::FileFormat::Png);
        for (const QString& path : files.paths) {
            auto* e = new CPanoElement(false);
            e->FromFile(path.toStdWString());
            elements.push_back(e);
        }
    }
    ~PhotoFiles()
    {
        for (CPanoElement* e : elements)
            e->Release();
    }
    std::vector<D3Param> Params() const
    {
        std::vector<D3Param> p;
        for (const auto& s : shots)
            p.push_back(ParamsOf(s.camera));
        return p;
    }
    std::vector<int> Order() const
    {
        std::vector<int> o;
        for (std::size_t i = 0; i < shots.size(); ++i)
            o.push_back(static_cast<int>(i));
        return o;
    }
};

inline std::vector<vltest::CameraShot> Mosaic(int rows, int cols, int width, int height)
{
    vltest::MosaicOptions o;
    o.rows = rows;
    o.cols = cols;
    o.width = width;
    o.height = height;
    o.overlap = 0.3;
    return vltest::makeMosaic(SharedScene(), o);
}

// The surface with its result image reachable.
template <class Base>
struct Open : Base {
    using Base::m_pPano;
    using Base::m_renderRect;
    using Base::m_photos;
};

}  // namespace surface_test
