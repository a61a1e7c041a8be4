// The thumbnail delegate of the browser's thumbnail view and of the picture tray: each
// item is a cell with a pre-rendered rounded frame, the photo's cached thumbnail fitted
// into its upper part and the file name in a 20-pixel band below. The item's full path
// comes from QFileSystemModel::FilePathRole, which both the file-system model and the
// tray model answer; its caption from the display role.
//
// Coordinates are view pixels. The cell geometry is a pure function of the cell
// rectangle (ThumbCellLayout) and the thumbnail's fit a pure function of a rectangle and
// an image size (FitThumbRect), both in integer arithmetic.
//
// UI thread only. A delegate reads thumbnails from the thumbnail manager (the
// program-wide one unless another is given, which must outlive it) and, on every
// paint, asks the manager's builder to rebuild the painted file's thumbnail, which is
// cheap when the cache is current; the window repaints the item on thumbnailUpdated.
// A delegate made by SetThumbSize is a child of its view.
#pragma once

#include <QColor>
#include <QItemDelegate>
#include <QPixmap>
#include <QRect>
#include <QSize>

class QAbstractItemView;
class QApplication;
class ThumbsManager;

// Interface colours; their start values hold until initInterfaceColors copies the
// application palette. Delegates copy them when they are made.
extern QColor thumbColor;         // frame of an item
extern QColor thumbSelColor;      // frame of a selected item
extern QColor thumbTextColor;     // caption of an item
extern QColor thumbSelTextColor;  // caption of a selected item

// Copies the four colours from the application palette (group Current): Button, Dark,
// ButtonText and HighlightedText. Runs once at start-up, before any delegate exists.
void initInterfaceColors(QApplication& app);

// A filled rounded rectangle inset by 2 pixels from (x, y, width, height), corner
// radius `radius` rounded down to an even number of pixels.
void fillRoundRect(QPainter& painter, int x, int y, int width, int height, int radius, const QColor& color);

// The cell size for a thumbnail size: 6 pixels of frame on each side and the caption.
QSize CalcItemSize(QSize thumb);

// The parts of a cell: the content is the cell inset by 6 pixels; the caption is the
// content's lowest 20 rows above its last row; the thumbnail rectangle is the content
// above the caption (its bottom row is the caption's top row). For a cell of
// CalcItemSize(t) the thumbnail rectangle has exactly the size t.
struct ThumbCellLayout {
    QRect content;
    QRect caption;
    QRect thumb;
};
ThumbCellLayout LayoutThumbCell(const QRect& cell);

// Where an image of `image` pixels is drawn in `rect`: a relatively wider image keeps
// the rectangle's width and sits at its top; a taller one fills the height and is
// centred across. Empty for an empty rectangle or image.
QRect FitThumbRect(const QRect& rect, QSize image);

class ThumbItemDelegat : public QItemDelegate {
    Q_OBJECT

public:
    // `manager` null: the program-wide thumbnail manager.
    explicit ThumbItemDelegat(QObject* parent = nullptr, ThumbsManager* manager = nullptr);

    static QSize CalcItemSize(QSize thumb) { return ::CalcItemSize(thumb); }

    // The cell size of every item. A new size renders both frames again and announces
    // itself with sizeHintChanged; the same size does nothing.
    void setItemSize(const QSize& size);
    QSize itemSize() const { return m_itemSize; }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

protected:
    void paintThumb(QPainter* painter, const QStyleOptionViewItem& option, const QRect& rect,
                    const QModelIndex& index) const;
    void paintText(QPainter* painter, const QStyleOptionViewItem& option, const QRect& rect,
                   const QModelIndex& index) const;

private:
    ThumbsManager& manager() const;

    QSize m_itemSize{-1, -1};
    QPixmap m_frame;     // cell-sized, rounded frame on transparent
    QPixmap m_selFrame;  // the same in the selection colour
    QColor m_thumbColor;
    QColor m_thumbSelColor;
    QColor m_thumbTextColor;
    QColor m_thumbSelTextColor;
    ThumbsManager* m_manager;  // not owned; null: the program-wide one
};

// Thumbnail painting for a view: installs a ThumbItemDelegat of cells of `size` (or
// resizes the one it has) and sets the view's icon size.
void SetThumbSize(QAbstractItemView* view, const QSize& size);
// Standard painting again: a QStyledItemDelegate and no icon size. The replaced
// delegate stays a child of the view.
void ResetThumbSize(QAbstractItemView* view);
