// The window-modal progress dialog of builds, renders and photo loads.
//
// Why not a plain QProgressDialog: Qt shows one by itself from a timer once its minimum
// duration has passed, also while a message box or another dialog runs its own modal
// loop above the work. The progress dialog then opens over that box and takes its input,
// and neither can be answered. This one stays hidden while it is held (the window holds it
// for every message box and dialog it opens during long work) or while another modal
// window is open, and comes back afterwards. Without a cancel button it cannot be closed
// or escaped: the loop of the work below would go on with the window unblocked.
//
// And a plain QProgressDialog lets events through only when its value changes: work that
// reports one value for a long time (a bundle adjustment) froze the window, so the Cancel
// click was neither drawn nor seen. keepResponsive() lets them through at a bounded
// interval whatever the value.
//
// GUI thread only.
#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QProgressDialog>

class ProgressDialog : public QProgressDialog {
    Q_OBJECT

public:
    // Longest time between two rounds of event processing while the dialog is shown and
    // the work polls it.
    static constexpr int kEventIntervalMs = 50;

    ProgressDialog(QWidget* parent, bool withCancel);

    // Hidden while held; holds nest. A show wanted meanwhile (Qt's timer, a step, having
    // been visible) happens at the last release.
    void hold();
    void release();
    bool isHeld() const { return m_holds > 0; }

    // Called at every poll of the work, after setValue. Shows the dialog once Qt's minimum
    // duration has passed (what Qt's own timer would do, could it fire during the work)
    // unless it is held, and while it is shown processes pending events when the last
    // round is kEventIntervalMs old. The dialog may be gone after.
    void keepResponsive();

    void setVisible(bool visible) override;

protected:
    void closeEvent(QCloseEvent* e) override;
    void reject() override;

private:
    QElapsedTimer m_clock;       // since the dialog was made
    QElapsedTimer m_sinceEvents;  // since the last round of events let through
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
