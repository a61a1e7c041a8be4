// The document's photo collection: bringing m_images / m_thumbnails in line with the
// picture tray (reuse by exact path, load new files behind a progress dialog without a
// cancel button, drop what fails), refusing photos of an odd size, and the tray's veto
// with the list-change warning. UI thread only. Each collection entry holds one
// reference; a photo is kept unloaded between builds (the engines reload it).
#include <algorithm>
#include <utility>

#include "core/pano_element.h"
#include "document/dlg_about_to_change.h"
#include "document/panorama_doc.h"

namespace {

bool hasBits(const PanoramaLib::IPanoElement* e)
{
    return e && e->HasBits();
}

void releaseAndClear(PanoramaLib::IPanoElement*& e)
{
    if (e)
        e->Release();
    e = nullptr;
}

}  // namespace

PanoramaLib::IPanoElement* PanoramaDoc::importPicture(std::wstring path, bool showError)
{
    int index = 0;
    if (_Find_ImageFile(path, m_images, &index))
        return nullptr;
    PanoramaLib::IPanoElement* element = PanoramaLib::CreateDibObject(false);
    if (!element)
        return nullptr;
    if (element->FromFile(path))
        return element;
    element->Release();
    if (showError && m_pUserInterface)
        m_pUserInterface->ShowMessageBox(kMsgCannotLoad);
    return nullptr;
}

bool PanoramaDoc::findFile(std::wstring path) const
{
    return m_pDocument && m_pDocument->findFile(std::move(path));
}

PanoramaLib::IPanoElement* PanoramaDoc::_Find_ImageFile(const std::wstring& path,
                                                        const std::vector<PanoramaLib::IPanoElement*>& elements,
                                                        int* index)
{
    for (std::size_t i = 0; i < elements.size(); ++i) {
        if (elements[i] && elements[i]->GetPathName() == path) {
            if (index)
                *index = static_cast<int>(i);
            return elements[i];
        }
    }
    return nullptr;
}

void PanoramaDoc::verifyPictureCollection()
{
    m_verifying = true;
    std::list<std::wstring> files;
    if (m_pDocument)
        m_pDocument->getFiles(files);

    // Drop what left the tray.
    for (std::size_t i = 0; i < m_images.size(); ++i) {
        if (m_images[i] && !findFile(m_images[i]->GetPathName())) {
            releaseAndClear(m_images[i]);
            if (i < m_thumbnails.size())
                releaseAndClear(m_thumbnails[i]);
        }
    }

    // Keep what is held, in tray order; note what must be loaded.
    const std::size_t n = files.size();
    std::vector<PanoramaLib::IPanoElement*> images(n, nullptr);
    std::vector<PanoramaLib::IPanoElement*> thumbnails(n, nullptr);
    std::vector<std::pair<std::wstring, std::size_t>> missing;
    std::size_t k = 0;
    for (const std::wstring& path : files) {
        int i = 0;
        if (PanoramaLib::IPanoElement* held = _Find_ImageFile(path, m_images, &i)) {
            held->AddRef();
            images[k] = held;
            if (static_cast<std::size_t>(i) < m_thumbnails.size() && m_thumbnails[i]) {
                m_thumbnails[i]->AddRef();
                thumbnails[k] = m_thumbnails[i];
            }
        } else {
            missing.emplace_back(path, k);
        }
        ++k;
    }
    PanoramaLib::FreePictureCollection(m_images);
    PanoramaLib::FreePictureCollection(m_thumbnails);

    // Load the new files; a path that stands twice on the tray shares one element.
    std::vector<std::size_t> failed;
    std::vector<std::wstring> failedPaths;  // one message per file, also when it stands twice
    if (!missing.empty() && m_pProgress)
        m_pProgress->OpenProgressIndicatorWOAbort();
    const int total = static_cast<int>(missing.size());
    for (int j = 0; j < total; ++j) {
        const auto& [path, position] = missing[static_cast<std::size_t>(j)];
        int first = 0;
        if (PanoramaLib::IPanoElement* loaded = _Find_ImageFile(path, images, &first)) {
            loaded->AddRef();
            images[position] = loaded;
            if (thumbnails[first]) {
                thumbnails[first]->AddRef();
                thumbnails[position] = thumbnails[first];
            }
            continue;
        }
        if (std::find(failedPaths.begin(), failedPaths.end(), path) != failedPaths.end()) {
            failed.push_back(position);
            continue;
        }
        if (m_pProgress) {
            m_pProgress->SetProgressCaption(PanoramaLib::kCaptionLoadingImages, path);
            m_pProgress->AbortProgressIndicator(total, j + 1);  // no cancel button: the answer is moot
        }
        if (m_pUserInterface)
            m_pUserInterface->UpdateUserWndInterface();
        PanoramaLib::IPanoElement* element = importPicture(path, true);
        if (!element) {
            failed.push_back(position);
            failedPaths.push_back(path);
            continue;
        }
        images[position] = element;
        PanoramaLib::IPanoElement* small = m_pHVPanorama ? m_pHVPanorama->CreateImageThumbnail(element) : nullptr;
        // A photo no larger than a working copy is its own copy: unloading it below
        // would hand the engine an empty one, so the engine makes its own at build time.
        if (small == element) {
            small->Release();
            small = nullptr;
        }
        thumbnails[position] = small;
        element->Unload();
    }
    if (!missing.empty() && m_pProgress)
        m_pProgress->CloseProgressIndicator();

    // Failed files leave the collection (they stay on the tray); positions were noted in
    // increasing order, so erasing from the back keeps the earlier ones valid.
    for (auto it = failed.rbegin(); it != failed.rend(); ++it) {
        releaseAndClear(images[*it]);
        releaseAndClear(thumbnails[*it]);
        images.erase(images.begin() + static_cast<std::ptrdiff_t>(*it));
        thumbnails.erase(thumbnails.begin() + static_cast<std::ptrdiff_t>(*it));
    }

    m_images = std::move(images);
    m_thumbnails = std::move(thumbnails);
    m_verifying = false;
    updateAllViews(1);
}

bool PanoramaDoc::verifyDifferentImagesSizes()
{
    // Count sizes in photo order; a tie goes to the size that reached the count first.
    std::vector<std::pair<VarnoBase::Size, int>> sizes;
    std::size_t best = 0;
    for (const PanoramaLib::IPanoElement* e : m_images) {
        if (!e)
            continue;
        const VarnoBase::Size s = e->GetImageSize();
        auto it = std::find_if(sizes.begin(), sizes.end(), [&](const auto& entry) { return entry.first == s; });
        if (it == sizes.end()) {
            sizes.emplace_back(s, 1);
            continue;
        }
        ++it->second;
        if (it->second > sizes[best].second)
            best = static_cast<std::size_t>(it - sizes.begin());
    }
    if (sizes.size() <= 1)
        return true;

    // The best size turned by 90 degrees is kept too.
    const VarnoBase::Size keep = sizes[best].first;
    std::list<std::wstring> odd;
    for (const PanoramaLib::IPanoElement* e : m_images) {
        if (!e)
            continue;
        const VarnoBase::Size s = e->GetImageSize();
        const bool same = (s.cx == keep.cx && s.cy == keep.cy) || (s.cx == keep.cy && s.cy == keep.cx);
        if (!same)
            odd.push_back(e->GetPathName());
    }
    if (odd.empty())
        return true;

    if (m_pUserInterface) {
        m_pUserInterface->HighlightImages(odd, true);
        m_pUserInterface->ShowMessageBox(kMsgDifferentSizes);
    }
    if (m_pDocument)
        m_pDocument->removeImages(odd);
    verifyPictureCollection();
    updateStitchingDialog();
    return false;
}

bool PanoramaDoc::continueModification(const QStringList* added, const QStringList* removed, bool force)
{
    bool modified = false;
    if (!m_images.empty()) {
        if (!added && !removed) {
            modified = true;
        } else {
            int index = 0;
            if (removed)
                for (const QString& path : *removed)
                    if (_Find_ImageFile(path.toStdWString(), m_images, &index)) {
                        modified = true;
                        break;
                    }
            if (!modified && added)
                for (const QString& path : *added)
                    if (!_Find_ImageFile(path.toStdWString(), m_images, &index)) {
                        modified = true;
                        break;
                    }
        }
    }

    const PanoramaLib::IPanorama* engine = builtEngine();
    const bool hasResult =
        engine && (hasBits(engine->GetPanoramaImage()) || hasBits(engine->GetPanoramaPreview(true)));
    const bool warn = !m_listChanged && (modified || force) && hasResult && !m_images.empty();
    if (!warn)
        return true;
    if (askAboutSrcPhotoListChanging() == 0)
        return false;
    m_listChanged = true;
    return true;
}

int PanoramaDoc::askAboutSrcPhotoListChanging()
{
    if (m_dontShowWarning)
        return 1;
    bool dontShow = false;
    const int answer = runAboutToChangeDialog(dontShow);
    m_dontShowWarning = dontShow;
    return answer;
}

int PanoramaDoc::runAboutToChangeDialog(bool& dontShow)
{
    dlgAboutToChangeMessage dialog;
    const int result = dialog.exec();
    dontShow = dialog.dontShowFlg();
    return result == QDialog::Accepted ? 1 : 0;
}

void PanoramaDoc::freePanorama()
{
    if (!m_listChanged)
        return;
    m_listChanged = false;
    if (m_pHVPanorama)
        m_pHVPanorama->FreePanoramaImages();
    if (m_pTiledPanorama)
        m_pTiledPanorama->FreePanoramaImages();
    if (m_pDocument)
        m_pDocument->setModifiedFlag(false);
    if (m_taskMode == TaskMode::TaskStitch)
        updateStitchingDialog();
    else if (m_taskMode == TaskMode::TaskExport)
        updateExportDialog();
    updatePictureView();
}
