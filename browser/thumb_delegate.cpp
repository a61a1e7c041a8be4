// The thumbnail delegate and the interface colours (see thumb_delegate.h). UI thread
// only; view pixels throughout.
#include "browser/thumb_delegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFileSystemModel>
#include <QPainter>
#include <QPalette>
#include <QStyledItemDelegate>

#include "browser/thumbs_manager.h"

QColor thumbColor(0, 0, 0);
QColor thumbSelColor(128, 128, 128);
QColor thumbTextColor(147, 147, 147);
QColor thumbSelTextColor(100, 204, 239);

namespace {

constexpr int kFrameMargin = 6;     // cell edge to content, each side
constexpr int kCaptionHeight = 20;  // rows of the caption band
constexpr int kFrameRadius = 12;

QPixmap renderFrame(const QSize& size, const QColor& color)
{
    if (size.isEmpty())
        return {};
    QPixmap frame(size);
    frame.fill(QColor(0, 0, 0, 0));
    QPainter painter(&frame);
    painter.setRenderHint(QPainter::Antialiasing);
    fillRoundRect(painter, 0, 0, size.width(), size.height(), kFrameRadius, color);
    return frame;
}

}  // namespace

void initInterfaceColors(QApplication&)
{
    const QPalette palette = QApplication::palette();
    thumbColor = palette.color(QPalette::Current, QPalette::Button);
    thumbSelColor = palette.color(QPalette::Current, QPalette::Dark);
    thumbTextColor = palette.color(QPalette::Current, QPalette::ButtonText);
    thumbSelTextColor = palette.color(QPalette::Current, QPalette::HighlightedText);
}

void fillRoundRect(QPainter& painter, int x, int y, int width, int height, int radius, const QColor& color)
{
    painter.save();
    painter.setBrush(QBrush(color));
    painter.setPen(QPen(color, 1));
    const int r = radius / 2 * 2;
    painter.drawRoundedRect(QRect(x + 2, y + 2, width - 4, height - 4), r, r, Qt::AbsoluteSize);
    painter.restore();
}

QSize CalcItemSize(QSize thumb)
{
    return QSize(thumb.width() + 2 * kFrameMargin, thumb.height() + 2 * kFrameMargin + kCaptionHeight);
}

ThumbCellLayout LayoutThumbCell(const QRect& cell)
{
    ThumbCellLayout layout;
    layout.content = cell.adjusted(kFrameMargin, kFrameMargin, -kFrameMargin, -kFrameMargin);
    layout.caption = QRect(layout.content.left(), layout.content.bottom() - kCaptionHeight,
                           layout.content.width(), kCaptionHeight);
    layout.thumb = layout.content.adjusted(0, 0, 0, -kCaptionHeight);
    return layout;
}

QRect FitThumbRect(const QRect& rect, QSize image)
{
    const qint64 rw = rect.width(), rh = rect.height();
    const qint64 iw = image.width(), ih = image.height();
    if (rw <= 0 || rh <= 0 || iw <= 0 || ih <= 0)
        return {};
    if (rw * ih <= rh * iw)  // relatively wider: full width, at the top
        return QRect(rect.left(), rect.top(), int(rw), int(rw * ih / iw));
    const int spare = int(rw - rh * iw / ih);
    return rect.adjusted(spare / 2, 0, -(spare / 2), 0);
}

// ---------------------------------------------------------------------------------------
// ThumbItemDelegat

ThumbItemDelegat::ThumbItemDelegat(QObject* parent, ThumbsManager* manager)
    : QItemDelegate(parent),
      m_thumbColor(thumbColor),
      m_thumbSelColor(thumbSelColor),
      m_thumbTextColor(thumbTextColor),
      m_thumbSelTextColor(thumbSelTextColor),
      m_manager(manager)
{
    setItemSize(QSize(160, 160));
}

ThumbsManager& ThumbItemDelegat::manager() const
{
    return m_manager ? *m_manager : GetThumbsManager();
}

void ThumbItemDelegat::setItemSize(const QSize& size)
{
    if (size == m_itemSize)
        return;
    m_itemSize = size;
    m_frame = renderFrame(size, m_thumbColor);
    m_selFrame = renderFrame(size, m_thumbSelColor);
    emit sizeHintChanged(QModelIndex());
}

QSize ThumbItemDelegat::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    return m_itemSize;
}

void ThumbItemDelegat::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    painter->save();
    drawBackground(painter, option, index);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    const QPixmap& frame = selected ? m_selFrame : m_frame;
    if (!frame.isNull())
        painter->drawPixmap(option.rect.topLeft(), frame);
    const ThumbCellLayout cell = LayoutThumbCell(option.rect);
    paintText(painter, option, cell.caption, index);
    paintThumb(painter, option, cell.thumb, index);
    drawFocus(painter, option, cell.content);
    painter->restore();
}

void ThumbItemDelegat::paintThumb(QPainter* painter, const QStyleOptionViewItem&, const QRect& rect,
                                  const QModelIndex& index) const
{
    const QString path = index.data(QFileSystemModel::FilePathRole).toString();
    if (path.isEmpty())
        return;
    ThumbsManager& thumbs = manager();
    const QImage image = thumbs.GetThumbImage(path);
    if (!image.isNull()) {
        const QRect target = FitThumbRect(rect, image.size());
        if (!target.isEmpty())
            painter->drawImage(target, image, image.rect());
    }
    // Also for a cached thumbnail: the builder checks that it is still current.
    thumbs.BuildThumbInThread(path);
}

void ThumbItemDelegat::paintText(QPainter* painter, const QStyleOptionViewItem& option, const QRect& rect,
                                 const QModelIndex& index) const
{
    painter->save();
    painter->setFont(option.font);
    const QString text =
        option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), option.textElideMode, rect.width());
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    painter->setPen(selected ? m_thumbSelTextColor : m_thumbTextColor);
    painter->drawText(rect, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, text);
    painter->restore();
}

// ---------------------------------------------------------------------------------------
// Switching a view between thumbnails and standard painting

void SetThumbSize(QAbstractItemView* view, const QSize& size)
{
    if (auto* delegate = qobject_cast<ThumbItemDelegat*>(view->itemDelegate())) {
        delegate->setItemSize(size);
        return;
    }
    auto* delegate = new ThumbItemDelegat(view);
    delegate->setItemSize(size);
    view->setItemDelegate(delegate);
    view->setIconSize(size);
}

void ResetThumbSize(QAbstractItemView* view)
{
    if (qobject_cast<QStyledItemDelegate*>(view->itemDelegate()))
        return;
    view->setItemDelegate(new QStyledItemDelegate(view));
    view->setIconSize(QSize(-1, -1));
}
