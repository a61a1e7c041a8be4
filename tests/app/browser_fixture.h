// A main window whose browser shows a folder of the test's own: files written into a
// temporary folder, the folder shown, and its entries gathered by the file-system model
// (which works on its own thread: showFolderAndWait waits for directoryLoaded). GUI thread.
#pragma once

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "browser/browser_models.h"
#include "tests/app/window_fixture.h"

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
            for (const QList<QVariant>& args : loaded)
                if (args.at(0).toString() == folder)
                    return true;
            return false;
        };
        while (!done())
            ASSERT_TRUE(loaded.wait(10000)) << "folder not gathered: " << folder.toStdString();
        QCoreApplication::processEvents();  // the queued status texts
    }

    // The file names of a view's selected rows, in model order.
    static QStringList selectedNames(QAbstractItemView* view)
    {
        QStringList names;
        for (const QModelIndex& i : view->selectionModel()->selectedRows(0))
            names << i.data().toString();
        names.sort();
        return names;
    }

    // The current view's row of a file name.
    QModelIndex rowOf(const QString& name) const
    {
        QAbstractItemView* view = w->currentItemView();
        const QModelIndexList found =
            view->model()->match(view->rootIndex().isValid() ? view->model()->index(0, 0, view->rootIndex())
                                                             : QModelIndex(),
                                 Qt::DisplayRole, name, 1, Qt::MatchExactly);
        return found.isEmpty() ? QModelIndex() : found.front();
    }
};
