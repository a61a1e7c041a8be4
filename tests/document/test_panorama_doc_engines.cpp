// The document driving the real engines headless: four generated photos stitched with
// each engine, rendered, cropped and saved as JPEG and as raw and compressed TIFF; and
// the proof that an H/V build starts only after the tiled render worker has let go of
// the photos.
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QTemporaryDir>

#include "engine/tiled/panorama.h"
#include "tests/document/doc_fixture.h"

using namespace doctest;

namespace {

const vltest::Scene& SharedScene()
{
    static const vltest::Scene scene(vltest::smallSceneOptions(31));
    return scene;
}

// A row of four overlapping photos of a plane (H/V) or from a turning camera (tiled).
const vltest::PhotoSet& RowOfFour(bool camera)
{
    static const vltest::PhotoSet strip = [] {
        vltest::StripOptions o;
        o.count = 4, o.width = 320, o.height = 240, o.overlap = 0.4;
        return vltest::makeStripPhotoSet(SharedScene(), o);
    }();
    static const vltest::PhotoSet mosaic = [] {
        vltest::MosaicOptions o;
        o.rows = 1, o.cols = 4, o.width = 320, o.height = 240, o.overlap = 0.35;
        return vltest::makeMosaicPhotoSet(SharedScene(), o);
    }();
    return camera ? mosaic : strip;
}

}  // namespace

class PanoramaDocEngines : public DocTest {
public:
    void WireReal(bool tiled, bool realHV = true)
    {
        engines.realHV = realHV;
        engines.realTiled = true;
        Wire();
        if (auto* engine = dynamic_cast<Tiled_Panorama::CPanorama*>(doc->tiledPanorama()))
            engine->SetRenderThreads(2);
        tray.files.clear();
        for (const QString& p : RowOfFour(tiled).paths)
            tray.files.push_back(p.toStdWString());
        doc->setCurPanoramaType(tiled);
        doc->setTaskMode(TaskMode::TaskStitch);
        ASSERT_EQ(doc->images().size(), 4u);
    }
};

TEST_F(PanoramaDocEngines, BothEnginesStitchRenderCropAndSave)
{
    QTemporaryDir out;
    for (const bool tiled : {false, true}) {
        SCOPED_TRACE(tiled ? "tiled" : "horizontal/vertical");
        WireReal(tiled);
        ASSERT_TRUE(doc->onBtnStitch());
        ASSERT_NE(doc->GetPanorama(), nullptr);
        EXPECT_EQ(std::pair(doc->enableBtnRender(), doc->enableGeoOptions()), std::pair(true, tiled));
        if (tiled) {
            doc->setRenderSurface(PanoramaLib::SurfaceSpherical, 0, 4, 0, false, false);
            EXPECT_TRUE(doc->GetPanorama()->HasBits());
        }

        // The user pulls the crop frame a quarter of its size inwards.
        doc->setCropFlag(1);
        doc->setTaskMode(TaskMode::TaskExport);
        ASSERT_TRUE(frame.shown);
        VarnoBase::Rect r = frame.rect;
        ASSERT_FALSE(r.isEmpty());
        r.inflate(-r.width() / 8, -r.height() / 8);
        frame.rect = r;
        ASSERT_TRUE(doc->onBtnRender());
        PanoramaLib::IPanoElement* result = doc->GetPanorama();
        ASSERT_TRUE(result && result->HasBits());
        const double aspect = double(result->GetWidth()) / result->GetHeight();
        EXPECT_NEAR(aspect / (double(r.width()) / r.height()), 1.0, 0.03);
        EXPECT_TRUE(!frame.shown && doc->enableBtnSave() && !doc->printPanoramaInfo().isEmpty());

        const QString base = out.filePath(tiled ? "tiled" : "hv");
        ASSERT_TRUE(doc->doPanoramaSave((base + ".jpg").toStdWString()));
        EXPECT_EQ(QImageReader(base + ".jpg").size(), QSize(result->GetWidth(), result->GetHeight()));
        // Uncompressed, the TIFF holds every pixel's three bytes; compressed, another count.
        qint64 sizes[2];
        for (const bool compress : {false, true}) {
            doc->m_compressTiff = compress;
            const QString tif = base + (compress ? "-lzw.tif" : "-raw.tif");
            ASSERT_TRUE(doc->doPanoramaSave(tif.toStdWString()));
            EXPECT_EQ(QImageReader(tif).size(), QSize(result->GetWidth(), result->GetHeight()));
            sizes[compress] = QFileInfo(tif).size();
        }
        EXPECT_GE(sizes[0], qint64(result->GetWidth()) * result->GetHeight() * 3);
        EXPECT_NE(sizes[1], sizes[0]);
        doc.reset();
    }
}

// A failed save answers why and leaves the file it would have replaced alone.
TEST_F(PanoramaDocEngines, FailedSaveKeepsTheOldFile)
{
    WireReal(false);
    ASSERT_TRUE(doc->onBtnStitch());
    ASSERT_TRUE(doc->onBtnRender());
    QTemporaryDir out;
    const QString old = out.filePath("result.xyz");
    QFile f(old);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("old contents") == 12);
    f.close();
    log.Clear();
    QString reason;
    EXPECT_FALSE(doc->doPanoramaSave(L"", &reason) || reason.isEmpty());
    EXPECT_FALSE(doc->doPanoramaSave(old.toStdWString(), &reason));
    EXPECT_TRUE(reason.contains("xyz"));
    EXPECT_FALSE(doc->doPanoramaSave(out.filePath("no/such/folder/result.png").toStdWString(), &reason));
    EXPECT_TRUE(reason.contains("could not be written"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("old contents"));
    EXPECT_FALSE(log.Contains("setModifiedFlag"));
}

// The tiled render worker samples the same photo elements an H/V build loads and unloads:
// the build may start only when the worker has let go of them. A slow background job
// is running when Stitch is pressed; inside the build every photo must be held by the
// document alone.
TEST_F(PanoramaDocEngines, HVBuildStartsOnlyAfterTheTiledWorkerLetGoOfThePhotos)
{
    WireReal(true, false);
    auto* tiled = dynamic_cast<Tiled_Panorama::CPanorama*>(doc->tiledPanorama());
    ASSERT_TRUE(doc->onBtnStitch());

    tiled->m_renderThread.m_scale = 150.0;  // a job long enough to be caught running
    const std::size_t before = window.AsyncUpdateCount();
    doc->setRenderSurface(PanoramaLib::SurfaceSpherical, 0, 0, 0, true, false);
    ASSERT_TRUE(window.WaitForAsyncUpdates(before + 1));  // the job is past its first part

    std::vector<long> counts;
    Hv().script.onBuild = [&](const std::vector<PanoramaLib::IPanoElement*>& photos) {
        for (PanoramaLib::IPanoElement* e : photos)
            counts.push_back(static_cast<CPanoElement*>(e)->RefCount());
    };
    doc->setCurPanoramaType(false);
    ASSERT_TRUE(doc->onBtnStitch());
    EXPECT_EQ(counts, std::vector<long>(4, 1));
    EXPECT_EQ(tiled->m_renderThread.GetPano(), nullptr);  // nothing of the old job survives
}
