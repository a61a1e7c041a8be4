// "Tune Matching": the modal dialog in which the user matches one photo pair by hand
// for the Horizontal/Vertical engine. The two photos side by side, each with three
// draggable markers, shown at one common scale; the motion model; and below them a live
// preview of the pair stitched with the transform the markers define.
//
// The dialog works directly on the engine's manual matcher: every drop, model change and
// reset changes the matcher at once, whatever the dialog's result. Accepted comes from
// the OK button alone, which is enabled exactly while the matcher's transform is usable.
//
// Coordinates: marker positions are photo pixels; scales are plain factors (1.0 = one
// photo pixel per screen pixel), the zoom steps percent values of the zoom table.
// Threads: GUI thread; the stitching runs on the embedded preview thread, whose result
// arrives through the queued updatePreview() connection. Ownership: one reference on each
// photo, on each shown (possibly flattened) copy and on the current preview; the matcher
// is borrowed from the engine; the controls and panes are the dialog's children.
#pragma once

#include <QDialog>

#include <memory>

#include "app/preview_thread.h"
#include "core/pano_element.h"
#include "core/refcount.h"
#include "engine/manual_matcher.h"

class QAbstractButton;
class PanoramaView;
class PreviewControl;
class Ui_HorzMatchingDlg;

class HorzMatchingDlg : public QDialog {
    Q_OBJECT

public:
    // `stitcher`: how the previews are made (StitchTwoImagesFast when empty).
    explicit HorzMatchingDlg(QWidget* parent = nullptr, PreviewThread::Stitcher stitcher = {});
    ~HorzMatchingDlg() override;

    // Called once each, in this order, before the dialog is run.
    void setImages(PanoramaLib::IPanoElement* first, PanoramaLib::IPanoElement* second);
    void setMatcher(PanoramaLib::IManualMatcher* matcher);
    void initDialog();

    Ui_HorzMatchingDlg* form() const { return ui.get(); }
    PreviewControl* leftControl() const { return m_leftControl; }
    PreviewControl* rightControl() const { return m_rightControl; }
    PanoramaView* leftPane() const { return m_leftPane; }
    PanoramaView* rightPane() const { return m_rightPane; }
    PanoramaView* previewPane() const { return m_previewPane; }
    PreviewThread& previewThread() { return m_previewThread; }

public slots:
    void OnUpdatePreview();
    void OnMarkerMoved();
    void OnImageScaled(double scale);
    void OnPreviewScaled(double scale);

protected:
    void changeEvent(QEvent* e) override;

private slots:
    void on_btnPreviewZoomOut_clicked();
    void on_btnPreviewZoomIn_clicked();
    void on_btnZoomOut_clicked();
    void on_btnZoomIn_clicked();
    void on_buttonBox_clicked(QAbstractButton* button);
    void on_rdbMatchAffine_clicked();
    void on_rdbMatchSimple_clicked();
    void on_rdbMatchTranslate_clicked();

private:
    void SelectMotionModel(PanoramaLib::MotionModel model);
    void ChooseMotionModel(PanoramaLib::MotionModel model);
    void UpdatePreview();
    void UpdateZoomimgButtons();
    void UpdateScaleWnd();
    void UpdatePreviewScaleWnd();
    // Both photo panes at `scale` when both accept it; otherwise both stay at the scale
    // they shared before.
    void SetPhotoScale(double scale);
    void StepPhotoZoom(bool up);
    void StepPreviewZoom(bool up);
    // The zoom table's step from a pane's scale; whether there is one the pane accepts.
    double nextScale(double paneScale, bool up) const;
    bool canStep(const PanoramaView* pane, bool up) const;
    QString scaleText(double paneScale) const;

    std::unique_ptr<Ui_HorzMatchingDlg> ui;
    PreviewControl* m_leftControl = nullptr;
    PreviewControl* m_rightControl = nullptr;
    PanoramaView* m_leftPane = nullptr;
    PanoramaView* m_rightPane = nullptr;
    PanoramaView* m_previewPane = nullptr;
    VarnoBase::RefPtr<PanoramaLib::IPanoElement> m_first;
    VarnoBase::RefPtr<PanoramaLib::IPanoElement> m_second;
    VarnoBase::RefPtr<PanoramaLib::IPanoElement> m_firstShown;
    VarnoBase::RefPtr<PanoramaLib::IPanoElement> m_secondShown;
    VarnoBase::RefPtr<PanoramaLib::IPanoElement> m_preview;
    PanoramaLib::IManualMatcher* m_matcher = nullptr;
    double m_photoScale = 1.0;  // the scale both photo panes share
    PreviewThread m_previewThread;  // last: it stops before the photos are let go
};
