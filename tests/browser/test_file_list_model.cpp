// The picture tray's model and view: removals by the Delete key, moves inside the tray
// (driven as Qt's view drives them: mimeData, dropMimeData, then removeRows of the
// dragged rows, since the offscreen platform has no real drag), file drops, the
// document's veto, and the size texts.
#include <QApplication>
#include <QFile>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QLocale>
#include <QPersistentModelIndex>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <memory>

#include "browser/file_list_model.h"
#include "browser/storyboard_list_view.h"

namespace {

// A document that records every question and answers from a script (yes when the
// script has run out).
struct ScriptedDocument : IInputPhotos {
    struct Call {
        bool hasAdded, hasRemoved, force;
        QStringList added, removed;
    };
    QList<Call> calls;
    QList<bool> answers;

    bool continueModification(const QStringList* added, const QStringList* removed, bool force) override
    {
        calls << Call{added != nullptr, removed != nullptr, force, added ? *added : QStringList(),
                      removed ? *removed : QStringList()};
        return answers.isEmpty() ? true : answers.takeFirst();
    }
};

QStringList names(const char* letters)
{
    QStringList list;
    for (const char* c = letters; *c; ++c)
        list << QStringLiteral("/photos/%1.jpg").arg(QLatin1Char(*c));
    return list;
}

// Every column of each row, as a row selection hands them to removeIndexes or mimeData.
QModelIndexList rowIndexes(const FileListModel& model, std::initializer_list<int> rows)
{
    QModelIndexList list;
    for (int row : rows)
        for (int column = 0; column < FileListModel::kColumns; ++column)
            list << model.index(row, column);
    return list;
}

QMimeData* urlDrop(const QList<QUrl>& urls)
{
    auto* data = new QMimeData;
    data->setUrls(urls);
    return data;
}

struct Tray : ::testing::Test {
    FileListModel model;
    ScriptedDocument doc;
    void SetUp() override { model.setObserver(&doc); }
};

}  // namespace

TEST_F(Tray, DeleteRemovesExactlyTheSelectedRowsHighestRunFirst)
{
    model.setFileList(names("abcdefghij"));
    QSignalSpy removals(&model, &QAbstractItemModel::rowsAboutToBeRemoved);
    model.removeIndexes(rowIndexes(model, {2, 7, 3, 4}));

    EXPECT_EQ(model.fileList(), names("abfgij"));
    QList<QVariantList> runs(removals.begin(), removals.end());
    EXPECT_EQ(runs, (QList<QVariantList>{{QModelIndex(), 7, 7}, {QModelIndex(), 2, 4}}));  // 2-4 in one removal
    ASSERT_FALSE(doc.calls.isEmpty());
    EXPECT_EQ(doc.calls[0].removed, (QStringList{names("c")[0], names("h")[0], names("d")[0], names("e")[0]}));

    // Only an invalid index: the document is asked with an empty list, nothing goes.
    model.removeIndexes({QModelIndex()});
    EXPECT_EQ(model.fileList(), names("abfgij"));
    EXPECT_TRUE(doc.calls.last().hasRemoved && doc.calls.last().removed.isEmpty());

    model.setFileList(names("aaba"));  // removal by name takes adjacent duplicates too
    model.removeFiles(names("a"));
    EXPECT_EQ(model.fileList(), names("b"));
}

TEST_F(Tray, AppendSkipsHeldPathsAndAsksOnlyWhenSomethingIsNew)
{
    model.setFileList(names("ab"));
    model.appendFiles(names("ba"));
    EXPECT_TRUE(doc.calls.isEmpty());

    doc.answers = {false};
    model.appendFiles(names("bc"));
    EXPECT_EQ(model.fileList(), names("ab"));  // vetoed

    model.appendFiles(names("bcc"));  // repeats inside the list itself are kept
    EXPECT_EQ(model.fileList(), names("abcc"));
    ASSERT_EQ(doc.calls.size(), 2);
    EXPECT_EQ(doc.calls[1].added, names("cc"));

    // The same name in another folder is another photo.
    model.appendFiles({"/other/a.jpg"});
    EXPECT_EQ(model.fileList(), names("abcc") << "/other/a.jpg");
}

// Moves of rows {0, 2} of a..e, the view removing the dragged rows after the drop.
TEST_F(Tray, MoveOfTwoRowsLandsWhereDropped)
{
    struct Case {
        int row, parentRow;
        const char* result;
    } cases[] = {
        {5, -1, "bdeac"},   // after the last photo
        {-1, -1, "bdeac"},  // on the empty space after the photos
        {-1, 4, "bdace"},   // onto e: before it
        {1, -1, "acbde"},   // between a and b
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        model.setFileList(names("abcde"));
        std::unique_ptr<QMimeData> data(model.mimeData(rowIndexes(model, {0, 2})));
        const QPersistentModelIndex first = model.index(0, 0), third = model.index(2, 0);
        const QModelIndex parent = c.parentRow >= 0 ? model.index(c.parentRow, 0) : QModelIndex();

        ASSERT_TRUE(model.dropMimeData(data.get(), Qt::MoveAction, c.row, 0, parent));
        EXPECT_TRUE(model.removeRows(third.row(), 1));
        EXPECT_TRUE(model.removeRows(first.row(), 1));
        EXPECT_EQ(model.fileList(), names(c.result));
    }
}

TEST_F(Tray, RefusedMoveLeavesTheTrayAsItWasAndTheNextDeleteStillWorks)
{
    struct View : StoryboardListView {
        using StoryboardListView::startDrag;
    } view;
    view.setModel(&model);
    model.setFileList(names("abcd"));
    view.selectionModel()->select(model.index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    std::unique_ptr<QMimeData> data(model.mimeData(view.selectionModel()->selectedIndexes()));

    doc.answers = {false};
    EXPECT_FALSE(model.dropMimeData(data.get(), Qt::MoveAction, 4, 0, {}));
    EXPECT_TRUE(doc.calls.last().force);
    // Both halves of a move of two ranges would be skipped, not just the first.
    EXPECT_FALSE(model.removeRows(1, 1) || model.removeRows(0, 1));
    EXPECT_EQ(model.fileList(), names("abcd"));

    view.startDrag(Qt::MoveAction);  // offscreen: ends at once, as a refused drop does
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    QApplication::sendEvent(&view, &del);
    EXPECT_EQ(model.fileList(), names("acd"));
}

TEST_F(Tray, UrlDropsSkipHeldAndNonLocalFiles)
{
    model.setFileList(names("ab"));
    std::unique_ptr<QMimeData> data(urlDrop({QUrl::fromLocalFile(names("a")[0]), QUrl("http://example.com/x.jpg"),
                                             QUrl::fromLocalFile(names("c")[0])}));
    EXPECT_TRUE(model.dropMimeData(data.get(), Qt::CopyAction, -1, 0, model.index(1, 0)));
    EXPECT_EQ(model.fileList(), names("acb"));
    EXPECT_EQ(doc.calls.last().added, names("c"));

    // The same name in another folder is another photo.
    std::unique_ptr<QMimeData> other(urlDrop({QUrl::fromLocalFile("/other/b.jpg")}));
    EXPECT_TRUE(model.dropMimeData(other.get(), Qt::CopyAction, -1, 0, {}));
    EXPECT_EQ(model.fileList(), names("acb") << "/other/b.jpg");
    model.removeFiles({"/other/b.jpg"});

    // Nothing new: the document is still asked, with an empty list, and nothing changes.
    std::unique_ptr<QMimeData> again(urlDrop({QUrl::fromLocalFile(names("c")[0]), QUrl("http://example.com/y.jpg")}));
    EXPECT_FALSE(model.dropMimeData(again.get(), Qt::CopyAction, -1, 0, {}));
    EXPECT_TRUE(doc.calls.last().hasAdded && doc.calls.last().added.isEmpty());
    EXPECT_EQ(model.count(), 3);
}

TEST_F(Tray, ReadOnlyTrayRefusesDropsInsertsAndRemovals)
{
    model.setFileList(names("ab"));
    model.setReadOnly(true);
    std::unique_ptr<QMimeData> data(urlDrop({QUrl::fromLocalFile(names("c")[0])}));
    EXPECT_EQ((std::vector<bool>{model.dropMimeData(data.get(), Qt::CopyAction, -1, 0, {}),
                                 model.flags(QModelIndex()).testFlag(Qt::ItemIsDropEnabled),
                                 model.flags(model.index(0, 0)).testFlag(Qt::ItemIsDropEnabled),
                                 model.insertRows(0, 1), model.removeRows(0, 1)}),
              std::vector<bool>(5, false));
    EXPECT_EQ(model.fileList(), names("ab"));
    EXPECT_TRUE(doc.calls.isEmpty());
}

// The view outside Add Images takes no selection and no drags or drops; back in Add
// Images it takes several photos at once and both again.
TEST_F(Tray, ReadOnlyViewRefusesSelectionAndDragsAndTakesThemAgainAfter)
{
    StoryboardListView view;
    view.setModel(&model);
    model.setFileList(names("abc"));
    const auto modes = [&] {
        return std::make_tuple(view.selectionMode(), view.dragDropMode(), view.dragEnabled(), view.acceptDrops());
    };
    const auto open = std::make_tuple(QAbstractItemView::ExtendedSelection, QAbstractItemView::DragDrop, true, true);
    EXPECT_EQ(modes(), open);
    view.selectionModel()->select(model.index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);

    view.setReadOnly(true);
    EXPECT_EQ(modes(), std::make_tuple(QAbstractItemView::NoSelection, QAbstractItemView::NoDragDrop, false, false));
    EXPECT_FALSE(view.selectionModel()->hasSelection());
    view.setReadOnly(false);
    EXPECT_EQ(modes(), open);
    view.setReadOnly(false);  // already open: stays so
    EXPECT_EQ(modes(), open);
}

// Another tray's payload carries another format; a copy of the tray's own photos adds
// nothing (they are all held already).
TEST_F(Tray, PayloadsOfAnotherTrayAndCopiesOfOwnPhotosAreRefused)
{
    FileListModel other;
    other.setFileList(names("x"));
    model.setFileList(names("ab"));
    const QString mine = FileListMimeData::filesMimeType(&model);
    EXPECT_NE(mine, FileListMimeData::filesMimeType(&other));
    EXPECT_EQ(FileListMimeData::filesMimeType(nullptr), "application/x-storyboard");
    EXPECT_EQ(model.mimeTypes(), (QStringList{"text/uri-list", mine}));

    std::unique_ptr<QMimeData> foreign(other.mimeData(rowIndexes(other, {0})));
    EXPECT_FALSE(model.canDropMimeData(foreign.get(), Qt::MoveAction, 0, 0, {}) ||
                 model.dropMimeData(foreign.get(), Qt::MoveAction, 0, 0, {}));

    std::unique_ptr<QMimeData> own(model.mimeData(rowIndexes(model, {0})));
    EXPECT_EQ(model.supportedDragActions(), Qt::MoveAction);
    EXPECT_FALSE(model.dropMimeData(own.get(), Qt::CopyAction, 2, 0, {}));
    EXPECT_EQ(model.fileList(), names("ab"));
}

TEST(TraySize, TextsInBytesKilobytesMegabytesAndTerabytes)
{
    const QLocale saved;
    QLocale::setDefault(QLocale::c());
    const struct {
        qint64 bytes;
        const char* text;
    } cases[] = {
        {-1, "-1 bytes"},     {1023, "1023 bytes"},        {1024, "1 KB"},           {1048575, "1023 KB"},
        {1048576, "1.0 MB"},  {3LL << 29, "1.50 GB"},      {1LL << 40, "1.000 TB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FileListModel::sizeText(c.bytes), c.text) << c.bytes;
    QLocale::setDefault(saved);
}

TEST(TrayData, RowsAnswerPathNameSizeAndDateOfRealFiles)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("IMG_0001.jpg");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(QByteArray(2048, 'x')) == 2048);
    file.close();

    FileListModel model;
    model.appendFiles({path});
    const QModelIndex name = model.index(0, 0);
    EXPECT_EQ(model.data(name, QFileSystemModel::FilePathRole).toString(), path);
    EXPECT_EQ(model.data(name, QFileSystemModel::FileNameRole).toString() + model.data(name).toString(),
              "IMG_0001.jpgIMG_0001.jpg");
    EXPECT_EQ(model.size(name), 2048);
    EXPECT_EQ(model.data(model.index(0, 3)).toString(),
              QLocale::system().toString(QFileInfo(path).lastModified(), QLocale::ShortFormat));
    EXPECT_FALSE(model.data(model.index(1, 0), QFileSystemModel::FilePathRole).isValid() ||
                 model.index(0, FileListModel::kColumns).isValid());
}
