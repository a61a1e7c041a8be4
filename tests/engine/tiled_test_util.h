// Helpers of the tiled engine and rendering-surface tests: mosaics and rings of the
// synthetic scene written to JPEG files and loaded back, conversions between elements
// and QImage, an engine made through the factory on a real host, a progress indicator
// that cancels in a chosen phase of a build, and a surface whose result a test may reach.
#pragma once

#include <gtest/gtest.h>

#include <QFile>
#include <QImage>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/linalg.h"
#include "core/match_graph.h"
#include "core/pano_element.h"
#include "engine/panorama_interfaces.h"
#include "engine/tiled/panorama.h"
#include "engine/tiled/surface.h"
#include "tests/support/dib_manager_fixture.h"
#include "tests/support/recording_host.h"
#include "tests/support/scene.h"

namespace tiled_test {

inline const vltest::Scene& SharedScene()
{
    static const vltest::Scene scene(vltest::smallSceneOptions(21));
    return scene;
}

inline vltest::MosaicOptions MosaicOptions(int rows = 2, int cols = 3, int width = 320, int height = 240)
{
    vltest::MosaicOptions o;
    o.rows = rows;
    o.cols = cols;
    o.width = width;
    o.height = height;
    o.overlap = 0.35;
    return o;
}

// A scene whose sphere is a real photograph (leaves, a dragonfly: a desktop background
// that scripts/install-deps brings in) spanning `span` degrees, drawn `sphereWidth`
// pixels round, about as sharp as the photos taken of it.
inline vltest::SceneOptions PhotographSceneOptions(int sphereWidth, double span)
{
    vltest::SceneOptions so;
    so.planeWidth = so.planeHeight = 64;
    so.sphereWidth = sphereWidth;
    so.spherePhoto = QStringLiteral("/usr/share/backgrounds/Dragonfly_by_Bolly.jpg");
    so.spherePhotoSpan = span;
    EXPECT_TRUE(QFile::exists(so.spherePhoto)) << "install lomiri-wallpapers-16.04 (scripts/install-deps)";
    return so;
}

// A 24-bit element holding the image's pixels (store byte order red, green, blue).
inline CPanoElement* ElementFrom(const QImage& source)
{
    const QImage img = source.convertToFormat(QImage::Format_RGB888);
    auto* e = new CPanoElement(false);
    EXPECT_TRUE(e->CreateImage(true, img.width(), img.height(), true));
    for (int y = 0; y < img.height(); ++y)
        std::memcpy(e->GetBits() + static_cast<std::int64_t>(y) * e->GetBPL(), img.constScanLine(y),
                    static_cast<std::size_t>(img.width()) * 3);
    return e;
}

using vltest::ImageOf;

// The photo files of one set and elements loaded from them (one reference each).
struct Photos {
    vltest::PhotoSet set;
    std::vector<PanoramaLib::IPanoElement*> elements;

    explicit Photos(const vltest::MosaicOptions& o) : set(vltest::makeMosaicPhotoSet(SharedScene(), o)) { Load(); }
    explicit Photos(const vltest::RingOptions& o) : set(vltest::makeRingPhotoSet(SharedScene(), o)) { Load(); }
    explicit Photos(const std::vector<QImage>& images) : set(vltest::makePhotoSet(images)) { Load(); }
    ~Photos() { PanoramaLib::FreePictureCollection(elements); }
    Photos(const Photos&) = delete;
    Photos& operator=(const Photos&) = delete;

    void Load()
    {
        for (const QString& p : set.paths) {
            auto* e = new CPanoElement(false);
            EXPECT_TRUE(e->FromFile(p.toStdWString()));
            elements.push_back(e);
        }
    }
    CPanoElement* operator[](std::size_t i) const { return static_cast<CPanoElement*>(elements[i]); }
    // Hands every photo, on its true camera and the shared lens `world`, to a surface.
    void AddTo(CCylindricalSurface& s, const D3Param& world = {}, int orientation = 0) const
    {
        std::vector<int> order;
        std::vector<CPanoElement*> photos;
        std::vector<D3Param> cams;
        for (std::size_t i = 0; i < elements.size(); ++i) {
            const vltest::Camera& c = set.cameraShots[i].camera;
            order.push_back(static_cast<int>(i));
            photos.push_back((*this)[i]);
            cams.push_back({c.f, c.rx, c.ry, c.rz});
        }
        s.AddImages(order, world, cams, photos, {});
        s.Set3DOrientation(orientation);
    }
};

// Cancels at the k-th abort poll of a phase: analysis, matching, adjustment or preview
// (told apart by the caption and, for the last two, by the progress value: the preview
// render reports from max - photos on).
struct PhaseCancel : vltest::RecordingProgress {
    enum Phase { None, Analysis, Matching, Adjustment, Preview };
    PhaseCancel(Phase p, int k, int photos) : phase(p), k(k), photos(photos) {}
    bool AbortProgressIndicator(int max, int value) override
    {
        using namespace PanoramaLib;
        const auto captions = Captions();
        const unsigned id = captions.empty() ? 0 : captions.back().id;
        const Phase now = id == kCaptionAnalyzing || id == kCaptionAnalyzingFile ? Analysis
                          : id == kCaptionMatching                              ? Matching
                          : id != kCaptionStitching                             ? None
                          : value >= max - photos                               ? Preview
                                                                                : Adjustment;
        cancelled = cancelled || (now == phase && ++seen >= k);
        return cancelled;
    }
    Phase phase;
    int k, photos, seen = 0;
    bool cancelled = false;
};

// A link of the match graph from photo a to photo b, with its inlier count and (when
// given) its affine map.
inline match_graph::CGraphLink* AddLink(match_graph::CGraph& graph, int a, int b, int inliers,
                                        const double (*m)[3] = nullptr)
{
    auto* l = graph.AddLink(a, b);
    l->id1 = a;
    l->id2 = b;
    l->inliers = inliers;
    if (m)
        Utils::copy_matrix_3x3(l->m, m);
    return l;
}

// An engine from the factory on a real host (threads, locks, events, stores).
struct EngineOnHost {
    vltest::ScopedDibManager dibs;
    vltest::RecordingUserInterface ui;
    PanoramaLib::ITiledPanorama* engine = nullptr;
    Tiled_Panorama::CPanorama* self = nullptr;

    explicit EngineOnHost(PanoramaLib::IProgressIndicator* progress = nullptr,
                          PanoramaLib::IFreeThreading* threading = nullptr)
    {
        engine = PanoramaLib::CreateTiledPanoramaObject(&dibs.host());
        self = dynamic_cast<Tiled_Panorama::CPanorama*>(engine);
        engine->Initialize(threading ? threading : &dibs.host(), nullptr, &ui);
        engine->Set_IProgressIndicator(progress);
        self->SetRenderThreads(2);
    }
    ~EngineOnHost()
    {
        if (engine)
            engine->Release();
    }
    void Options(bool crop, PanoramaLib::SurfaceRenderingType type, bool lens = true, int polynomial = 1)
    {
        PanoramaLib::PanoramaOptions o;
        engine->GetOptions(&o);
        o.bAutoCrop = crop;
        o.surfaceType = type;
        o.nLensPolynomial = polynomial;
        o.bLensCompensation = lens;
        engine->SetOptions(o);
    }
    // Blocks until the worker has posted a completed job ((0, 1)) after `from` updates;
    // returns the index after it, or 0 when none came (a hung worker).
    std::size_t WaitForCompletion(std::size_t from)
    {
        for (std::size_t n = from + 1;; ++n) {
            if (!ui.WaitForAsyncUpdates(n))
                return 0;
            const auto all = ui.AsyncUpdates();
            for (std::size_t i = from; i < all.size(); ++i)
                if (all[i].wParam == 0 && all[i].lParam == 1)
                    return i + 1;
        }
    }
};

// The camera records of generated cameras.
inline std::vector<D3Param> ParamsOf(const std::vector<vltest::Camera>& cams)
{
    std::vector<D3Param> out;
    for (const vltest::Camera& c : cams)
        out.push_back({c.f, c.rx, c.ry, c.rz});
    return out;
}

// The whole canvas of `images` (all, in their order) seen by `cams` with the shared lens
// `lens` on a level cylinder at natural size; per camera, when `tilt` is given, the
// height there of its right vector and of its axis (degrees).
inline VarnoBase::Size LevelCanvas(const std::vector<CPanoElement*>& images, const D3Param& lens,
                                   const std::vector<D3Param>& cams, std::vector<double>* tilt = nullptr)
{
    std::vector<int> order;
    for (std::size_t i = 0; i < images.size(); ++i)
        order.push_back(static_cast<int>(i));
    CCylindricalSurface s;
    s.AddImages(order, lens, cams, images, {});
    s.LevelOrientation();
    s.CalcProjectMatrices();
    s.SetSurfaceRadius();
    EXPECT_TRUE(s.CalcImgAngularSizes());
    double Rs[3][3];
    s.Rotation(Rs);
    for (std::size_t i = 0; tilt && i < cams.size(); ++i) {
        double R[3][3];
        Utils::Calc3RotateMatrix(R, cams[i].Rx, cams[i].Ry, cams[i].Rz);
        for (int row : {0, 2}) {
            const double y = Rs[1][0] * R[row][0] + Rs[1][1] * R[row][1] + Rs[1][2] * R[row][2];
            tilt->push_back(std::asin(std::clamp(y, -1.0, 1.0)) * 180 / 3.141592653589793);
        }
    }
    return {s.Width(), s.Height()};
}

// The 90th percentile of the misses (pixels) of a grid of pixels of each photo carried
// into every other photo that sees them by the engine's cameras (and lens) against the
// true cameras of `shots`: the ghosting where photos overlap. -1 when no pixel is seen
// twice or an estimated camera cannot see a pixel it should.
inline double PairMissP90(const std::vector<vltest::CameraShot>& shots, const Tiled_Panorama::CPanorama& e)
{
    const bool lens = e.m_worldParams.lens != 0;
    std::vector<double> miss;
    for (std::size_t a = 0; a < shots.size(); ++a) {
        const int w = shots[a].camera.width, h = shots[a].camera.height;
        auto estimate = [&](std::size_t i) {
            const D3Param& p = e.m_params[i];
            return vltest::Camera{p.f, p.Rx, p.Ry, p.Rz, shots[i].camera.width, shots[i].camera.height};
        };
        for (std::size_t b = 0; b < shots.size(); ++b) {
            const int wb = shots[b].camera.width, hb = shots[b].camera.height;
            for (int k = 0; a != b && k < 900; ++k) {
                // centred grid coordinates of photo a
                double u = (k % 30 + 0.5) * w / 30.0 - w / 2.0, v = (k / 30 + 0.5) * h / 30.0 - h / 2.0;
                double X, Y, Z, xt, yt;
                vltest::pixelRay(shots[a].camera, u + w / 2.0, v + h / 2.0, X, Y, Z);
                if (!vltest::projectRay(shots[b].camera, X, Y, Z, xt, yt) || xt < 0 || yt < 0 || xt > wb - 1 ||
                    yt > hb - 1)
                    continue;
                const double l = lens ? LensDistortion(std::hypot(u, v), e.m_worldParams) : 1.0;
                vltest::pixelRay(estimate(a), u * l + w / 2.0, v * l + h / 2.0, X, Y, Z);
                if (!vltest::projectRay(estimate(b), X, Y, Z, u, v))
                    return -1.0;
                u -= wb / 2.0;
                v -= hb / 2.0;
                if (lens && !InvLensDistortion24(&u, &v, u, v, e.m_worldParams))
                    return -1.0;
                miss.push_back(std::hypot(u + wb / 2.0 - xt, v + hb / 2.0 - yt));
            }
        }
    }
    if (miss.empty())
        return -1.0;
    std::sort(miss.begin(), miss.end());
    return miss[miss.size() * 9 / 10];
}

// The surface with its result image reachable.
template <class Base>
struct Open : Base {
    using Base::m_pPano;
};

}  // namespace tiled_test
