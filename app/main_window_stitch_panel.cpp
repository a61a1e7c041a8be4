// The Stitch panel: the window keeps its own option block for each panorama kind
// (m_hvOptions, m_tiledOptions), edits it from the controls, shows it in them, and hands
// it to the document only when a build starts. The tiled tab's surface buttons and angle
// sliders act on the document at once. Also the Export page's render button and crop
// choice, which act on the document directly.
//
// Angles are degrees, −45..45. The azimuth slider runs opposite to the document's Y
// angle: the document sees (m_rotX, −m_rotY, m_rotZ). GUI thread only.
#include <QButtonGroup>
#include <QSignalBlocker>

#include "app/main_window.h"
#include "ui_main_window.h"

using PanoramaLib::MotionModel;
using PanoramaLib::PanoramaOptions;

// ---- Filling the controls -----------------------------------------------------------

void MainWindow::onHVInitDialog()
{
    ui->chkCompensateLensDistHV->setChecked(m_hvOptions.bLensCompensation);
    setMotionModelControls(m_hvOptions.motionModel);
    ui->tabHorzVert->setEnabled(m_doc.enableStitchDlg());
    ui->cmbFocalLength->setCurrentIndex(m_hvOptions.nLensType);
    setMatchModeControls(m_doc.getManualMatchingMode(), m_doc.getmanuallyMatchAllPhotos());
    ui->chk360->setChecked(m_hvOptions.bCyclorama);
    setCyclorama(m_hvOptions.bCyclorama);
    if (m_horzVert)
        refreshStitchButton(m_hvOptions);
}

void MainWindow::onTLInitDialog()
{
    auto setIfDiffers = [](QAbstractButton* b, bool on) {
        if (b->isChecked() != on)
            b->setChecked(on);
    };
    setIfDiffers(ui->chkCompensateLensDistTiled, m_tiledOptions.bLensCompensation);
    setIfDiffers(ui->chkPolinom24, m_tiledOptions.nLensPolynomial == 1);
    setIfDiffers(ui->rdbCylindrical, m_tiledOptions.surfaceType == PanoramaLib::SurfaceCylindrical);
    setIfDiffers(ui->rdbSpherical, m_tiledOptions.surfaceType == PanoramaLib::SurfaceSpherical);

    PanoramaLib::SurfaceRenderingType unused;
    m_doc.getRenderingSufrace(unused, m_rotX, m_rotY, m_rotZ);
    m_rotY = -m_rotY;
    // A slider whose value changes passes the angles on through its slot, as a move would.
    // The angles are copied first: each slot reads the members the next slider still has
    // to be set from.
    const int x = m_rotX, y = m_rotY, z = m_rotZ;
    ui->sldRx->setValue(x);
    ui->sldRy->setValue(y);
    ui->sldRz->setValue(z);

    enableTLControls(m_doc.enableStitchDlg());
    if (!m_horzVert) {
        refreshStitchButton(m_tiledOptions);
        enableGeoButtons(m_doc.enableGeoOptions());
    }
}

void MainWindow::setMotionModelControls(MotionModel m)
{
    switch (m) {
    case PanoramaLib::MotionSimple: ui->rdbMatchingSimple->setChecked(true); break;
    case PanoramaLib::MotionTranslate: ui->rdbMatchingTranslate->setChecked(true); break;
    case PanoramaLib::MotionAffine: ui->rdbMatchingAffine->setChecked(true); break;
    default: break;
    }
}

void MainWindow::setMatchModeControls(bool manual, bool all)
{
    if (!manual)
        ui->rdbAutoMatching->setChecked(true);
    else if (all)
        ui->rdbManualAll->setChecked(true);
    else
        ui->rdbManualUnmatched->setChecked(true);
}

void MainWindow::setCyclorama(bool on)
{
    if (on && !m_hvOptions.bCyclorama)
        m_hvOptionsSaved = m_hvOptions;
    m_hvOptions.bCyclorama = on;
    m_hvOptions.motionModel = on ? PanoramaLib::MotionTranslate : m_hvOptionsSaved.motionModel;
    const bool e = m_doc.enableStitchDlg();
    for (QAbstractButton* b : {static_cast<QAbstractButton*>(ui->rdbMatchingTranslate),
                               static_cast<QAbstractButton*>(ui->rdbMatchingSimple),
                               static_cast<QAbstractButton*>(ui->rdbMatchingAffine)})
        b->setEnabled(!on && e);
    setMotionModelControls(m_hvOptions.motionModel);
}

void MainWindow::enableTLControls(bool on)
{
    ui->chkCompensateLensDistTiled->setEnabled(on);
    ui->chkPolinom24->setEnabled(on && ui->chkCompensateLensDistTiled->isChecked());
}

void MainWindow::enableGeoButtons(bool on)
{
    for (QWidget* w : {static_cast<QWidget*>(ui->rdbCylindrical), static_cast<QWidget*>(ui->rdbSpherical),
                       static_cast<QWidget*>(ui->sldRx), static_cast<QWidget*>(ui->spnRx),
                       static_cast<QWidget*>(ui->sldRy), static_cast<QWidget*>(ui->spnRy),
                       static_cast<QWidget*>(ui->sldRz), static_cast<QWidget*>(ui->spnRz)})
        w->setEnabled(on);
}

void MainWindow::EnableStitchingBtn(bool on) { ui->btnStitch->setEnabled(on); }

const PanoramaOptions* MainWindow::getOptions() const { return m_horzVert ? &m_hvOptions : &m_tiledOptions; }

void MainWindow::stitchButton() { m_doc.onBtnStitch(); }

void MainWindow::refreshStitchButton(const PanoramaOptions& options)
{
    ui->btnStitch->setEnabled(m_doc.enableBtnStitch(options));
}

// ---- Horizontal/Vertical tab --------------------------------------------------------

void MainWindow::setHVMotionModel(MotionModel m)
{
    m_hvOptions.motionModel = m;
    // While the ring is on, the model is forced to 2; the saved copy keeps the user's
    // last choice to come back to.
    if (!m_hvOptions.bCyclorama)
        m_hvOptionsSaved.motionModel = m;
    refreshStitchButton(m_hvOptions);
}

void MainWindow::on_rdbMatchingTranslate_clicked() { setHVMotionModel(PanoramaLib::MotionTranslate); }

void MainWindow::on_rdbMatchingSimple_clicked() { setHVMotionModel(PanoramaLib::MotionSimple); }

void MainWindow::on_rdbMatchingAffine_clicked() { setHVMotionModel(PanoramaLib::MotionAffine); }

void MainWindow::on_cmbFocalLength_currentIndexChanged(int index)
{
    m_hvOptions.nLensType = index;
    refreshStitchButton(m_hvOptions);
}

void MainWindow::on_chkCompensateLensDistHV_clicked()
{
    m_hvOptions.bLensCompensation = ui->chkCompensateLensDistHV->isChecked();
    refreshStitchButton(m_hvOptions);
}

void MainWindow::on_chk360_clicked()
{
    setCyclorama(ui->chk360->isChecked());
    refreshStitchButton(m_hvOptions);
}

void MainWindow::on_rdbAutoMatching_clicked()
{
    m_doc.setManualMatchingMode(false);
    refreshStitchButton(m_hvOptions);
}

void MainWindow::on_rdbManualUnmatched_clicked()
{
    m_doc.setManualMatchingMode(true);
    m_doc.manuallyMatchAllPhotos(false);
    refreshStitchButton(m_hvOptions);
}

void MainWindow::on_rdbManualAll_clicked()
{
    m_doc.setManualMatchingMode(true);
    m_doc.manuallyMatchAllPhotos(true);
    refreshStitchButton(m_hvOptions);
}

// ---- Tiled/Multifocus tab -----------------------------------------------------------

void MainWindow::on_chkCompensateLensDistTiled_clicked()
{
    m_tiledOptions.bLensCompensation = ui->chkCompensateLensDistTiled->isChecked();
    ui->chkPolinom24->setEnabled(m_tiledOptions.bLensCompensation);
    refreshStitchButton(m_tiledOptions);
}

void MainWindow::on_chkPolinom24_clicked(bool checked)
{
    m_tiledOptions.nLensPolynomial = checked ? 1 : 0;
    refreshStitchButton(m_tiledOptions);
}

void MainWindow::on_rdbCylindrical_clicked()
{
    m_tiledOptions.surfaceType = static_cast<PanoramaLib::SurfaceRenderingType>(m_surfaceGroup->checkedId());
    refreshStitchButton(m_tiledOptions);
    m_doc.setRenderSurface(m_tiledOptions.surfaceType, m_rotX, -m_rotY, m_rotZ, true, false);
}

void MainWindow::on_rdbSpherical_clicked() { on_rdbCylindrical_clicked(); }

void MainWindow::sliderMoved(int* angle, int value, QSlider* slider)
{
    *angle = value;
    m_doc.setRenderSurface(m_tiledOptions.surfaceType, m_rotX, -m_rotY, m_rotZ, true, true);
    // Only a drag has a release to end the quick previews. A change by keyboard, wheel,
    // spin box or from the document ends them at once, or the engine would stay in its
    // fast phase and the next render would crop with the old orientation's frame.
    if (!slider->isSliderDown())
        endFastRendering();
}

void MainWindow::endFastRendering()
{
    m_doc.fastRenderingHasFinished();
    m_doc.forceRebuildRect();
}

void MainWindow::on_sldRx_valueChanged(int value) { sliderMoved(&m_rotX, value, ui->sldRx); }

void MainWindow::on_sldRy_valueChanged(int value) { sliderMoved(&m_rotY, value, ui->sldRy); }

void MainWindow::on_sldRz_valueChanged(int value) { sliderMoved(&m_rotZ, value, ui->sldRz); }

void MainWindow::on_sldRx_sliderReleased() { endFastRendering(); }

void MainWindow::on_sldRy_sliderReleased() { endFastRendering(); }

void MainWindow::on_sldRz_sliderReleased() { endFastRendering(); }

// The kind the user picks is the document's selected type at once: Start Stitching! and
// the Stitch action then offer a build of that kind, also right after a build of the
// other one. The options still reach the document only when a build starts.
void MainWindow::on_tabPanoType_currentChanged(int index)
{
    m_horzVert = (index == 0);
    m_doc.setCurPanoramaType(!m_horzVert);
    refreshStitchButton(m_horzVert ? m_hvOptions : m_tiledOptions);
}

// ---- Building, rendering, cropping --------------------------------------------------

void MainWindow::on_btnStitch_clicked()
{
    m_doc.setCurPanoramaType(!m_horzVert);
    if (m_horzVert)
        onHVStitch();
    else
        onTLStitch();
}

void MainWindow::onHVStitch()
{
    // Only the panel's four fields change; crop, strictness and preview size keep the
    // engine's values.
    PanoramaOptions r;
    m_doc.getOptions(&r);
    r.motionModel = m_hvOptions.motionModel;
    r.bLensCompensation = m_hvOptions.bLensCompensation;
    r.nLensType = m_hvOptions.nLensType;
    r.bCyclorama = m_hvOptions.bCyclorama;
    m_doc.setOptions(r);
    m_doc.onBtnStitch();
}

void MainWindow::onTLStitch()
{
    PanoramaOptions r;
    m_doc.getOptions(&r);
    r.bLensCompensation = m_tiledOptions.bLensCompensation;
    r.bBundleAdjustAtEnd = m_tiledOptions.bBundleAdjustAtEnd;
    r.nLensPolynomial = m_tiledOptions.nLensPolynomial;
    r.surfaceType = m_tiledOptions.surfaceType;
    m_doc.setOptions(r);
    m_doc.onBtnStitch();
}

void MainWindow::on_btnRender_clicked() { m_doc.onBtnRender(); }

void MainWindow::on_cmbExportCrop_activated(int index) { m_doc.setCropFlag(index); }
