// The window-modal progress dialog of builds, renders and photo loads.
//
// Why not a plain QProgressDialog: Qt shows one by itself from a timer once its minimum
// duration has passed, also while a message box or another dialog runs its own modal
// loop above the work. The progress dialog then opens over that box and takes its input,
// and neither can be answered. This one stays hidden while it is held (the window holds it
// for every message box and dialog it opens during long work) or while another modal
// window is open, and comes back afterwards. It shows half a second into the work at the
// latest and paints itself when it appears, because the work that follows may not let
// events through for a while. Without a cancel button it cannot be closed or escaped:
// the loop of the work below would go on with the window unblocked.
//
// GUI thread only.
#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QProgressDialog>

class ProgressDialog : public QProgressDialog {
    Q_OBJECT

public:
    // How long work may run before the dialog shows.
    static constexpr int kShowAfterMs = 500;

    ProgressDialog(QWidget* parent, bool withCancel);

    // Hidden while held; holds nest. A show wanted meanwhile (Qt's timer, a step, having
    // been visible) happens at the last release.
    void hold();
    void release();
    bool isHeld() const { return m_holds > 0; }

    // Shows the dialog when it is due (shown by Qt or half a second into the work) and not
    // held, and paints it when it appears. Processes events: the dialog may be gone after.
    void showWhenDue();

    void setVisible(bool visible) override;

protected:
    void closeEvent(QCloseEvent* e) override;
    void reject() override;

private:
    // Shows and waits (briefly, bounded) until the window system has exposed and painted it.
    void showPainted();

    QElapsedTimer m_clock;
    int m_holds = 0;
    bool m_due = false;  // to be shown once nothing holds it any more
    bool m_cancellable;
};

// Holds a progress dialog (if any) for a scope; survives the dialog's deletion.
class ProgressHold {
public:
    explicit ProgressHold(ProgressDialog* dialog) : m_dialog(dialog)
    {
        if (m_dialog)
            m_dialog->hold();
    }
    ~ProgressHold()
    {
        if (m_dialog)
            m_dialog->release();
    }
    ProgressHold(const ProgressHold&) = delete;
    ProgressHold& operator=(const ProgressHold&) = delete;

private:
    QPointer<ProgressDialog> m_dialog;
};
