// match_pair: matches two photos as the Horizontal/Vertical engine matches a pair and
// prints the fitted transform.
//
//   match_pair [--model affine|similarity|translate] [--ratio 0.6|0.8] PHOTO1 PHOTO2
//
// Loads both photos, makes working copies halved until the longer side is at most 660
// pixels (2 x 2 averaging), extracts SIFT features, matches them (kd-tree, ratio test,
// Hough voting, robust fit of the model) and applies the acceptance test. Prints stage
// times and counts; the last line is
//   accepted=0|1 inliers=N error=E transform=m00,m01,m02,m10,m11,m12
// with the affine map from PHOTO1's full-size pixels into PHOTO2's and E the mean inlier
// distance in PHOTO2's full-size pixels. Exit status 0 when a transform was fitted, 1
// when none was, 2 on bad arguments or unreadable photos.
#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "core/dib.h"
#include "core/keypoints.h"
#include "core/pair_matching.h"
#include "core/pano_element.h"
#include "core/panorama_exceptions.h"
#include "core/sift.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// The program's pixel stores, as the document would make them.
class DibManager : public PanoramaLib::IDibManager {
public:
    PanoramaLib::IDib* CreateDibObject(bool threadSafe) const override { return new PanoramaLib::QtDibImpl(threadSafe); }
    PanoramaLib::IDib* CreateCopy(PanoramaLib::IDib* src, bool threadSafe) const override
    {
        auto* impl = src ? static_cast<PanoramaLib::QtDibImpl*>(src->QueryObject(PanoramaLib::kQueryDibImpl)) : nullptr;
        return impl ? new PanoramaLib::QtDibImpl(*impl, threadSafe) : nullptr;
    }
};

struct ElementRef {
    CPanoElement* p = nullptr;
    ElementRef() = default;
    explicit ElementRef(CPanoElement* e) : p(e) {}
    ~ElementRef()
    {
        if (p)
            p->Release();
    }
    ElementRef(const ElementRef&) = delete;
    ElementRef& operator=(const ElementRef&) = delete;
};

// One photo at working size: pixel (x, y) of the copy covers full-size pixels
// scale*x .. scale*x + scale - 1, so full = scale * working + offset.
struct Working {
    ElementRef photo;
    ElementRef work;  // the photo itself when it is small enough
    double scale = 1;
    double offset = 0;
};

constexpr int kWorkSize = 660;

// Halves a 24-bit or 8-bit element by 2 x 2 averaging until its longer side is at most
// kWorkSize. Returns null when the copy cannot be made.
CPanoElement* halveToWorkingSize(CPanoElement* photo, int& halvings)
{
    halvings = 0;
    int w = photo->GetWidth(), h = photo->GetHeight();
    while (std::max(w, h) > kWorkSize) {
        w /= 2;
        h /= 2;
        ++halvings;
    }
    if (halvings == 0) {
        photo->AddRef();
        return photo;
    }
    if (w == 0 || h == 0)
        return nullptr;

    const int channels = photo->GetBPP() / 8;
    ElementRef cur(photo);
    photo->AddRef();
    for (int step = 0; step < halvings; ++step) {
        const int sw = cur.p->GetWidth(), sh = cur.p->GetHeight();
        const int dw = sw / 2, dh = sh / 2;
        auto* dst = new CPanoElement();
        if (!dst->CreateImage(channels * 8, dw, dh)) {
            dst->Release();
            return nullptr;
        }
        const u8* s = cur.p->GetBits();
        u8* d = dst->GetBits();
        const std::ptrdiff_t sbpl = cur.p->GetBPL(), dbpl = dst->GetBPL();
        for (int y = 0; y < dh; ++y) {
            const u8* r0 = s + (2 * y) * sbpl;
            const u8* r1 = r0 + sbpl;
            u8* o = d + y * dbpl;
            for (int px = 0; px < dw; ++px)
                for (int c = 0; c < channels; ++c) {
                    const int i0 = 2 * px * channels + c, i1 = i0 + channels;
                    o[px * channels + c] = static_cast<u8>((r0[i0] + r0[i1] + r1[i0] + r1[i1] + 2) / 4);
                }
        }
        cur.p->Release();
        cur.p = dst;
    }
    CPanoElement* result = cur.p;
    cur.p = nullptr;
    return result;
}

bool loadWorking(const char* path, Working& out)
{
    out.photo.p = new CPanoElement();
    std::string p(path);
    if (!out.photo.p->FromFile(std::wstring(p.begin(), p.end())) || !out.photo.p->HasBits()) {
        const std::wstring why = out.photo.p->GetErrorMessage();
        std::fprintf(stderr, "match_pair: cannot load %s%s%s\n", path, why.empty() ? "" : ": ",
                     std::string(why.begin(), why.end()).c_str());
        return false;
    }
    int halvings = 0;
    out.work.p = halveToWorkingSize(out.photo.p, halvings);
    if (!out.work.p) {
        std::fprintf(stderr, "match_pair: cannot make a working copy of %s\n", path);
        return false;
    }
    out.scale = double(1 << halvings);
    out.offset = (out.scale - 1) / 2;
    return true;
}

void usage()
{
    std::fprintf(stderr, "usage: match_pair [--model affine|similarity|translate] [--ratio 0.6|0.8] PHOTO1 PHOTO2\n");
}

}  // namespace

int main(int argc, char** argv)
{
    int model = 0;
    double ratio = 0.8;
    const char* files[2] = {nullptr, nullptr};
    int nFiles = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--model") && i + 1 < argc) {
            const std::string m = argv[++i];
            if (m == "affine")
                model = 0;
            else if (m == "similarity")
                model = 1;
            else if (m == "translate")
                model = 2;
            else {
                usage();
                return 2;
            }
        } else if (!std::strcmp(argv[i], "--ratio") && i + 1 < argc) {
            ratio = std::atof(argv[++i]);
            if (!(ratio > 0 && ratio < 1)) {
                usage();
                return 2;
            }
        } else if (nFiles < 2 && argv[i][0] != '-') {
            files[nFiles++] = argv[i];
        } else {
            usage();
            return 2;
        }
    }
    if (nFiles != 2) {
        usage();
        return 2;
    }

    QCoreApplication app(argc, argv);
    static DibManager manager;
    CPanoElement::m_pIDibManager = &manager;

    try {
        auto t0 = Clock::now();
        Working photo[2];
        for (int i = 0; i < 2; ++i)
            if (!loadWorking(files[i], photo[i]))
                return 2;
        const double loadTime = secondsSince(t0);

        t0 = Clock::now();
        CImageDataBase store[2];
        for (int i = 0; i < 2; ++i) {
            PanoramaRecognition::SIFTKeys(photo[i].work.p, 4, 2, 0.02, 10.0, store[i].m_keys, store[i].m_descriptors,
                                          nullptr);
            store[i].SetSingleObject(photo[i].work.p->GetImageSize());
        }
        const double siftTime = secondsSince(t0);

        PanoramaRecognition::PairMatch m;
        if (!PanoramaRecognition::MatchFeatureStores(store[0], store[1], model, ratio, m)) {
            std::fprintf(stderr, "match_pair: out of memory while voting\n");
            return 2;
        }

        for (int i = 0; i < 2; ++i)
            std::printf("photo%d: %dx%d working %dx%d (scale %g) keypoints %zu\n", i + 1, photo[i].photo.p->GetWidth(),
                        photo[i].photo.p->GetHeight(), photo[i].work.p->GetWidth(), photo[i].work.p->GetHeight(),
                        photo[i].scale, store[i].m_keys.size());
        std::printf("times: load+working copies %.3f s, sift %.3f s, kd-tree %.3f s, voting %.3f s, fit %.3f s\n",
                    loadTime, siftTime, m.treeSeconds, m.votingSeconds, m.fitSeconds);
        std::printf("matches %d, best candidates %d (score %.2f), pairs fitted %d, inliers %d, error %.3f working px\n",
                    m.matches, m.candidates, m.score, m.pairs, m.inliers, m.error);

        // Working transform -> full-size pixels: full = s * working + c on each side.
        const double s1 = photo[0].scale, c1 = photo[0].offset, s2 = photo[1].scale, c2 = photo[1].offset;
        double f[2][3];
        for (int r = 0; r < 2; ++r) {
            const double* t = m.transform[r];
            f[r][0] = s2 / s1 * t[0];
            f[r][1] = s2 / s1 * t[1];
            f[r][2] = s2 * (t[2] - (t[0] + t[1]) * c1 / s1) + c2;
        }
        std::printf("accepted=%d inliers=%d error=%.4f transform=%.9g,%.9g,%.9g,%.9g,%.9g,%.9g\n", m.accepted ? 1 : 0,
                    m.inliers, m.error * s2, f[0][0], f[0][1], f[0][2], f[1][0], f[1][1], f[1][2]);
        return m.fitted ? 0 : 1;
    } catch (const panorama_error&) {
        std::fprintf(stderr, "match_pair: feature extraction failed\n");
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "match_pair: %s\n", e.what());
        return 2;
    } catch (...) {
        std::fprintf(stderr, "match_pair: matching failed\n");
        return 2;
    }
}
