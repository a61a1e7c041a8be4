// The "Warning" dialog the document shows before the photo list of a built panorama
// changes: Yes / No and the check box "Don't show this message again". The form is
// dlg_about_to_change.ui (Ui_dlgAboutToChangeMessage, owned); its texts are set again on a
// language change. UI thread only; never exec()'d in tests (the document's question goes
// through PanoramaDoc::runAboutToChangeDialog, which tests override).
#pragma once

#include <memory>

#include <QDialog>

class QCheckBox;
class QDialogButtonBox;
class Ui_dlgAboutToChangeMessage;

class dlgAboutToChangeMessage : public QDialog {
    Q_OBJECT

public:
    explicit dlgAboutToChangeMessage(QWidget* parent = nullptr);
    ~dlgAboutToChangeMessage() override;

    // The state of "Don't show this message again".
    bool dontShowFlg() const;

    QCheckBox* checkBox() const;
    QDialogButtonBox* buttonBox() const;

protected:
    void changeEvent(QEvent* event) override;

private:
    std::unique_ptr<Ui_dlgAboutToChangeMessage> ui;
};
