// make_scene: writes a set of overlapping synthetic photos of a generated scene and prints
// the true geometry of each, for the demonstration and for manual experiments.
//
//   make_scene --out DIR [--count N] [--width W] [--height H]
//              [--model translate|similarity|affine] [--mosaic RxC | --ring N]
//              [--overlap F] [--seed S] [--format jpg|png|tif|bmp] [--quality Q] [--vertical]
//              [--focal F] [--zoom Z1,Z2,...] [--photo FILE [--span DEG]]
//
// --focal sets a mosaic's focal length in pixels (else the width); --zoom multiplies it per
// photo (row-major, e.g. 1,1,1,1.25,1,1.4); --photo views a
// photograph on the sphere instead of the generated scene (mosaics, rings), its width
// spanning --span degrees (360 unless given), mirrored beyond its edges.
//
// A strip (the default) prints, per photo, the transform from its pixels into the first
// photo's pixels and into the scene plane; a mosaic or ring prints each camera
// (focal length in pixels, rx = pitch, ry = yaw, rz = roll in degrees).
#include <QCoreApplication>
#include <QStringList>

#include <cmath>
#include <cstdio>
#include <exception>

#include "bench/rotating_set.h"
#include "tests/support/scene.h"

namespace {

void usage()
{
    std::fprintf(stderr,
                 "usage: make_scene --out DIR [--count N] [--width W] [--height H]\n"
                 "                  [--model translate|similarity|affine] [--mosaic RxC | --ring N]\n"
                 "                  [--overlap F] [--seed S] [--format jpg|png|tif|bmp] [--quality Q]"
                 " [--vertical]\n"
                 "                  [--focal F] [--zoom Z1,Z2,...] [--photo FILE [--span DEG]]\n");
}

void printMatrix(const char* label, const vltest::Mat3& m)
{
    std::printf("  %s [%.9g %.9g %.9g; %.9g %.9g %.9g; %.9g %.9g %.9g]\n", label, m.m[0][0], m.m[0][1], m.m[0][2],
                m.m[1][0], m.m[1][1], m.m[1][2], m.m[2][0], m.m[2][1], m.m[2][2]);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();

    QString out, photo, model = QStringLiteral("similarity"), format = QStringLiteral("jpg");
    int count = 4, width = 1200, height = 800, rows = 0, cols = 0, ring = 0, quality = 95;
    double overlap = 0.35, focal = 0.0, span = 360.0;
    std::vector<double> zoom;
    qulonglong seed = 1;
    bool vertical = false;
    bool ok = true;
    for (int i = 1; i < args.size() && ok; ++i) {
        const QString a = args[i];
        auto value = [&]() -> QString {
            if (i + 1 >= args.size()) {
                ok = false;
                return {};
            }
            return args[++i];
        };
        bool num = true;
        if (a == "--out")
            out = value();
        else if (a == "--count")
            count = value().toInt(&num);
        else if (a == "--width")
            width = value().toInt(&num);
        else if (a == "--height")
            height = value().toInt(&num);
        else if (a == "--model")
            model = value();
        else if (a == "--overlap")
            overlap = value().toDouble(&num);
        else if (a == "--seed")
            seed = value().toULongLong(&num);
        else if (a == "--format")
            format = value();
        else if (a == "--quality")
            quality = value().toInt(&num);
        else if (a == "--ring")
            ring = value().toInt(&num);
        else if (a == "--focal")
            focal = value().toDouble(&num);
        else if (a == "--photo")
            photo = value();
        else if (a == "--span")
            span = value().toDouble(&num);
        else if (a == "--zoom")
            num = !(zoom = ParseZoom(value().toLatin1().constData())).empty();
        else if (a == "--vertical")
            vertical = true;
        else if (a == "--mosaic") {
            const QStringList rc = value().toLower().split('x');
            bool r1 = rc.size() == 2, r2 = r1;
            if (r1) {
                rows = rc[0].toInt(&r1);
                cols = rc[1].toInt(&r2);
            }
            num = r1 && r2 && rows > 0 && cols > 0;
        } else
            ok = false;
        ok = ok && num;
    }
    vltest::FileFormat fileFormat = vltest::FileFormat::Jpeg;
    if (format == "png")
        fileFormat = vltest::FileFormat::Png;
    else if (format == "tif" || format == "tiff")
        fileFormat = vltest::FileFormat::Tiff;
    else if (format == "bmp")
        fileFormat = vltest::FileFormat::Bmp;
    else if (format != "jpg" && format != "jpeg")
        ok = false;
    vltest::Motion motion = vltest::Motion::Similarity;
    if (model == "translate")
        motion = vltest::Motion::TranslateScale;
    else if (model == "affine")
        motion = vltest::Motion::Affine;
    else if (model != "similarity")
        ok = false;
    if (!ok || out.isEmpty() || count < 1 || width < 16 || height < 16) {
        usage();
        return 2;
    }

    try {
        vltest::SceneOptions so;
        so.seed = seed;
        std::vector<QImage> images;
        if (rows > 0 || ring > 0) {
            const RotatingSet rotating = MakeRotatingSet(ring, rows, cols, width, height, overlap, seed, focal, photo, span, zoom);
            const std::vector<vltest::CameraShot>& shots = rotating.shots;
            images = vltest::imagesOf(shots);
            const QStringList paths = vltest::savePhotos(images, out, fileFormat, quality);
            for (std::size_t i = 0; i < shots.size(); ++i) {
                const auto& c = shots[i].camera;
                std::printf("%s f=%.6f rx=%.6f ry=%.6f rz=%.6f size=%dx%d\n", qPrintable(paths[int(i)]), c.f, c.rx,
                            c.ry, c.rz, c.width, c.height);
            }
        } else {
            vltest::StripOptions st;
            st.count = count;
            st.width = width;
            st.height = height;
            st.overlap = overlap;
            st.motion = motion;
            st.direction = vertical ? vltest::Direction::Vertical : vltest::Direction::Horizontal;
            st.seed = seed;
            const vltest::Scene scene(so);
            const auto shots = vltest::makeStrip(scene, st);
            images = vltest::imagesOf(shots);
            const QStringList paths = vltest::savePhotos(images, out, fileFormat, quality);
            for (std::size_t i = 0; i < shots.size(); ++i) {
                std::printf("%s size=%dx%d\n", qPrintable(paths[int(i)]), width, height);
                printMatrix("to_first", shots[i].toFirst);
                printMatrix("to_scene", shots[i].view.toScene);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_scene: %s\n", e.what());
        return 1;
    }
    return 0;
}
