// stitch_files: builds a panorama from photo files with an engine through its public
// interfaces, renders the full-size result and saves it.
//
//   stitch_files [--engine hv|tiled] [--model affine|similarity|translate] [--lens off|0..9]
//                [--cyclorama] [--surface cylinder|sphere] [--preview-only]
//                [--cancel-stitching-after S] --out FILE PHOTO...
//
// --cancel-stitching-after presses Cancel S seconds into "Stitching..." (the tiled
// engine's bundle adjustment) and reports on stderr how long the build took to end after
// that.
// Progress goes to stderr; the last line of stdout is
//   status=N photos=N unmatched=N preview=WxH result=WxH build_s=S render_s=S
// Exit 0 only when the build succeeded and the file was written. An output that cannot
// be written (no such folder, a folder, a type without a writer, no permission, one of
// the photos) and a photo that cannot be read end the run before anything is built,
// with the reason on stderr and status 2.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>

#include "core/pano_element.h"
#include "core/parallel.h"
#include "document/engine_host.h"
#include "engine/panorama_interfaces.h"

namespace {

class ConsoleProgress : public PanoramaLib::IProgressIndicator {
public:
    void OpenProgressIndicator() override {}
    void OpenProgressIndicatorWOAbort() override {}
    void CloseProgressIndicator() override { std::fprintf(stderr, "\n"); }
    void SetProgressCaption(unsigned id) override { SetProgressCaption(id, L""); }
    void SetProgressCaption(unsigned id, const std::wstring& text) override
    {
        std::fprintf(stderr, "\n[%u] %ls (t=%.3f s, peak %ld MiB) ", id, text.c_str(), Elapsed(), PeakMiB());
        m_caption = id;
        m_captionStart = Elapsed();
        m_firstValue = -1;
    }
    bool AbortProgressIndicator(int max, int value) override
    {
        // Under "Stitching..." the tiled engine's bundle adjustment polls at one fixed
        // value; the preview render then reports higher values: mark that moment.
        if (m_caption == 14) {
            if (m_firstValue < 0)
                m_firstValue = value;
            else if (value > m_firstValue && !m_renderMarked) {
                std::fprintf(stderr, "\n[preview render] (t=%.3f s) ", Elapsed());
                m_renderMarked = true;
            }
        }
        const int percent = max > 0 ? int(100LL * value / max) : 0;
        if (percent != m_last) {
            std::fprintf(stderr, "\r%3d%%", percent);
            m_last = percent;
        }
        if (m_cancelAfter >= 0 && m_caption == 14 && Elapsed() - m_captionStart >= m_cancelAfter) {
            if (m_cancelledAt < 0)
                m_cancelledAt = Elapsed();
            return true;
        }
        return false;
    }
    // Cancel this many seconds into "Stitching..." (negative: never).
    double m_cancelAfter = -1.0;
    // When Cancel was first answered (seconds since start; negative: never).
    double m_cancelledAt = -1.0;
    double Elapsed() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    }
    void HideProgress(bool) override {}

private:
    // The process's peak resident memory so far (Linux; 0 elsewhere).
    static long PeakMiB()
    {
        long kib = 0;
        if (FILE* f = std::fopen("/proc/self/status", "r")) {
            char line[256];
            while (std::fgets(line, sizeof line, f))
                if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1)
                    break;
            std::fclose(f);
        }
        return kib / 1024;
    }
    int m_last = -1;
    double m_captionStart = 0.0;
    unsigned m_caption = 0;
    int m_firstValue = -1;
    bool m_renderMarked = false;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

int Usage()
{
    std::fprintf(stderr,
                 "usage: stitch_files [--engine hv|tiled] [--model affine|similarity|translate] "
                 "[--lens off|0..9] [--cyclorama] [--surface cylinder|sphere] [--preview-only] "
                 "[--cancel-stitching-after S] --out FILE PHOTO...\n");
    return 2;
}

// The options named on the command line over the engine's defaults; false for a value it
// does not know.
bool ApplyOptions(PanoramaLib::PanoramaOptions& options, const std::string& model, const std::string& lens,
                  const std::string& surface, bool cyclorama)
{
    if (model == "affine")
        options.motionModel = PanoramaLib::MotionAffine;
    else if (model == "similarity")
        options.motionModel = PanoramaLib::MotionSimple;
    else if (model == "translate")
        options.motionModel = PanoramaLib::MotionTranslate;
    else if (!model.empty())
        return false;
    if (lens == "off") {
        options.bLensCompensation = false;
    } else if (!lens.empty()) {
        const int type = std::atoi(lens.c_str());
        if (type < 0 || type > 9 || lens.find_first_not_of("0123456789") != std::string::npos)
            return false;
        options.bLensCompensation = true;
        options.nLensType = type;
    }
    options.bCyclorama = cyclorama;
    if (surface == "sphere")
        options.surfaceType = PanoramaLib::SurfaceSpherical;
    else if (surface == "cylinder")
        options.surfaceType = PanoramaLib::SurfaceCylindrical;
    else if (!surface.empty())
        return false;
    return true;
}

QString FromLocal(const std::string& s)
{
    return QString::fromLocal8Bit(s.c_str());
}

// Why the result could not be written to `out`, or empty when it can: the same checks
// the export makes, done before the build instead of after it.
std::string OutputProblem(const std::string& out, const std::vector<std::string>& photos)
{
    const QFileInfo info(FromLocal(out));
    if (info.isDir())
        return "it is a folder";
    if (!info.absoluteDir().exists())
        return "the folder does not exist";
    QByteArray format = info.suffix().toLower().toLatin1();
    if (format == "tif")
        format = "tiff";
    if (format.isEmpty() || !QImageWriter::supportedImageFormats().contains(format))
        return "no image type is written for the suffix \"" + info.suffix().toStdString() + "\"";
    for (const std::string& photo : photos) {
        std::error_code ec;
        if (std::filesystem::equivalent(out, photo, ec))
            return "it is the photo " + photo;
    }
    QSaveFile probe(info.absoluteFilePath());  // writes beside the target, as the export does
    if (!probe.open(QIODevice::WriteOnly))
        return probe.errorString().toLocal8Bit().toStdString();
    probe.cancelWriting();
    return std::string();
}

void PrintFailedStatus(std::size_t photos)
{
    std::printf("status=%d photos=%zu unmatched=0 preview=0x0 result=0x0 build_s=0 render_s=0\n",
                PanoramaLib::kStatusFailed, photos);
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);

    std::string engineKind = "hv", model, lens, surface, out, cancelAfter;
    bool cyclorama = false, previewOnly = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&](std::string& v) {
            if (i + 1 >= argc)
                return false;
            v = argv[++i];
            return true;
        };
        if (a == "--engine") {
            if (!next(engineKind))
                return Usage();
        } else if (a == "--model") {
            if (!next(model))
                return Usage();
        } else if (a == "--lens") {
            if (!next(lens))
                return Usage();
        } else if (a == "--surface") {
            if (!next(surface))
                return Usage();
        } else if (a == "--out") {
            if (!next(out))
                return Usage();
        } else if (a == "--cancel-stitching-after") {
            if (!next(cancelAfter))
                return Usage();
        } else if (a == "--cyclorama") {
            cyclorama = true;
        } else if (a == "--preview-only") {
            previewOnly = true;
        } else if (!a.empty() && a[0] == '-') {
            return Usage();
        } else {
            files.push_back(a);
        }
    }
    if (out.empty() || files.empty() || (engineKind != "hv" && engineKind != "tiled"))
        return Usage();
    const std::string outputProblem = OutputProblem(out, files);
    if (!outputProblem.empty()) {
        std::fprintf(stderr, "stitch_files: cannot write %s: %s\n", out.c_str(), outputProblem.c_str());
        PrintFailedStatus(files.size());
        return 1;
    }

    EngineHost host;
    ConsoleProgress progress;
    if (!cancelAfter.empty())
        progress.m_cancelAfter = std::atof(cancelAfter.c_str());
    PanoramaLib::IPanorama* engine = nullptr;
    PanoramaLib::IHVPanorama* hv = nullptr;
    PanoramaLib::ITiledPanorama* tiled = nullptr;
    if (engineKind == "hv")
        engine = hv = PanoramaLib::CreateHVPanoramaObject(&host);
    else
        engine = tiled = PanoramaLib::CreateTiledPanoramaObject(&host);
    if (!engine) {
        std::fprintf(stderr, "stitch_files: the %s engine is not available\n", engineKind.c_str());
        PrintFailedStatus(files.size());
        return 1;
    }
    engine->Initialize(&host, nullptr, nullptr);
    engine->Set_IProgressIndicator(&progress);

    PanoramaLib::PanoramaOptions options;
    engine->GetOptions(&options);
    if (!ApplyOptions(options, model, lens, surface, cyclorama)) {
        engine->Release();  // an engine left alive keeps its render thread waiting at exit
        return Usage();
    }
    engine->SetOptions(options);

    // The photos are decoded on several threads (each element on one), then checked in
    // input order.
    std::vector<PanoramaLib::IPanoElement*> photos;
    for (std::size_t i = 0; i < files.size(); ++i)
        photos.push_back(PanoramaLib::CreateDibObject(false));
    std::vector<std::wstring> paths;
    for (const std::string& f : files)
        paths.push_back(FromLocal(f).toStdWString());
    std::vector<char> read(files.size(), 0);
    Utils::ParallelForEach(files.size(), 0, [&](std::size_t i) {
        read[i] = photos[i] && photos[i]->FromFile(paths[i]);
    });
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (read[i])
            continue;
        PanoramaLib::IPanoElement* e = photos[i];
        const QString why = e ? QString::fromStdWString(e->GetErrorMessage()) : QStringLiteral("out of memory");
        std::fprintf(stderr, "stitch_files: cannot read %s: %s\n", files[i].c_str(), why.toLocal8Bit().constData());
        PanoramaLib::FreePictureCollection(photos);
        engine->Release();
        PrintFailedStatus(files.size());
        return 1;
    }

    const auto buildStart = std::chrono::steady_clock::now();
    const bool built = engine->BuildPanorama(photos, nullptr, 0, 0, 0);
    const double buildSeconds = Seconds(buildStart);
    if (progress.m_cancelledAt >= 0)
        std::fprintf(stderr, "\nstitch_files: cancelled at t=%.3f s, the build ended %.3f s later\n",
                     progress.m_cancelledAt, progress.Elapsed() - progress.m_cancelledAt);
    const PanoramaLib::PanoramaStatus* status = engine->GetPanoramaStatus();

    double renderSeconds = 0;
    bool rendered = false;
    if (built && !previewOnly) {
        const auto renderStart = std::chrono::steady_clock::now();
        rendered = hv ? hv->RenderPanorama() : tiled->RenderPanorama(0, 0, 0);
        renderSeconds = Seconds(renderStart);
    }
    PanoramaLib::IPanoElement* preview = engine->GetPanoramaPreview(false);
    PanoramaLib::IPanoElement* result = engine->GetPanoramaImage();
    PanoramaLib::IPanoElement* toSave = rendered ? result : preview;

    bool saved = false;
    if (built && toSave && toSave->HasBits()) {
        auto* dib = static_cast<PanoramaLib::QtDibImpl*>(toSave->GetDib()->QueryObject(PanoramaLib::kQueryDibImpl));
        saved = dib && dib->save(QString::fromLocal8Bit(out.c_str()).toStdWString(), true, 90, nullptr);
        if (!saved)
            std::fprintf(stderr, "stitch_files: cannot write %s\n", out.c_str());
    }
    const auto size = [](PanoramaLib::IPanoElement* e) {
        return e && e->HasBits() ? std::to_string(e->GetWidth()) + "x" + std::to_string(e->GetHeight())
                                 : std::string("0x0");
    };
    if (!status->reason.empty())
        std::fprintf(stderr, "stitch_files: %s\n", status->reason.c_str());
    std::printf("status=%d photos=%zu unmatched=%zu preview=%s result=%s build_s=%.3f render_s=%.3f\n",
                status->nStatus, photos.size(), status->unmatchedImages.size(), size(preview).c_str(),
                size(rendered ? result : nullptr).c_str(), buildSeconds, renderSeconds);
    const bool ok = built && saved && (previewOnly || rendered);
    PanoramaLib::FreePictureCollection(photos);
    engine->Release();
    return ok ? 0 : 1;
}
