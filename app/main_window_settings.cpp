// The main window's stored settings: groups "application" (geometry, folder, history,
// status bar, thumbnail size, view and sort modes), "options" (print units and markers,
// TIFF compression, JPEG quality), "stitching" (the Stitch panel's two option blocks) and
// "panorama" (crop, manual matching, the photo-list warning). Read once while the window
// is built, written once when it is destroyed.
//
// A stored value is trusted no further than the store: one out of its range (edited by
// hand, or written by another version) falls back to its default or is clamped, so no
// index array and no engine ever sees it. GUI thread only.
#include <QAction>
#include <QComboBox>
#include <QFileInfo>
#include <QTreeView>

#include "app/main_window.h"
#include "browser/browser_models.h"
#include "update/settings_store.h"
#include "ui_main_window.h"

namespace {

constexpr int kHistoryEntries = 20;
constexpr int kLensTypes = 10;  // entries of the focal-length list

// "history-" then nine '0' then the character whose code is the entry's number.
QString historyKey(int entry)
{
    return QStringLiteral("history-%1").arg(QChar(entry), 10, QLatin1Char('0'));
}

QString sortOrderKey(int mode) { return QStringLiteral("sort-order-%1").arg(mode); }

// An index 0..count-1; anything else (not a number, out of range) gives the default.
int storedIndex(const QSettings& s, const QString& key, int fallback, int count)
{
    bool ok = false;
    const int v = s.value(key, fallback).toInt(&ok);
    return ok && v >= 0 && v < count ? v : fallback;
}

// A number brought into lo..hi; not a number gives the default.
int storedClamped(const QSettings& s, const QString& key, int fallback, int lo, int hi)
{
    bool ok = false;
    const int v = s.value(key, fallback).toInt(&ok);
    return ok ? std::clamp(v, lo, hi) : fallback;
}

// A boolean as Qt writes it ("true"/"false", or 1/0); anything else gives the default.
bool storedBool(const QSettings& s, const QString& key, bool fallback)
{
    const QString v = s.value(key).toString().trimmed().toLower();
    if (v == QLatin1String("true") || v == QLatin1String("1"))
        return true;
    if (v == QLatin1String("false") || v == QLatin1String("0"))
        return false;
    return fallback;
}

}  // namespace

void MainWindow::loadSettings()
{
    SettingsStore s;
    s.beginGroup(QStringLiteral("application"));
    if (!restoreGeometry(s.value(QStringLiteral("geometry")).toByteArray()))
        setWindowState(Qt::WindowMaximized);
    QString currentPath = s.value(QStringLiteral("currentPath")).toString();
    if (currentPath.isEmpty())
        currentPath = QDir::homePath();
    for (int i = 0; i < kHistoryEntries; ++i) {
        const QString folder = s.value(historyKey(i), QStringLiteral(":")).toString();
        if (folder == QLatin1String(":"))
            break;
        if (QFileInfo(folder).isDir())
            ui->cmbVisitedFolders->addItem(folder);
    }
    // A folder that is gone leaves the tree without a current folder and the file views
    // on their initial root, and says nothing.
    showFolder(currentPath);
    showStatusBar(storedBool(s, QStringLiteral("status-bar"), true));
    m_thumbSizeValue = storedClamped(s, QStringLiteral("thumbnails-size"), 50, 0, 100);
    updateThumbsSizes(true);
    setViewMode(storedIndex(s, QStringLiteral("view-mode"), 0, 3));
    setSortMode(storedIndex(s, QStringLiteral("sort-mode"), 0, 5), true);
    for (int mode = 0; mode < 5; ++mode)
        m_sortOrder[mode] = storedIndex(s, sortOrderKey(mode), Qt::AscendingOrder, 2);
    updateSortMode();
    s.endGroup();

    s.beginGroup(QStringLiteral("options"));
    m_unitsInch = storedBool(s, QStringLiteral("units"), m_unitsInch);
    m_printMarkers = storedBool(s, QStringLiteral("print_markers"), m_printMarkers);
    m_doc.m_compressTiff = storedBool(s, QStringLiteral("lsz_comp"), m_doc.m_compressTiff);
    m_doc.m_jpegQuality = storedClamped(s, QStringLiteral("jpg_quality"), 75, 0, 100);
    s.endGroup();

    s.beginGroup(QStringLiteral("stitching"));
    m_horzVert = storedBool(s, QStringLiteral("HorzVert"), m_horzVert);
    m_hvOptions.motionModel = PanoramaLib::MotionModel(
        storedIndex(s, QStringLiteral("motion-model"), PanoramaLib::MotionTranslate, 3));
    m_hvOptions.bLensCompensation = storedBool(s, QStringLiteral("lens-dist"), m_hvOptions.bLensCompensation);
    m_hvOptions.nLensType = storedIndex(s, QStringLiteral("lens-type"), 7, kLensTypes);
    m_hvOptions.bCyclorama = storedBool(s, QStringLiteral("cyclorama"), m_hvOptions.bCyclorama);
    m_tiledOptions.bLensCompensation =
        storedBool(s, QStringLiteral("lens-dist-tl"), m_tiledOptions.bLensCompensation);
    m_tiledOptions.nLensPolynomial = storedIndex(s, QStringLiteral("ld-poltype-tl"), 0, 2);
    m_tiledOptions.surfaceType = PanoramaLib::SurfaceRenderingType(
        storedIndex(s, QStringLiteral("surface_tl"), PanoramaLib::SurfaceCylindrical, 2));
    s.endGroup();

    s.beginGroup(QStringLiteral("panorama"));
    m_doc.m_dontShowWarning = storedBool(s, QStringLiteral("dntshow_aboutphotolist"), m_doc.m_dontShowWarning);
    s.endGroup();
}

void MainWindow::loadPanoOptions()
{
    SettingsStore s;
    s.beginGroup(QStringLiteral("panorama"));
    m_doc.setCropFlag(storedIndex(s, QStringLiteral("cropType"), 1, 2));  // no crop, manual crop
    m_doc.setManualMatchingMode(storedBool(s, QStringLiteral("manualMode"), false));
    m_doc.manuallyMatchAllPhotos(storedBool(s, QStringLiteral("manuallyMatchAllPhotos"), false));
    s.endGroup();
}

void MainWindow::saveSettings()
{
    SettingsStore s;
    s.beginGroup(QStringLiteral("application"));
    s.setValue(QStringLiteral("geometry"), saveGeometry());
    s.setValue(QStringLiteral("currentPath"),
               m_dirModel->filePath(m_treeModel->mapToSource(ui->treeView->currentIndex())));
    s.setValue(QStringLiteral("status-bar"), m_statusBarVisible);
    s.setValue(QStringLiteral("thumbnails-size"), m_thumbSizeValue);
    s.setValue(QStringLiteral("view-mode"), m_viewMode);
    s.setValue(QStringLiteral("sort-mode"), m_sortMode);
    for (int mode = 0; mode < 5; ++mode)
        s.setValue(sortOrderKey(mode), m_sortOrder[mode]);
    const int entries = std::min(ui->cmbVisitedFolders->count(), kHistoryEntries);
    for (int i = 0; i < entries; ++i)
        s.setValue(historyKey(i), ui->cmbVisitedFolders->itemText(i));
    s.endGroup();

    s.beginGroup(QStringLiteral("options"));
    s.setValue(QStringLiteral("units"), m_unitsInch);
    s.setValue(QStringLiteral("print_markers"), m_printMarkers);
    s.setValue(QStringLiteral("lsz_comp"), m_doc.m_compressTiff);
    s.setValue(QStringLiteral("jpg_quality"), m_doc.m_jpegQuality);
    s.endGroup();

    s.beginGroup(QStringLiteral("stitching"));
    s.setValue(QStringLiteral("HorzVert"), m_horzVert);
    s.setValue(QStringLiteral("motion-model"), int(m_hvOptions.motionModel));
    s.setValue(QStringLiteral("lens-dist"), m_hvOptions.bLensCompensation);
    s.setValue(QStringLiteral("lens-type"), m_hvOptions.nLensType);
    s.setValue(QStringLiteral("cyclorama"), m_hvOptions.bCyclorama);
    s.setValue(QStringLiteral("lens-dist-tl"), m_tiledOptions.bLensCompensation);
    s.setValue(QStringLiteral("ld-poltype-tl"), m_tiledOptions.nLensPolynomial);
    s.setValue(QStringLiteral("surface_tl"), int(m_tiledOptions.surfaceType));
    s.endGroup();

    s.beginGroup(QStringLiteral("panorama"));
    s.setValue(QStringLiteral("cropType"), m_doc.getCropFlag());
    s.setValue(QStringLiteral("manualMode"), m_doc.getManualMatchingMode());
    s.setValue(QStringLiteral("manuallyMatchAllPhotos"), m_doc.getmanuallyMatchAllPhotos());
    s.setValue(QStringLiteral("dntshow_aboutphotolist"), m_doc.m_dontShowWarning);
    s.endGroup();
}
