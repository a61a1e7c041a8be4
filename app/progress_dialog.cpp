// The progress dialog that never sits above another modal window (see the header).
#include "app/progress_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QThread>
#include <QWindow>

ProgressDialog::ProgressDialog(QWidget* parent, bool withCancel) : QProgressDialog(parent), m_cancellable(withCancel)
{
    m_clock.start();
    setMinimumDuration(kShowAfterMs);
    // A value at the minimum restarts Qt's own show timer with the duration above; the one
    // it started at construction would wait four seconds.
    setValue(minimum());
}

void ProgressDialog::hold()
{
    if (m_holds++ == 0 && isVisible()) {
        m_due = true;
        QProgressDialog::setVisible(false);
    }
}

void ProgressDialog::release()
{
    if (m_holds == 0 || --m_holds > 0 || !m_due || wasCanceled())
        return;
    show();
    showPainted();
}

void ProgressDialog::showWhenDue()
{
    if (isVisible() || isHeld() || wasCanceled() || (!m_due && m_clock.elapsed() < kShowAfterMs))
        return;
    forceShow();  // from here on Qt lets events through at every step of a modal dialog
    if (!isVisible())
        show();  // Qt had shown it before, while it was held
    showPainted();
}

void ProgressDialog::setVisible(bool visible)
{
    if (visible && !isVisible()) {
        const QWidget* modal = QApplication::activeModalWidget();
        if (isHeld() || (modal && modal != this)) {
            m_due = true;
            return;
        }
        m_due = false;
    }
    QProgressDialog::setVisible(visible);
}

void ProgressDialog::showPainted()
{
    if (!isVisible())
        return;
    // The window system maps the window a little later; until it is exposed nothing can
    // be painted into it. A short bounded wait, once per dialog.
    QPointer<ProgressDialog> self(this);
    QElapsedTimer waited;
    waited.start();
    while (self && self->isVisible() && !(self->windowHandle() && self->windowHandle()->isExposed()) &&
           waited.elapsed() < 300) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    if (self && self->isVisible())
        self->repaint();
}

void ProgressDialog::closeEvent(QCloseEvent* e)
{
    if (m_cancellable)
        QProgressDialog::closeEvent(e);  // counts as Cancel
    else
        e->ignore();
}

void ProgressDialog::reject()
{
    if (m_cancellable)
        cancel();  // Escape is Cancel, not a silent hide while the work goes on
}
