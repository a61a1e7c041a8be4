// The document's commands: task switches, the three kinds of build with the reaction to
// each build outcome, the full-size render with the user's crop (scaled from preview to
// full-size pixels), and the save. Like the engine facades this file only calls the
// engines in order; no pixel is computed here. UI thread only, synchronous, behind the
// engines' progress dialog.
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <list>

#include "core/dib.h"
#include "document/panorama_doc.h"

namespace {

bool hasBits(const PanoramaLib::IPanoElement* e)
{
    return e && e->HasBits();
}

}  // namespace

// ---------------------------------------------------------------------------------
// Task mode

void PanoramaDoc::setTaskMode(TaskMode mode)
{
    if (mode == m_taskMode)
        return;
    activateCropping(m_cropMode > 0 && mode == TaskMode::TaskExport, true);
    if (mode == TaskMode::TaskStitch) {
        updateAllViews(1);
        verifyPictureCollection();
        updateStitchingDialog();
    } else if (mode == TaskMode::TaskExport) {
        updateExportDialog();
    }
    m_taskMode = mode;
    if (!m_manualMode && mode != TaskMode::TaskAddImages)
        updateAllViews(4);
}

// ---------------------------------------------------------------------------------
// Builds

bool PanoramaDoc::onBtnStitch()
{
    const bool ok = createPanorama(!m_selectedTiled);
    if (ok && m_taskMode == TaskMode::TaskExport) {
        activateCropping(m_cropMode > 0, true);
        updateExportDialog();
    }
    return ok;
}

bool PanoramaDoc::createPanorama(bool horizontalVertical)
{
    if (m_images.size() < 2 || !m_pHVPanorama || !m_pTiledPanorama)
        return false;
    updateAllViews(2);
    m_builtTiled = !horizontalVertical;
    bool ok = false;
    if (!horizontalVertical) {
        ok = createTiledPanorama();
    } else if (m_manualMode) {
        ok = createPanoramaManually();
    } else {
        ok = createPanoramaAutomatically();
        if (!ok && m_retryManually)
            ok = createPanoramaManually();
    }
    updateAllViews(3);
    m_rebuildCropRect = false;
    return ok;
}

bool PanoramaDoc::readyToBuild()
{
    if (!verifyDifferentImagesSizes())
        return false;
    if (m_pUserInterface)
        m_pUserInterface->UpdateUserWndInterface();
    return m_pDocument && m_pDocument->numImages() >= 2 && m_images.size() >= 2;
}

void PanoramaDoc::setBuildCrop(PanoramaLib::IPanorama* engine, bool crop)
{
    PanoramaLib::PanoramaOptions o;
    engine->GetOptions(&o);
    o.bAutoCrop = crop;
    engine->SetOptions(o);
}

void PanoramaDoc::takeCropRectFrom(PanoramaLib::IPanorama* engine, bool updateView)
{
    m_frameCrop = m_cropRect = engine->GetCropRect(false);
    if (m_pCropRect)
        m_pCropRect->SetCropRect(m_cropRect);
    if (updateView)
        updatePictureView();
}

bool PanoramaDoc::askAboutUnmatched(const PanoramaLib::PanoramaStatus& status)
{
    // The ring's duplicate of the first photo is reported with the index of the photo
    // count: only indices of the build's photo vector name a photo.
    std::list<std::wstring> paths;
    for (int index : status.unmatchedImages)
        if (index >= 0 && static_cast<std::size_t>(index) < m_images.size() && m_images[index])
            paths.push_back(m_images[index]->GetPathName());
    if (paths.empty())
        return true;
    if (!m_pUserInterface)
        return false;
    m_pUserInterface->HighlightImages(paths, true);
    const bool accepted = m_pUserInterface->PromptAcceptPanorama(static_cast<int>(paths.size()), status.nImages);
    m_pUserInterface->HighlightImages(paths, false);
    return accepted;
}

bool PanoramaDoc::createPanoramaAutomatically()
{
    m_retryManually = false;
    if (!readyToBuild())
        return false;
    // Only one engine holds a result at a time; Free also waits until the tiled render
    // worker has stopped sampling the photos this build is about to load and unload.
    m_pTiledPanorama->Free(true, true);
    setBuildCrop(m_pHVPanorama, false);  // cropping happens at render time
    const bool ok = m_pHVPanorama->BuildPanorama(m_images, &m_thumbnails, m_angleX, m_angleY, m_angleZ);
    takeCropRectFrom(m_pHVPanorama);

    if (const PanoramaLib::PanoramaStatus* status = m_pHVPanorama->GetPanoramaStatus()) {
        switch (status->nStatus) {
        case PanoramaLib::kStatusNoOverlap:
            if (m_pUserInterface)
                m_pUserInterface->ShowMessageBox(kMsgNoOverlapHV);
            m_retryManually = true;
            setManualMatchingMode(true);
            break;
        case PanoramaLib::kStatusBuilt:
            if (!askAboutUnmatched(*status))
                setManualMatchingMode(true);
            break;
        case PanoramaLib::kStatusRingNotClosed:
            if (!m_pUserInterface || !m_pUserInterface->PromptAcceptCyclorama())
                setManualMatchingMode(true);
            break;
        default:
            break;
        }
    }
    updateStitchingDialog();
    return ok;
}

bool PanoramaDoc::createPanoramaManually()
{
    if (!readyToBuild())
        return false;
    m_pTiledPanorama->Free(true, true);
    setBuildCrop(m_pHVPanorama, false);
    const bool ok = m_pHVPanorama->BuildPanoramaManually(m_images, &m_thumbnails, m_matchAllPairs);
    m_cropRect = m_pHVPanorama->GetCropRect(false);
    if (m_pCropRect)
        m_pCropRect->SetCropRect(m_cropRect);
    updateStitchingDialog();
    updatePictureView();
    m_rebuildCropRect = false;
    return ok;
}

bool PanoramaDoc::createTiledPanorama()
{
    m_retryManually = false;
    if (!readyToBuild())
        return false;
    m_pHVPanorama->Free(true, true);
    setBuildCrop(m_pTiledPanorama, false);
    const bool ok = m_pTiledPanorama->BuildPanorama(m_images, &m_thumbnails, m_angleX, m_angleY, m_angleZ);
    takeCropRectFrom(m_pTiledPanorama);
    // The geometry tool passes m_surface on: it must name the surface just built on.
    PanoramaLib::PanoramaOptions used;
    m_pTiledPanorama->GetOptions(&used);
    m_surface = used.surfaceType;

    if (const PanoramaLib::PanoramaStatus* status = m_pTiledPanorama->GetPanoramaStatus()) {
        if (status->nStatus == PanoramaLib::kStatusNoOverlap) {
            if (m_pUserInterface)
                m_pUserInterface->ShowMessageBox(kMsgNoOverlapTiled);  // no manual retry for tiled
        } else if (status->nStatus == PanoramaLib::kStatusBuilt) {
            askAboutUnmatched(*status);  // the answer changes nothing
        }
    }
    updateStitchingDialog();
    return ok;
}

// ---------------------------------------------------------------------------------
// Full-size render

bool PanoramaDoc::cropRenderedResult(const VarnoBase::Rect& frame, int w0)
{
    PanoramaLib::IPanoElement* image = m_pHVPanorama->GetPanoramaImage();
    if (!hasBits(image) || w0 <= 0 || frame.isEmpty())
        return false;
    // Preview to full size by the ratio of the widths, for both axes; 64-bit products,
    // then clipped to the rendered image so a frame on an edge cannot reach past it.
    const VarnoBase::Rect bounds = image->GetImageRect();
    const std::int64_t W = bounds.width();
    auto scaled = [&](int v, int lo, int hi) {
        const std::int64_t s = static_cast<std::int64_t>(v) * W / w0;
        return static_cast<int>(std::clamp<std::int64_t>(s, lo, hi));
    };
    const VarnoBase::Rect r(scaled(frame.left, bounds.left, bounds.right), scaled(frame.top, bounds.top, bounds.bottom),
                            scaled(frame.right, bounds.left, bounds.right),
                            scaled(frame.bottom, bounds.top, bounds.bottom));
    if (r.isEmpty())
        return false;
    return m_pHVPanorama->CropPanorama(r);
}

bool PanoramaDoc::onBtnRender()
{
    PanoramaLib::IPanorama* engine = builtEngine();
    if (!engine)
        return false;
    if (m_pCropRect)
        m_pCropRect->GetCropRect(&m_cropRect);

    // The engine crops by itself unless the user moved the frame away from its crop.
    bool engineCrop = m_cropMode > 0;
    VarnoBase::Rect r = engine->GetCropRect(false);
    int w0 = 0;
    if (m_cropMode > 0 && r != m_cropRect) {
        r = m_cropRect;
        const PanoramaLib::IPanoElement* preview = engine->GetPanoramaPreview(true);
        w0 = preview ? preview->GetImageRect().width() : 0;
        engineCrop = false;
    }

    bool ok = false;
    bool cropFailed = false;
    if (!m_builtTiled) {
        setBuildCrop(m_pHVPanorama, engineCrop);
        const bool userCrop = m_cropMode > 0 && !engineCrop;
        // The engine lets its preview go once the result is rendered: a copy brings it
        // back, with the frame over it, should the crop fail.
        VarnoBase::RefPtr<PanoramaLib::IPanoElement> preview;
        if (userCrop && hasBits(engine->GetPanoramaPreview(false)))
            preview.Adopt(engine->GetPanoramaPreview(false)->CopyImage());
        ok = m_pHVPanorama->RenderPanorama();
        // An uncropped result is never passed off as the cropped one asked for.
        if (ok && userCrop && !cropRenderedResult(r, w0)) {
            ok = false;
            cropFailed = true;
            backToPreview(preview.get());
        }
    } else {
        setBuildCrop(m_pTiledPanorama, m_cropMode > 0);
        if (m_cropMode > 0)
            m_pTiledPanorama->SetCropRect(r);
        const VarnoBase::Rect before = m_pTiledPanorama->GetCropRect(false);
        ok = m_pTiledPanorama->RenderPanorama(m_angleX, m_angleY, m_angleZ);
        // Cancelled after this view's preview was rendered first, the engine keeps that
        // preview and its crop: the frame takes it now, as its (1, 1) would a pass later.
        if (!ok)
            takeNewTiledCrop(before, false);
    }

    if (ok) {
        if (const PanoramaLib::IPanoElement* image = engine->GetPanoramaImage())
            m_horizontalPrint = image->GetWidth() > image->GetHeight();
        if (m_pDocument)
            m_pDocument->setModifiedFlag(false);
        activateCropping(false, false);
    }
    updateExportDialog();
    updatePictureView();
    if (cropFailed && m_pUserInterface)
        m_pUserInterface->ShowMessageBox(kMsgCannotCrop);
    return ok;
}

void PanoramaDoc::backToPreview(PanoramaLib::IPanoElement* savedPreview)
{
    // Without pixels the result is a render still to be made: Render is offered again,
    // Save and Print are not.
    if (PanoramaLib::IPanoElement* image = m_pHVPanorama->GetPanoramaImage())
        image->FreeImage();
    PanoramaLib::IPanoElement* preview = m_pHVPanorama->GetPanoramaPreview(false);
    if (savedPreview && preview && !preview->HasBits() &&
        preview->CreateImage(savedPreview->GetBPP(), savedPreview->GetWidth(), savedPreview->GetHeight()))
        savedPreview->CopyImage(preview);
}

// ---------------------------------------------------------------------------------
// Save

bool PanoramaDoc::isSourcePhoto(const std::wstring& path) const
{
    std::list<std::wstring> photos;
    if (m_pDocument)
        m_pDocument->getFiles(photos);
    for (const PanoramaLib::IPanoElement* e : m_images)
        if (e)
            photos.push_back(e->GetPathName());
    // The file system's own bytes, so that no name is converted on the way; the same
    // file (device and inode) whatever the spelling. A target that does not exist is none.
    auto native = [](const std::wstring& p) {
        return std::filesystem::path(QFile::encodeName(QString::fromStdWString(p)).toStdString());
    };
    const std::filesystem::path target = native(path);
    return std::any_of(photos.begin(), photos.end(), [&](const std::wstring& photo) {
        std::error_code ec;
        return std::filesystem::equivalent(target, native(photo), ec);
    });
}

bool PanoramaDoc::doPanoramaSave(const std::wstring& path, QString* reason,
                                  const std::function<bool(const std::function<bool()>&)>& runWrite)
{
    WaitCursor busy;
    auto refuse = [reason](const QString& why) {
        if (reason)
            *reason = why;
        return false;
    };
    if (path.empty())
        return refuse(tr("No file name was given."));
    if (isSourcePhoto(path))
        return refuse(tr("\"%1\" is one of the panorama's photos.").arg(QString::fromStdWString(path)));
    const PanoramaLib::IPanorama* engine = builtEngine();
    PanoramaLib::IPanoElement* image = engine ? engine->GetPanoramaImage() : nullptr;
    if (!hasBits(image))
        return refuse(tr("There is no rendered panorama to save."));
    if (m_pUserInterface)
        m_pUserInterface->UpdateUserWndInterface();

    PanoramaLib::IDib* dib = image->GetDib();
    auto* store = dib ? static_cast<PanoramaLib::QtDibImpl*>(dib->QueryObject(2)) : nullptr;
    if (!store)
        return refuse(tr("The panorama's pixels cannot be written."));
    const QString file = QString::fromStdWString(path);
    QByteArray format = QFileInfo(file).suffix().toLower().toLatin1();
    if (format == "tif")
        format = "tiff";
    if (format.isEmpty() || !QImageWriter::supportedImageFormats().contains(format))
        return refuse(tr("The file type \"%1\" is not supported.").arg(QFileInfo(file).suffix()));
    // The store writes beside the target and replaces it only when complete.
    const auto write = [&] { return store->save(path, m_compressTiff, m_jpegQuality, nullptr); };
    if (!(runWrite ? runWrite(write) : write()))
        return refuse(tr("The file \"%1\" could not be written.").arg(file));
    if (m_pDocument)
        m_pDocument->setModifiedFlag(false);
    return true;
}
