// The main window's life: construction in a fixed order (form, view and tool, zoom
// controls, browser models, tray, document wiring, which creates both engines, option
// blocks, settings, first task page, update check), the 60 ms refresh of the main
// actions, the zoom actions shared by the panorama view and the thumbnail browser, and
// shutdown. Also three small commands: the view's context menu, Close, directoryOf.
//
// Zoom: the view's scale is a plain factor (1.0 = one image pixel per screen pixel), the
// zoom table and the slider work in percent (0..100 on the slider = 1 %..1000 %).
// GUI thread only.
#include "app/main_window.h"

#include <QAction>
#include <QButtonGroup>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QProgressDialog>
#include <QSlider>
#include <QTimerEvent>

#include "app/desktop_seam.h"
#include "app/pano_view_control.h"
#include "app/panorama_view.h"
#include "app/scroll_view.h"
#include "browser/file_list_model.h"
#include "browser/storyboard_list_view.h"
#include "browser/thumb_delegate.h"
#include "browser/thumbs_manager.h"
#include "document/dlg_about_to_change.h"
#include "ui_main_window.h"

int WindowDocument::runAboutToChangeDialog(bool& dontShow)
{
    dlgAboutToChangeMessage dialog;
    const int result = Desktop::desktop().execDialog(dialog);
    dontShow = dialog.dontShowFlg();
    return result == QDialog::Accepted ? 1 : 0;
}

QSize GetThumbItemSize(int value)
{
    const QSize box = GetThumbsManager().GetThumbnailMaxSize();
    const double percent = value * 0.5 + 50;
    return CalcItemSize(QSize(int(box.width() * percent / 100), int(box.height() * percent / 100)));
}

MainWindow::MainWindow(QWidget* parent, EngineFactories engines)
    : QMainWindow(parent), ui(std::make_unique<Ui_MainWindow>()), m_doc(nullptr, std::move(engines))
{
    ui->setupUi(this);
    setContextMenuPolicy(Qt::NoContextMenu);
    // The side docks take the window's full height.
    setCorner(Qt::TopLeftCorner, Qt::LeftDockWidgetArea);
    setCorner(Qt::BottomLeftCorner, Qt::LeftDockWidgetArea);
    setCorner(Qt::TopRightCorner, Qt::RightDockWidgetArea);
    setCorner(Qt::BottomRightCorner, Qt::RightDockWidgetArea);

    for (int& order : m_sortOrder)
        order = Qt::AscendingOrder;

    // Emitted on the thumbnail builder thread.
    connect(&GetThumbsManager(), &ThumbsManager::thumbnailUpdated, this, &MainWindow::onThumbnalUpdated,
            Qt::QueuedConnection);

    m_panoControl = new PanoViewControl(this);
    m_panoView = new PanoramaView(this);
    m_panoView->setControl(m_panoControl);
    m_panoView->setScaleRange(GetMinZoomFactor() / 100, GetMaxZoomFactor() / 100);
    ui->verticalLayout_19->addWidget(m_panoView, 0);
    m_panoView->setContextMenuPolicy(Qt::CustomContextMenu);
    m_panoControl->setGeoCallback(&m_doc);
    connect(m_panoView, &PanoramaView::scaleChanged, this, &MainWindow::onUpdateStatusBar);
    connect(m_panoView, &PanoramaView::pictureChanged, m_panoView, &PanoramaView::setTextVisible);
    connect(m_panoView, &QWidget::customContextMenuRequested, this, &MainWindow::onPanoramaViewContextMenu);
    m_panoView->setText(tr("Press \"Start Stitching!\" button to build panorama"));

    m_zoomLabel = new QLabel(ui->toolBarZoom);
    m_zoomLabel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    ui->toolBarZoom->insertWidget(ui->actionZoom_out, m_zoomLabel);
    m_zoomSlider = new QSlider(Qt::Horizontal, ui->toolBarZoom);
    m_zoomSlider->setRange(0, 100);
    m_zoomSlider->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    ui->toolBarZoom->insertWidget(ui->actionZoom_in, m_zoomSlider);
    connect(m_zoomSlider, &QSlider::valueChanged, this, &MainWindow::onZoomValueChanged);

    setupBrowser();
    setViewMode(0);
    setSortMode(0, false);

    m_trayModel = new FileListModel(this);
    ui->storyboard->setModel(m_trayModel);
    SetThumbSize(ui->storyboard, GetThumbItemSize(50));
    ui->storyboard->setGridSize(GetThumbItemSize(50));
    ui->storyboard->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->storyboard->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::onselectionStoryboardChanged);

    connect(this, &MainWindow::selectionPresent, ui->btnAddPicture, &QWidget::setEnabled);
    connect(this, &MainWindow::selectionStoryboardPresent, ui->btnRemovePicture, &QWidget::setEnabled);

    m_surfaceGroup = new QButtonGroup(this);
    m_surfaceGroup->addButton(ui->rdbCylindrical, PanoramaLib::SurfaceCylindrical);
    m_surfaceGroup->addButton(ui->rdbSpherical, PanoramaLib::SurfaceSpherical);

    setupActions();
    setupStatusBar();
    m_timerId = startTimer(60);
    m_currentTask = nullptr;

    m_doc.setDocument(this);
    try {
        m_doc.setIUserInterface(this, this);  // creates both engines
    } catch (...) {
        m_panoView->setControl(nullptr);  // as the destructor does: the tool dies first
        throw;
    }
    m_doc.setIUpdate(this);
    m_doc.setICropRect(m_panoControl);
    // Emitted on the tiled engine's render thread.
    connect(this, &MainWindow::onSyncUpdatePanoramaView, &m_doc, &PanoramaDoc::syncUpdatePanoramaView,
            Qt::QueuedConnection);

    m_hvOptions = PanoramaLib::PanoramaOptions{};
    m_hvOptions.motionModel = PanoramaLib::MotionTranslate;
    m_hvOptions.bLensCompensation = false;
    m_hvOptions.nLensType = 7;  // 35 mm
    m_hvOptions.bCyclorama = false;
    m_tiledOptions = PanoramaLib::PanoramaOptions{};

    loadSettings();
    m_progress = nullptr;
    m_hvOptionsSaved = m_hvOptions;

    switchTaskMode(ui->tabAddImages);

    ui->tabPanoType->setCurrentIndex(m_horzVert ? 0 : 1);
    ui->btnAddPicture->setEnabled(false);
    ui->btnRemovePicture->setEnabled(false);
    m_doc.setPanoramaType(!m_horzVert);
    m_doc.setCurPanoramaType(!m_horzVert);

    loadPanoOptions();
    onHVInitDialog();
    onTLInitDialog();

    m_printSite.setDocument(&m_doc);
    m_printSite.setUnits(m_unitsInch);
    m_printSite.getPageSetup().overlapMarks = m_printMarkers;
    // The printer's page setup dialog is modal: it goes through the desktop seam.
    m_printSite.setPageSetupDialog(
        [](QPrinter& printer, QWidget* parent) { return Desktop::desktop().pageSetup(printer, parent); });
    initPrintingDialog();

    // From here on every change of the tray asks the document first.
    m_trayModel->setObserver(&m_doc);

    startUpdateCheck(false);  // on its schedule; the answer arrives queued
    if (vnVersion::isBeta())
        setWindowTitle(windowTitle() + QLatin1String(" BETA"));
}

std::unique_ptr<MainWindow> MainWindow::create(EngineFactories engines)
{
    try {
        return std::make_unique<MainWindow>(nullptr, std::move(engines));
    } catch (const std::exception& e) {
        Desktop::desktop().warning(nullptr, tr("VARNO Vistaloom"),
                                   tr("The program cannot start.\n%1").arg(QString::fromUtf8(e.what())), QMessageBox::Ok,
                                   QMessageBox::NoButton);
        return nullptr;
    }
}

MainWindow::~MainWindow()
{
    killTimer(m_timerId);
    m_timerId = 0;
    saveSettings();  // the one place the settings are written
    // The engines go before anything of the window does: releasing them joins the tiled
    // render thread, whose last picture must not reach a half-destroyed window.
    disconnect(this, &MainWindow::onSyncUpdatePanoramaView, &m_doc, &PanoramaDoc::syncUpdatePanoramaView);
    m_trayModel->setObserver(nullptr);
    CloseProgressIndicator();
    // The tool dies before the view among the window's children: unplug it first.
    m_panoView->setControl(nullptr);
    // Released here rather than by ~PanoramaDoc: the render thread may still be inside the
    // document when WindowDocument's part of it starts to go. The form, the view and the
    // tray are all still alive; m_doc, ui and the widgets follow.
    m_doc.releaseEngines();
}

void MainWindow::timerEvent(QTimerEvent* e)
{
    if (m_timerId != 0 && e->timerId() == m_timerId)
        updateActions();
}

void MainWindow::updateActions()
{
    const bool canSave = m_doc.enableBtnSave();
    ui->action_Export->setEnabled(canSave);
    ui->action_Stitch->setEnabled(m_doc.enableBtnStitch(m_horzVert ? m_hvOptions : m_tiledOptions));
    ui->action_Render->setEnabled(m_doc.enableBtnRender() &&
                                  (m_currentTask == ui->tabStitch || m_currentTask == ui->tabExport));
    ui->actionPrint_pre_view->setEnabled(canSave);
    ui->action_Print->setEnabled(canSave);

    if (m_panoView->isVisible() && m_panoView->hasPicture()) {
        const double percent = m_panoView->scaleFactor() * 100;
        ui->actionZoom_in->setEnabled(CanNextZoomFactor(percent, true));
        ui->actionZoom_out->setEnabled(CanNextZoomFactor(percent, false));
        m_zoomSlider->setEnabled(true);
        enablePanoZoomActions(true);
    } else if (m_currentTask == ui->tabAddImages && m_viewMode == 0) {
        ui->actionZoom_in->setEnabled(m_thumbSizeValue <= 99);
        ui->actionZoom_out->setEnabled(m_thumbSizeValue > 0);
        m_zoomSlider->setEnabled(true);
        enablePanoZoomActions(false);
    } else {
        ui->actionZoom_in->setEnabled(false);
        ui->actionZoom_out->setEnabled(false);
        m_zoomSlider->setEnabled(false);
        enablePanoZoomActions(false);
    }
}

void MainWindow::setupActions()
{
    connect(ui->action_Actual_1_1, &QAction::triggered, m_panoView, &PanoramaView::zoomToActual, Qt::DirectConnection);
    connect(ui->actionFit_window, &QAction::triggered, m_panoView, &PanoramaView::zoomToWindow, Qt::DirectConnection);
    connect(ui->actionFit_width, &QAction::triggered, m_panoView, &PanoramaView::zoomToWidth, Qt::DirectConnection);
    connect(ui->actionFit_height, &QAction::triggered, m_panoView, &PanoramaView::zoomToHeight, Qt::DirectConnection);
}

void MainWindow::enablePanoZoomActions(bool on)
{
    for (QAction* a : {ui->action_Actual_1_1, ui->actionFit_window, ui->actionFit_width, ui->actionFit_height})
        a->setEnabled(on);
}

void MainWindow::enableAddImagesActions(bool on)
{
    for (QAction* a : {ui->action_Add_images, ui->action_Remove_Image, ui->action_Remove_All_Images,
                       ui->action_Thumbnails, ui->action_List, ui->action_Details, ui->action_Name, ui->action_Size,
                       ui->action_Type, ui->action_Date, ui->action_DCFN, ui->action_Refresh})
        a->setEnabled(on);
}

namespace {

// One thumbnail zoom step: ten points of 0..100.
int thumbStep(int value, bool up)
{
    int v = value + (up ? 10 : -10);
    if (v > 99)
        v = 100;
    if (v <= 0)
        v = 0;
    return v;
}

}  // namespace

void MainWindow::on_actionZoom_in_triggered()
{
    if (m_panoView->isVisible() && m_panoView->hasPicture())
        m_panoView->setScaleFactor(GetNextZoomFactor(m_panoView->scaleFactor() * 100, true) / 100);
    else if (m_currentTask == ui->tabAddImages && m_viewMode == 0)
        m_thumbSizeValue = thumbStep(m_thumbSizeValue, true);
    updateZoomSlider();
    updateThumbsSizes(false);
}

void MainWindow::on_actionZoom_out_triggered()
{
    if (m_panoView->isVisible() && m_panoView->hasPicture())
        m_panoView->setScaleFactor(GetNextZoomFactor(m_panoView->scaleFactor() * 100, false) / 100);
    else if (m_currentTask == ui->tabAddImages && m_viewMode == 0)
        m_thumbSizeValue = thumbStep(m_thumbSizeValue, false);
    updateZoomSlider();
    updateThumbsSizes(false);
}

void MainWindow::updateZoomSlider()
{
    m_zoomSliderGuard = true;
    if (m_panoView->isVisible() && m_panoView->hasPicture()) {
        const double scale = m_panoView->scaleFactor();
        const double lo = m_panoView->minScale();
        const double hi = m_panoView->maxScale();
        if (hi > lo)
            m_zoomSlider->setValue(int((scale - lo) * 100 / (hi - lo)));
    } else if (m_currentTask == ui->tabAddImages) {
        m_zoomSlider->setValue(m_thumbSizeValue);
    }
    m_zoomSliderGuard = false;
}

QAbstractItemView* MainWindow::currentItemView() const
{
    if (m_viewMode == 2)
        return ui->detailsView;
    return ui->listView;
}

// ---- Small commands -----------------------------------------------------------------

void MainWindow::onPanoramaViewContextMenu(const QPoint& pos)
{
    QMenu menu(m_panoView);
    menu.addAction(ui->actionZoom_in);
    menu.addAction(ui->actionZoom_out);
    menu.addAction(ui->actionFit_window);
    menu.addAction(ui->actionFit_width);
    menu.addAction(ui->actionFit_height);
    menu.addAction(ui->action_Actual_1_1);
    Desktop::desktop().execMenu(menu, m_panoView->mapToGlobal(pos));
}

void MainWindow::on_actionClose_triggered() { QCoreApplication::quit(); }

void MainWindow::showAtStart()
{
    // The form is taller than most screens; where no window manager maximises (or before
    // it does) the window still fits the screen.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        if (!available.contains(geometry()))
            setGeometry(available);
    }
    showMaximized();
}

QDir MainWindow::directoryOf(const QString& name)
{
    QDir dir(QCoreApplication::applicationDirPath());
    if (dir.dirName() == QLatin1String("MacOS"))
        dir.cdUp();
    if (dir.cd(name))
        return dir;
    // An installed program keeps its data in <prefix>/share/vistaloom/ (cmake --install),
    // whatever the name of the program that asks (the end-to-end test runs from there too).
    QDir shared(QCoreApplication::applicationDirPath() + QLatin1String("/../share/vistaloom"));
    if (shared.cd(name))
        return QDir(shared.canonicalPath());
    return dir;  // still names the starting folder
}
