// The thumbnail delegate: cell geometry and the thumbnail's integer fit, painting from a
// real thumbnail database (a cached thumbnail lands where the fit says, a missing one
// leaves the cell empty and is queued for building), and switching a view between
// thumbnail and standard painting.
#include <QImage>
#include <QListView>
#include <QPainter>
#include <QSignalSpy>
#include <QStyledItemDelegate>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "browser/file_list_model.h"
#include "browser/thumb_delegate.h"
#include "browser/thumbs_database.h"
#include "browser/thumbs_manager.h"

namespace {

const QSize kBox(240, 180);

// The bounding box of the strongly red pixels of an image.
QRect redArea(const QImage& image)
{
    QRect area;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 200 && c.green() < 60 && c.blue() < 60)
                area |= QRect(x, y, 1, 1);
        }
    return area;
}

}  // namespace

TEST(ThumbCell, CaptionAndThumbnailShareOneRowAndTheThumbnailKeepsItsSize)
{
    const QSize cellSize = CalcItemSize(kBox);
    EXPECT_EQ(cellSize, QSize(252, 212));
    const ThumbCellLayout cell = LayoutThumbCell(QRect(QPoint(100, 50), cellSize));
    EXPECT_EQ(std::pair(cell.thumb, cell.caption), std::pair(QRect(106, 56, 240, 180), QRect(106, 235, 240, 20)));
    EXPECT_EQ(cell.content.bottom(), cell.caption.bottom() + 1);  // the content's last row is neither
}

TEST(ThumbCell, FitKeepsTheImageInsideItsRectangle)
{
    const QRect box(6, 6, 240, 180);
    const struct {
        QSize image;
        QRect target;
    } cases[] = {
        {{100, 50}, {6, 6, 240, 120}},     // scaled up (the unscaled ones: the painting test below)
        {{1, 4000}, {126, 6, 0, 180}},     // thinner than a pixel: nothing to draw
        {{0, 180}, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FitThumbRect(box, c.image), c.target) << c.image.width() << "x" << c.image.height();
    EXPECT_EQ(FitThumbRect(QRect(0, 0, 0, 10), {10, 10}), QRect());
}

TEST(ThumbDelegate, PaintsCachedThumbnailsWhereTheFitSaysAndQueuesEveryPaintedFile)
{
    QTemporaryDir folder;
    ThumbsDataBase db;
    ASSERT_TRUE(db.Init(folder.path()));
    ThumbsManager manager(&db, 1);  // threads not started: requests stay queued

    const struct {
        const char* name;
        QSize thumb;  // empty: nothing cached
        QRect drawn;
    } cases[] = {
        {"wide.jpg", {240, 180}, {6, 6, 240, 180}},
        {"tall.jpg", {135, 180}, {58, 6, 136, 180}},
        {"flat.jpg", {240, 120}, {6, 6, 240, 120}},
        {"uncached.jpg", {}, {}},
    };
    FileListModel model;
    for (const auto& c : cases) {
        const QString path = folder.filePath(c.name);
        model.appendFiles({path});
        if (c.thumb.isEmpty())
            continue;
        QImage red(c.thumb, QImage::Format_RGB888);
        red.fill(Qt::red);
        ASSERT_TRUE(db.SetThumb(path, QDateTime::currentDateTime(), 4000, 3000, 24, red.width(), red.height(),
                                int(red.bytesPerLine()), red.constBits()));
    }

    ThumbItemDelegat delegate(nullptr, &manager);
    delegate.setItemSize(CalcItemSize(kBox));
    QStyleOptionViewItem option;
    option.rect = QRect(QPoint(0, 0), CalcItemSize(kBox));
    option.state = QStyle::State_Enabled;
    for (int row = 0; row < model.count(); ++row) {
        SCOPED_TRACE(cases[row].name);
        QImage cell(option.rect.size(), QImage::Format_ARGB32);
        cell.fill(Qt::white);
        QPainter painter(&cell);
        delegate.paint(&painter, option, model.index(row, 0));
        painter.end();
        EXPECT_EQ(redArea(cell), cases[row].drawn);
        EXPECT_EQ(manager.builder().queued().value(0), model.filePath(model.index(row, 0)));
    }
}

// A selected cell is drawn on the frame of the selection colour, any other on the frame
// of the item colour; both are the colours the delegate was made with.
TEST(ThumbDelegate, SelectedCellsStandOnTheSelectionFrame)
{
    const QColor item(20, 40, 220), selection(30, 200, 60);
    const QColor savedItem = thumbColor, savedSelection = thumbSelColor;
    thumbColor = item, thumbSelColor = selection;
    ThumbItemDelegat delegate;
    thumbColor = savedItem, thumbSelColor = savedSelection;
    delegate.setItemSize(CalcItemSize(kBox));

    // The colour of the frame's left side, halfway down: outside the thumbnail and caption.
    auto frameColour = [&](QStyle::State state) {
        QStyleOptionViewItem option;
        option.rect = QRect(QPoint(0, 0), CalcItemSize(kBox));
        option.state = QStyle::State_Enabled | state;
        QImage cell(option.rect.size(), QImage::Format_ARGB32);
        cell.fill(Qt::white);
        QPainter painter(&cell);
        delegate.paint(&painter, option, QModelIndex());
        painter.end();
        return cell.pixelColor(4, option.rect.height() / 2).name().toStdString();
    };
    EXPECT_EQ(frameColour(QStyle::State_None), item.name().toStdString());
    EXPECT_EQ(frameColour(QStyle::State_Selected), selection.name().toStdString());
}

TEST(ThumbDelegate, SizeChangesAreAnnouncedOnceAndViewsSwitchBack)
{
    QListView view;
    SetThumbSize(&view, CalcItemSize(kBox));
    auto* delegate = qobject_cast<ThumbItemDelegat*>(view.itemDelegate());
    ASSERT_NE(delegate, nullptr);
    EXPECT_EQ(std::pair(delegate->itemSize(), view.iconSize()), std::pair(QSize(252, 212), QSize(252, 212)));

    QSignalSpy announced(delegate, &QAbstractItemDelegate::sizeHintChanged);
    SetThumbSize(&view, QSize(252, 212));
    EXPECT_EQ(announced.size(), 0);
    SetThumbSize(&view, CalcItemSize({120, 90}));
    EXPECT_TRUE(announced.size() == 1 && view.itemDelegate() == delegate);
    EXPECT_EQ(delegate->sizeHint({}, {}), QSize(132, 122));

    ResetThumbSize(&view);
    EXPECT_NE(qobject_cast<QStyledItemDelegate*>(view.itemDelegate()), nullptr);
    EXPECT_EQ(view.iconSize(), QSize(-1, -1));
    EXPECT_EQ(delegate->parent(), &view);  // kept as the view's child
}
