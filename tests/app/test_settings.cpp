// The stored settings through whole window lives: what a window shows at its first start,
// reads at start-up and writes when it closes, in the test program's private settings
// store.
#include <QCheckBox>
#include <QComboBox>
#include <QTreeView>

#include "browser/browser_models.h"
#include "tests/app/window_fixture.h"

namespace {

QString historyKey(int i) { return QStringLiteral("history-000000000") + QChar(i); }

// Every key a window writes, with values that are not the defaults (but for the ring,
// which would force the motion model).
const std::pair<const char*, QVariant> kStored[] = {
    {"application/status-bar", false}, {"application/thumbnails-size", 20}, {"application/view-mode", 2},
    {"application/sort-mode", 3}, {"application/sort-order-0", 1}, {"application/sort-order-3", 1},
    {"options/units", false}, {"options/print_markers", false}, {"options/lsz_comp", true},
    {"options/jpg_quality", 90}, {"stitching/HorzVert", false}, {"stitching/motion-model", 1},
    {"stitching/lens-dist", true}, {"stitching/lens-type", 3}, {"stitching/cyclorama", false},
    {"stitching/lens-dist-tl", true}, {"stitching/ld-poltype-tl", 1}, {"stitching/surface_tl", 1},
    {"panorama/cropType", 0}, {"panorama/manualMode", true}, {"panorama/manuallyMatchAllPhotos", true},
    {"panorama/dntshow_aboutphotolist", true}};

}  // namespace

class SettingsTest : public BrowserTest {
protected:
    // Closes the window (which writes the store), changes the store, opens a new window.
    void restart(const std::function<void(SettingsStore&)>& change)
    {
        w.reset();
        SettingsStore s;
        change(s);
        w = std::make_unique<MainWindow>();
    }
};

// (The title, the tree at home and the lens and model fallbacks: the end-to-end walk and
// the bad-values case.)
TEST_F(SettingsTest, FirstStartDefaultsAndTheFirstDontShowAnswerIsWritten)
{
    EXPECT_EQ(w->currentTask(), ui().tabAddImages);
    EXPECT_TRUE(desk.log.empty());  // nothing modal at start-up
    EXPECT_EQ(std::tuple(ui().stackedWidget->currentIndex(), ui().tabPanoType->currentIndex(), w->viewMode(), w->sortMode(),
                         w->thumbSizeValue(), w->document().getCropFlag(), w->document().m_jpegQuality, ui().cmbVisitedFolders->count()),
              std::tuple(0, 0, 0, 0, 50, 1, 75, 1));
    EXPECT_EQ(std::tuple(w->horzVert(), w->statusBarVisible(), ui().rdbMatchingTranslate->isChecked(), ui().btnAddPicture->isEnabled(),
                         ui().btnRemovePicture->isEnabled(), w->document().getCurPanoramaType(), w->document().getManualMatchingMode()),
              std::tuple(true, true, true, false, false, false, false));

    // "Don't show this message again" ticked while the store has no such key yet.
    desk.dialogs.push_back([](QDialog& d) { return d.findChild<QCheckBox*>("cbDontShow")->setChecked(true), int(QDialog::Accepted); });
    EXPECT_EQ(w->document().askAboutSrcPhotoListChanging(), 1);
    w.reset();
    EXPECT_TRUE(SettingsStore().value("panorama/dntshow_aboutphotolist").toBool());
}

TEST_F(SettingsTest, EveryKeyRoundTripsThroughARestart)
{
    const QString folder = QDir(root.path()).canonicalPath();
    restart([&](SettingsStore& s) {
        for (const auto& [key, value] : kStored)
            s.setValue(key, value);
        s.setValue("application/currentPath", folder);
        s.setValue("application/" + historyKey(0), folder);
    });
    EXPECT_EQ(std::tuple(w->statusBarVisible(), ui().action_Status_bar->isChecked(), ui().action_Date->isChecked(), w->horzVert()),
              std::tuple(false, false, true, false));
    EXPECT_EQ(std::tuple(w->viewMode(), w->thumbSizeValue(), w->sortMode(), w->hvOptions().nLensType, w->document().getCropFlag(),
                         ui().cmbVisitedFolders->count()),
              std::tuple(2, 20, 3, 3, 0, 1));
    EXPECT_EQ(std::tuple(w->sortOrder(3), w->tiledOptions().surfaceType, w->filesModel()->rootPath().toStdString()),
              std::tuple(Qt::DescendingOrder, PanoramaLib::SurfaceSpherical, folder.toStdString()));  // the next "&Date" sorts ascending
    w.reset();
    SettingsStore s;
    for (const auto& [key, value] : kStored)
        EXPECT_EQ(s.value(key).toString(), value.toString()) << key;
    EXPECT_EQ(s.value("application/currentPath").toString() + s.value("application/" + historyKey(0)).toString(), folder + folder);
}

TEST_F(SettingsTest, HistoryStopsAtAGapAndKeepsTwentyFolders)
{
    QStringList folders;
    for (int i = 0; i < 25; ++i) {
        folders << QDir(root.path()).canonicalPath() + QStringLiteral("/f%1").arg(i, 2, 10, QLatin1Char('0'));
        QDir().mkpath(folders.back());
    }
    restart([&](SettingsStore& s) {
        s.clear();
        s.beginGroup("application");
        s.setValue("currentPath", folders[0]);
        s.setValue(historyKey(0), folders[0]);
        s.setValue(historyKey(1), root.filePath("missing"));  // skipped, reading goes on
        s.setValue(historyKey(2), folders[1]);
        s.setValue(historyKey(3), ":");  // a gap ends the history
        s.setValue(historyKey(4), folders[2]);
    });
    QStringList shown;
    for (int i = 0; i < ui().cmbVisitedFolders->count(); ++i)
        shown << ui().cmbVisitedFolders->itemText(i);
    EXPECT_EQ(shown, QStringList({folders[0], folders[1]}));
    for (const QString& f : folders)
        showFolderAndWait(f);
    w.reset();
    SettingsStore s;
    s.beginGroup("application");
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(s.value(historyKey(i)).toString(), folders[i]) << i;
    EXPECT_FALSE(s.contains(historyKey(20)));
}

// The stored folder is shown, with the tree and the history on it; none stored is home. A
// folder that is gone (or a file) leaves the tree without a current folder and the views
// with nothing listed (one folder up and F5 then do nothing), says nothing, and the
// window writes no folder when it closes (so the next start shows home).
TEST_F(SettingsTest, StoredFolderIsShownAGoneOneLeavesNoneAndCloseWritesNone)
{
    const QString folder = QDir(root.path()).canonicalPath(), home = QDir::homePath();
    const QString file = makeFile("photo.jpg");
    const struct {
        const char* name;
        QVariant stored;  // invalid: no key
        QString shown;    // empty: none
    } cases[] = {
        {"no key", QVariant(), home},   {"empty", QString(), home}, {"a folder", folder, folder},
        {"gone", root.filePath("gone"), QString()}, {"a file", file, QString()},
    };
    for (const auto& c : cases) {
        restart([&](SettingsStore& s) {
            s.remove("application/currentPath");
            if (c.stored.isValid())
                s.setValue("application/currentPath", c.stored);
        });
        QCoreApplication::processEvents();
        QTreeView* tree = ui().treeView;
        QAbstractItemView* view = w->currentItemView();
        if (c.shown.isEmpty()) {
            // One folder up and F5 find no folder and do nothing.
            for (const auto command : {+[](Ui_MainWindow& f) { f.btnUpFolder->click(); }, +[](Ui_MainWindow& f) { f.action_Refresh->trigger(); }}) {
                EXPECT_EQ(std::tuple(tree->currentIndex().isValid(), view->model()->rowCount(view->rootIndex())), std::tuple(false, 0))
                    << c.name;
                command(ui());
                QCoreApplication::processEvents();
            }
            EXPECT_EQ(std::tuple(tree->currentIndex().isValid(), view->model()->rowCount(view->rootIndex())), std::tuple(false, 0)) << c.name;
        } else {
            EXPECT_EQ(std::tuple(tree->currentIndex().data(QFileSystemModel::FilePathRole).toString().toStdString(),
                                 w->filesModel()->rootPath().toStdString(), ui().cmbVisitedFolders->currentText().toStdString()),
                      std::tuple(c.shown.toStdString(), c.shown.toStdString(), c.shown.toStdString()))
                << c.name;
        }
        EXPECT_TRUE(desk.log.empty()) << c.name;
        w.reset();
        EXPECT_EQ(SettingsStore().value("application/currentPath").toString().toStdString(), c.shown.toStdString()) << c.name;
        w = std::make_unique<MainWindow>();
    }
}

// A boolean that is no boolean takes its default.
TEST_F(SettingsTest, BadStoredValuesFallBackOrAreClamped)
{
    restart([this](SettingsStore& s) {
        const std::pair<const char*, QVariant> bad[] = {
            {"application/sort-mode", 7},    {"application/sort-order-2", 5}, {"application/view-mode", -1},
            {"application/thumbnails-size", 400}, {"options/jpg_quality", "high"}, {"stitching/motion-model", 9},
            {"stitching/lens-type", 10},     {"stitching/ld-poltype-tl", -3}, {"stitching/surface_tl", 2},
            {"panorama/cropType", 4},
            {"application/status-bar", "perhaps"}, {"options/units", 7}, {"stitching/HorzVert", "perhaps"},
            {"options/lsz_comp", "perhaps"}};
        for (const auto& [key, value] : bad)
            s.setValue(key, value);
    });
    EXPECT_EQ(std::tuple(w->statusBarVisible(), w->printSite().getPageSetup().unitsInch, w->horzVert(), w->document().m_compressTiff),
              std::tuple(true, true, true, false));
    EXPECT_EQ(std::tuple(w->sortMode(), w->viewMode(), w->thumbSizeValue(), w->document().m_jpegQuality, w->hvOptions().nLensType,
                         w->tiledOptions().nLensPolynomial, w->document().getCropFlag()),
              std::tuple(0, 0, 100, 75, 7, 0, 1));
    EXPECT_EQ(std::pair(w->sortOrder(2), w->hvOptions().motionModel), std::pair(Qt::AscendingOrder, PanoramaLib::MotionTranslate));
    EXPECT_EQ(w->tiledOptions().surfaceType, PanoramaLib::SurfaceCylindrical);
}
