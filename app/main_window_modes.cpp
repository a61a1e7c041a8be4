// The three task modes, "1. Add Images", "2. Stitch" and "3. Export": the switch of the
// side page, the central page, the dock's title, the tray's state, the browser actions,
// the status bar and the document's task mode; on the way into Stitch or Export a tray of
// fewer than two photos is topped up from the browser's selection, and a panorama is built when
// Export is entered with no render pending. Also the commands that switch before they act
// (Stitch, Render, Export).
//
// GUI thread only. Builds run synchronously behind the document's progress dialog.
#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDockWidget>
#include <QRadioButton>
#include <QScopedValueRollback>
#include <QStackedWidget>
#include <QTabWidget>

#include "app/main_window.h"
#include "app/panorama_view.h"
#include "browser/storyboard_list_view.h"
#include "document/engine_host.h"
#include "ui_main_window.h"

void MainWindow::switchTaskMode(QWidget* page)
{
    if (ui->stackMainTask->currentWidget() != page) {
        ui->stackedWidget->setCurrentWidget(ui->pageWait);
        ui->stackMainTask->setCurrentWidget(page);
    }
    ui->action_switch_Add_Images->setChecked(page == ui->tabAddImages);
    ui->action_switch_Stitch->setChecked(page == ui->tabStitch);
    ui->action_switch_Export->setChecked(page == ui->tabExport);
    if (page == ui->tabAddImages)
        ui->dockSideBar->setWindowTitle(tr("Folders"));
    else if (page == ui->tabStitch)
        ui->dockSideBar->setWindowTitle(tr("Stitch"));
    else if (page == ui->tabExport)
        ui->dockSideBar->setWindowTitle(tr("Export"));
    ui->storyboard->setReadOnly(page != ui->tabAddImages);
    ui->dockStoryboardBar->setVisible(page != ui->tabExport);

    QWidget* old = m_currentTask;
    m_currentTask = page;
    switchTaskModeInternal(page, old);

    if (page == ui->tabAddImages) {
        ui->stackedWidget->setCurrentWidget(ui->pageAddImages);
        const QStringList& t = m_browserStatusTexts;
        setStatusTexts(t[0], t[1], t[2], t[3], t[4], t[5], false);
    } else if (page == ui->tabStitch || page == ui->tabExport) {
        ui->stackedWidget->setCurrentWidget(ui->pageStitch);
        setStatusTexts(QString(), m_panoView->printScale(), QString(), QString(), QString(), m_doc.printPanoramaInfo(),
                       false);
    }
    updateZoomSlider();
    enableAddImagesActions(page == ui->tabAddImages);
}

void MainWindow::switchTaskModeInternal(QWidget* newPage, QWidget* oldPage)
{
    WaitCursor busy;
    bool recursed = false;
    const bool leavesBrowser = newPage == ui->tabStitch || newPage == ui->tabExport;
    // A tray that cannot be stitched is topped up from the browser's selection.
    if (leavesBrowser && !m_doc.canCreatePanorama()) {
        loadImages();
        if (newPage == ui->tabExport && m_doc.canCreatePanorama()) {
            switchTaskModeInternal(ui->tabStitch, oldPage);
            recursed = true;
        }
    }

    // Export with no render pending builds a preview first: nothing built yet, the photos
    // changed since, or the full-size image already made (its preview is built again). File >
    // Export's own switch keeps a rendered result: that command saves it, and a rebuild would
    // leave it nothing to save.
    const bool keepRendered = m_exportCommandSwitch && m_doc.enableBtnSave();
    if (m_doc.canCreatePanorama() && newPage == ui->tabExport && !m_doc.enableBtnRender() && !keepRendered) {
        if (!recursed)
            switchTaskModeInternal(ui->tabStitch, oldPage);
        const bool tiled = ui->tabPanoType->currentIndex() != 0;
        // The visible tab's controls, not the option blocks: what the user sees is built.
        PanoramaLib::PanoramaOptions r{};
        if (!tiled) {
            if (ui->rdbMatchingSimple->isChecked())
                r.motionModel = PanoramaLib::MotionModel(1);
            else if (ui->rdbMatchingTranslate->isChecked())
                r.motionModel = PanoramaLib::MotionModel(2);
            else
                r.motionModel = PanoramaLib::MotionModel(0);
            r.bLensCompensation = ui->chkCompensateLensDistHV->isChecked();
            r.nLensType = ui->cmbFocalLength->currentIndex();
            r.bCyclorama = ui->chk360->isChecked();
        } else {
            r.bLensCompensation = ui->chkCompensateLensDistTiled->isChecked();
            r.nLensPolynomial = ui->chkPolinom24->isChecked() ? 1 : 0;
            r.surfaceType = PanoramaLib::SurfaceRenderingType(std::max(0, m_surfaceGroup->checkedId()));
        }
        m_doc.setPanoramaType(tiled);
        m_doc.setCurPanoramaType(tiled);
        m_doc.setOptions(r);
        m_doc.createPanorama(!tiled);
    }

    if (oldPage == ui->tabAddImages)
        m_doc.freePanorama();

    if (newPage == ui->tabAddImages)
        m_doc.setTaskMode(TaskMode::TaskAddImages);
    else if (newPage == ui->tabStitch)
        m_doc.setTaskMode(TaskMode::TaskStitch);
    else if (newPage == ui->tabExport)
        m_doc.setTaskMode(TaskMode::TaskExport);
}

void MainWindow::on_action_switch_Add_Images_triggered() { switchTaskMode(ui->tabAddImages); }
void MainWindow::on_action_switch_Stitch_triggered() { switchTaskMode(ui->tabStitch); }
void MainWindow::on_action_switch_Export_triggered() { switchTaskMode(ui->tabExport); }

void MainWindow::on_action_Stitch_triggered()
{
    switchTaskMode(ui->tabStitch);
    m_doc.onBtnStitch();
}

void MainWindow::on_action_Render_triggered()
{
    switchTaskMode(ui->tabExport);
    m_doc.onBtnRender();
}

void MainWindow::on_action_Export_triggered()
{
    {
        const QScopedValueRollback<bool> saving(m_exportCommandSwitch, true);
        switchTaskMode(ui->tabExport);
    }
    doSave(QString());
}
