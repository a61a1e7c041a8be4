// The rotating-camera photo sets of the command-line drivers (make_scene writes them,
// tiled_accuracy measures the tiled engine on them): a ring of `ring` photos when ring > 0,
// otherwise a rows x cols mosaic, each photo width x height pixels, on one generated
// scene, or on a photograph spanning `photoSpan` degrees (`photo`, a file; see
// vltest::SceneOptions::spherePhoto). `focal` > 0 sets a mosaic's focal length (else the
// width); `zoom` (a mosaic's) multiplies the focal lengths of the first photos, one factor
// per photo in row-major order. The scene is returned too: the shots' truth refers to it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "tests/support/scene.h"

// "1,1,1.25" -> {1, 1, 1.25}; empty when a value is not a positive number.
inline std::vector<double> ParseZoom(const char* text)
{
    std::vector<double> out;
    for (const char* p = text; *p;) {
        char* end = nullptr;
        const double z = std::strtod(p, &end);
        if (end == p || !(z > 0.0))
            return {};
        out.push_back(z);
        p = *end == ',' ? end + 1 : end;
        if (*end && *end != ',')
            return {};
    }
    return out;
}

struct RotatingSet {
    std::unique_ptr<vltest::Scene> scene;
    std::vector<vltest::CameraShot> shots;
};

inline RotatingSet MakeRotatingSet(int ring, int rows, int cols, int width, int height, double overlap,
                                   std::uint64_t seed, double focal = 0.0, const QString& photo = {},
                                   double photoSpan = 360.0, const std::vector<double>& zoom = {})
{
    // Enough sphere texels that the views are not magnified much.
    auto sphereFor = [](double f) { return static_cast<int>(std::min(16384.0, std::ceil(2 * 3.141592653589793 * f))); };
    vltest::SceneOptions so;
    so.seed = seed;
    so.planeWidth = so.planeHeight = 64;
    so.spherePhoto = photo;
    so.spherePhotoSpan = photoSpan;
    RotatingSet set;
    if (ring > 0) {
        vltest::RingOptions ro;
        ro.count = ring;
        ro.width = width;
        ro.height = height;
        ro.overlap = overlap;
        ro.seed = seed;
        so.sphereWidth = sphereFor(vltest::focalForFov(width, 360.0 / ring / (1 - overlap)));
        set.scene = std::make_unique<vltest::Scene>(so);
        set.shots = vltest::makeRing(*set.scene, ro);
    } else {
        vltest::MosaicOptions mo;
        mo.rows = rows;
        mo.cols = cols;
        mo.width = width;
        mo.height = height;
        mo.overlap = overlap;
        mo.seed = seed;
        mo.focal = focal;
        mo.zoom = zoom;
        so.sphereWidth = sphereFor(focal > 0 ? focal : width);
        set.scene = std::make_unique<vltest::Scene>(so);
        set.shots = vltest::makeMosaic(*set.scene, mo);
    }
    return set;
}
