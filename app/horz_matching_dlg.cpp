// The manual matching dialog: set-up of the panes, the preview requests and their
// answers, the motion model, the buttons and the zoom of the photo pair and the preview.
// GUI thread only.
#include "app/horz_matching_dlg.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

#include "app/markers.h"
#include "app/panorama_view.h"
#include "app/scroll_view.h"
#include "document/engine_host.h"
#include "ui_horz_matching_dlg.h"

namespace {

bool accepts(const PanoramaView* pane, double scale) { return pane->canScale(scale); }

}  // namespace

HorzMatchingDlg::HorzMatchingDlg(QWidget* parent, PreviewThread::Stitcher stitcher)
    : QDialog(parent), ui(std::make_unique<Ui_HorzMatchingDlg>()), m_previewThread(std::move(stitcher))
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    const auto makePhotoPane = [this](QWidget* container, PreviewControl*& control, PanoramaView*& pane) {
        control = new PreviewControl(this);
        pane = new PanoramaView(this);
        pane->setControl(control);
        // The gap keeps a pin standing on the photo's border whole.
        pane->setAllGaps(control->markerMargin());
        connect(control, &PreviewControl::markerMoved, this, &HorzMatchingDlg::OnMarkerMoved);
        connect(pane, &PanoramaView::imageScaled, this, &HorzMatchingDlg::OnImageScaled);
        auto* layout = new QVBoxLayout(container);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(pane, 0);
        layout->activate();
    };
    makePhotoPane(ui->widget, m_leftControl, m_leftPane);
    makePhotoPane(ui->widget_2, m_rightControl, m_rightPane);

    m_previewPane = new PanoramaView(this);
    auto* layout = new QVBoxLayout(ui->widget_3);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_previewPane, 0);
    layout->activate();
    connect(m_previewPane, &PanoramaView::imageScaled, this, &HorzMatchingDlg::OnPreviewScaled);

    connect(&m_previewThread, &PreviewThread::updatePreview, this, &HorzMatchingDlg::OnUpdatePreview,
            Qt::QueuedConnection);
}

HorzMatchingDlg::~HorzMatchingDlg()
{
    m_previewThread.Terminate();
    // The panes outlive this body (they are children); unplug the tools before the
    // controls, also children, can go first.
    m_leftPane->setControl(nullptr);
    m_rightPane->setControl(nullptr);
}

void HorzMatchingDlg::setImages(PanoramaLib::IPanoElement* first, PanoramaLib::IPanoElement* second)
{
    m_first = first;
    m_second = second;
    const auto shown = [](PanoramaLib::IPanoElement* photo) {
        VarnoBase::RefPtr<PanoramaLib::IPanoElement> out;
        if (photo && photo->GetAlphaBits()) {
            out.Adopt(photo->CopyImage());
            if (out)
                out->FlattenImage();
        }
        if (!out)
            out = photo;
        return out;
    };
    m_firstShown = shown(first);
    m_secondShown = shown(second);
    m_previewThread.SetImages(first, second);
    m_leftPane->setPicture(m_firstShown, false);
    m_rightPane->setPicture(m_secondShown, false);
    m_photoScale = m_leftPane->scaleFactor();
}

void HorzMatchingDlg::setMatcher(PanoramaLib::IManualMatcher* matcher)
{
    m_matcher = matcher;
    m_leftControl->SetMatcher(matcher, PanoramaLib::IManualMatcher::PTS_First);
    m_rightControl->SetMatcher(matcher, PanoramaLib::IManualMatcher::PTS_Second);
    if (matcher && matcher->IsCyclorama()) {
        ui->rdbMatchTranslate->setEnabled(false);
        ui->rdbMatchSimple->setEnabled(false);
        ui->rdbMatchAffine->setEnabled(false);
    }
    UpdatePreview();
    m_previewPane->zoomToWindow();
}

void HorzMatchingDlg::initDialog()
{
    if (!m_matcher)
        return;
    // The fit below needs the panes' real sizes, before the dialog is first shown.
    if (layout())
        layout()->activate();
    for (auto [control, pane] : {std::pair{m_leftControl, m_leftPane}, std::pair{m_rightControl, m_rightPane}}) {
        QRect points, markers;
        control->GetMarkersRect(points, markers);
        pane->ensureRectVisible(points, markers);
    }
    // The two photos are shown at one scale: the smaller of the two fits.
    SetPhotoScale(std::min(m_leftPane->scaleFactor(), m_rightPane->scaleFactor()));
    SelectMotionModel(m_matcher->GetMotionModel());
    UpdatePreview();
    UpdateScaleWnd();
    UpdateZoomimgButtons();
}

void HorzMatchingDlg::SelectMotionModel(PanoramaLib::MotionModel model)
{
    ui->rdbMatchTranslate->setChecked(model == PanoramaLib::MotionTranslate);
    ui->rdbMatchSimple->setChecked(model == PanoramaLib::MotionSimple);
    ui->rdbMatchAffine->setChecked(model == PanoramaLib::MotionAffine);
    m_leftControl->ShowMarker(Marker2, model == PanoramaLib::MotionAffine);
    m_rightControl->ShowMarker(Marker2, model == PanoramaLib::MotionAffine);
}

void HorzMatchingDlg::UpdatePreview()
{
    if (!m_matcher)
        return;
    WaitCursor busy;
    m_preview = nullptr;
    double m[3][3];
    m_matcher->GetTransform(m);
    const bool bad = m_matcher->BadTransform();
    // Whatever changed the matcher, OK follows the transform it left.
    if (QPushButton* ok = ui->buttonBox->button(QDialogButtonBox::Ok))
        ok->setEnabled(!bad);
    if (bad) {
        m_previewThread.Abort();
        OnUpdatePreview();
    } else {
        m_previewThread.RenderPreview(m);
    }
}

void HorzMatchingDlg::OnUpdatePreview()
{
    m_preview.Adopt(m_previewThread.GetPreview());
    m_previewPane->setPicture(m_preview, true);
    const bool none = !m_preview;
    m_previewPane->setText(none ? tr("Unable to match") : QString());
    m_previewPane->setTextVisible(none);
    m_previewPane->zoomToWindow();
    UpdatePreviewScaleWnd();
    UpdateZoomimgButtons();
}

void HorzMatchingDlg::OnMarkerMoved() { UpdatePreview(); }

void HorzMatchingDlg::ChooseMotionModel(PanoramaLib::MotionModel model)
{
    if (!m_matcher)
        return;
    m_matcher->SetMotionModel(model);
    SelectMotionModel(model);
    UpdatePreview();
}

void HorzMatchingDlg::on_rdbMatchAffine_clicked() { ChooseMotionModel(PanoramaLib::MotionAffine); }
void HorzMatchingDlg::on_rdbMatchSimple_clicked() { ChooseMotionModel(PanoramaLib::MotionSimple); }
void HorzMatchingDlg::on_rdbMatchTranslate_clicked() { ChooseMotionModel(PanoramaLib::MotionTranslate); }

void HorzMatchingDlg::on_buttonBox_clicked(QAbstractButton* button)
{
    switch (ui->buttonBox->standardButton(button)) {
    case QDialogButtonBox::Ok:
        m_previewThread.Terminate();
        accept();
        break;
    case QDialogButtonBox::Reset:
        if (!m_matcher)
            break;
        m_matcher->Reset();
        m_leftControl->SetMatcher(m_matcher, PanoramaLib::IManualMatcher::PTS_First);
        m_rightControl->SetMatcher(m_matcher, PanoramaLib::IManualMatcher::PTS_Second);
        initDialog();
        break;
    default:  // Abort: the box's rejected() rejects the dialog
        break;
    }
}

// ---------------------------------------------------------------------------------
// Zoom

void HorzMatchingDlg::SetPhotoScale(double scale)
{
    if (accepts(m_leftPane, scale) && accepts(m_rightPane, scale))
        m_photoScale = scale;
    m_leftPane->setScaleFactor(m_photoScale);
    m_rightPane->setScaleFactor(m_photoScale);
}

double HorzMatchingDlg::nextScale(double paneScale, bool up) const
{
    return GetNextZoomFactor(paneScale * 100.0, up) / 100.0;
}

bool HorzMatchingDlg::canStep(const PanoramaView* pane, bool up) const
{
    const double scale = pane->scaleFactor();
    return CanNextZoomFactor(scale * 100.0, up) && accepts(pane, nextScale(scale, up));
}

QString HorzMatchingDlg::scaleText(double paneScale) const
{
    return tr("Scale: %1 %").arg(paneScale * 100.0, 3, 'f', 0, QLatin1Char(' '));
}

void HorzMatchingDlg::StepPhotoZoom(bool up)
{
    SetPhotoScale(nextScale(m_leftPane->scaleFactor(), up));
    UpdateZoomimgButtons();
    UpdateScaleWnd();
}

void HorzMatchingDlg::StepPreviewZoom(bool up)
{
    m_previewPane->setScaleFactor(nextScale(m_previewPane->scaleFactor(), up));
    UpdateZoomimgButtons();
    UpdatePreviewScaleWnd();
}

void HorzMatchingDlg::on_btnZoomIn_clicked() { StepPhotoZoom(true); }
void HorzMatchingDlg::on_btnZoomOut_clicked() { StepPhotoZoom(false); }
void HorzMatchingDlg::on_btnPreviewZoomIn_clicked() { StepPreviewZoom(true); }
void HorzMatchingDlg::on_btnPreviewZoomOut_clicked() { StepPreviewZoom(false); }

void HorzMatchingDlg::OnImageScaled(double scale)
{
    SetPhotoScale(scale);
    UpdateZoomimgButtons();
    UpdateScaleWnd();
}

void HorzMatchingDlg::OnPreviewScaled(double)
{
    UpdateZoomimgButtons();
    UpdatePreviewScaleWnd();
}

void HorzMatchingDlg::UpdateZoomimgButtons()
{
    // The photos share one scale: a step is offered only when both panes can take it.
    const auto photoStep = [&](bool up) {
        return canStep(m_leftPane, up) && accepts(m_rightPane, nextScale(m_leftPane->scaleFactor(), up));
    };
    ui->btnZoomIn->setEnabled(photoStep(true));
    ui->btnZoomOut->setEnabled(photoStep(false));
    ui->btnPreviewZoomIn->setEnabled(canStep(m_previewPane, true));
    ui->btnPreviewZoomOut->setEnabled(canStep(m_previewPane, false));
}

void HorzMatchingDlg::UpdateScaleWnd() { ui->lblScale->setText(scaleText(m_leftPane->scaleFactor())); }

void HorzMatchingDlg::UpdatePreviewScaleWnd() { ui->lblPreviewScale->setText(scaleText(m_previewPane->scaleFactor())); }

void HorzMatchingDlg::changeEvent(QEvent* e)
{
    QDialog::changeEvent(e);
    if (e->type() == QEvent::LanguageChange)
        ui->retranslateUi(this);
}
