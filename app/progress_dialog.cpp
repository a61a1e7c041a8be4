// The progress dialog that never sits above another modal window and keeps the window
// answering while the work polls it (see the header).
#include "app/progress_dialog.h"

#include <QApplication>
#include <QCloseEvent>

ProgressDialog::ProgressDialog(QWidget* parent, bool withCancel) : QProgressDialog(parent), m_cancellable(withCancel)
{
    m_clock.start();
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
}

void ProgressDialog::keepResponsive()
{
    if (!isVisible()) {
        if (isHeld() || wasCanceled() || (!m_due && m_clock.elapsed() < minimumDuration()))
            return;
        forceShow();
        if (!isVisible())
            show();  // Qt had shown it before, while it was held
        if (!isVisible())
            return;  // another modal window is open: shown after it
    }
    if (m_sinceEvents.isValid() && m_sinceEvents.elapsed() < kEventIntervalMs)
        return;
    m_sinceEvents.start();
    QCoreApplication::processEvents();
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
