// The "Warning" dialog the document shows before the photo list of a built panorama
// changes: Yes / No and the check box "Don't show this message again". Widgets are
// built in code; the texts are set in retranslateUi and again on a language change.
// UI thread only; never exec()'d in tests (the document's question goes through
// PanoramaDoc::runAboutToChangeDialog, which tests override).
#pragma once

#include <QDialog>

class QCheckBox;
class QDialogButtonBox;
class QLabel;
class QVBoxLayout;

class dlgAboutToChangeMessage : public QDialog {
    Q_OBJECT

public:
    explicit dlgAboutToChangeMessage(QWidget* parent = nullptr);

    // The state of "Don't show this message again".
    bool dontShowFlg() const;

    QCheckBox* checkBox() const { return m_cbDontShow; }
    QDialogButtonBox* buttonBox() const { return m_buttonBox; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void retranslateUi();

    QVBoxLayout* m_verticalLayout = nullptr;
    QLabel* m_label = nullptr;
    QCheckBox* m_cbDontShow = nullptr;
    QDialogButtonBox* m_buttonBox = nullptr;
};
