// A main window built offscreen with a scripted desktop installed, so nothing it does can
// block in a modal loop; the window (and its document with both engines: the real ones
// unless the test hands in factories) dies before the desktop is uninstalled. Each window
// starts from an empty settings store (the windows before it wrote theirs when they
// closed). BrowserTest adds a folder of the test's own: files written into a temporary
// folder, the folder shown, and its entries gathered by the file-system model (which
// works on its own thread: showFolderAndWait waits for directoryLoaded). GUI thread.
#pragma once

#include <memory>

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "app/desktop_seam.h"
#include "app/main_window.h"
#include "browser/browser_models.h"
#include "browser/file_list_model.h"
#include "tests/support/scene.h"
#include "tests/support/scripted_desktop.h"
#include "update/settings_store.h"
#include "ui_main_window.h"

class WindowTest : public ::testing::Test {
protected:
    explicit WindowTest(EngineFactories engines = {}) : w(std::make_unique<MainWindow>(nullptr, std::move(engines))) {}
    ScriptedDesktop desk;
    Desktop::ScopedDesktop use{desk};
    bool cleared = (SettingsStore().clear(), true);
    std::unique_ptr<MainWindow> w;

    Ui_MainWindow& ui() { return *w->form(); }
    // Puts the photos on the tray and loads them (the Stitch entry).
    void load(const QStringList& paths)
    {
        w->trayModel()->setFileList(paths);
        w->document().setTaskMode(TaskMode::TaskStitch);
    }
    // Two overlapping 400 x 300 photos (translation and scale: the panel's default model).
    static const vltest::PhotoSet& stripPhotos()
    {
        static const vltest::Scene scene(vltest::smallSceneOptions(3));
        static const vltest::PhotoSet set =
            vltest::makeStripPhotoSet(scene, {.count = 2, .width = 400, .height = 300, .motion = vltest::Motion::TranslateScale});
        return set;
    }
};

class BrowserTest : public WindowTest {
protected:
    QTemporaryDir root;

    // A file of `bytes` bytes under the test's folder; its absolute path.
    QString makeFile(const QString& relative, qint64 bytes = 10)
    {
        const QString path = root.filePath(relative);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.resize(bytes);
        return path;
    }

    // Shows `folder` and waits until the model has gathered it and the views list it.
    void showFolderAndWait(const QString& folder)
    {
        QSignalSpy loaded(w->filesModel(), &QFileSystemModel::directoryLoaded);
        ASSERT_TRUE(w->showFolder(folder));
        auto done = [&] {
            return std::any_of(loaded.begin(), loaded.end(), [&](const QList<QVariant>& a) { return a.at(0).toString() == folder; });
        };
        while (!done())
            ASSERT_TRUE(loaded.wait(10000)) << "folder not gathered: " << folder.toStdString();
        QCoreApplication::processEvents();  // the queued status texts
    }

    // The current view's row of a file name.
    QModelIndex rowOf(const QString& name) const
    {
        QAbstractItemView* view = w->currentItemView();
        const QModelIndexList found =
            view->model()->match(view->model()->index(0, 0, view->rootIndex()), Qt::DisplayRole, name, 1, Qt::MatchExactly);
        return found.isEmpty() ? QModelIndex() : found.front();
    }
};
