// The preferences dialog: the units of the print panel's lengths ("cm" or "in"), whether
// printed pages carry matching markers in their overlap, whether TIFF files are written
// compressed, and the JPEG quality 0..100 (a slider and a spin box that always agree; the
// spin box's value is the one taken). It only edits the four values handed in by
// set_options and hands them back by get_options: the main window keeps them and the
// settings store saves them. GUI thread; the dialog owns its form.
#pragma once

#include <memory>

#include <QDialog>

class Ui_dlgPreferences;

class dlgPreferences : public QDialog {
    Q_OBJECT

public:
    explicit dlgPreferences(QWidget* parent = nullptr);
    ~dlgPreferences() override;

    void set_options(bool unitsInch, bool printMarkers, bool compressTiff, int jpegQuality);
    void get_options(bool& unitsInch, bool& printMarkers, bool& compressTiff, int& jpegQuality) const;

protected:
    void changeEvent(QEvent* e) override;

private:
    std::unique_ptr<Ui_dlgPreferences> ui;
};
