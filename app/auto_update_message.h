// The dialog that offers an update the check found: the kind of update as its title, the
// server's message as plain text, "More info" (only when the server named a page) and
// OK/Cancel. The caller runs it modally and opens the update address on OK.
//
// Addresses come from the update server's answer, so only http and https addresses are
// ever handed to the desktop (openUpdateAddress); anything else is dropped.
//
// Thread: GUI thread. Ownership: the dialog owns its form and keeps only a copy of the
// more-info address, no pointer to the checker.
#pragma once

#include <memory>

#include <QDialog>
#include <QString>

class Ui_AutoUpdateMessage;
class VnAutoUpdate;

// Opens `address` through the desktop when it is an absolute http or https address;
// false (and nothing opened) for any other address, an empty one included. Whether a
// browser started is not looked at.
bool openUpdateAddress(const QString& address);

class AutoUpdateMessage : public QDialog {
    Q_OBJECT

public:
    AutoUpdateMessage(VnAutoUpdate* checker, QWidget* parent = nullptr);
    ~AutoUpdateMessage() override;

public slots:
    void on_commandLinkButton_clicked();

protected:
    void changeEvent(QEvent* e) override;

private:
    QString m_moreInfoUrl;
    std::unique_ptr<Ui_AutoUpdateMessage> ui;
};
