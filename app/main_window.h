// The program's one main window: it wires the form (main_window.ui) to the document, the
// panorama view, the browser models and the picture tray, and it is the user interface
// the document and both engines call back into (progress dialog, messages, highlights,
// panel refreshes, the tray as the document's file list).
//
// Its operations are spread over several files by area:
//   main_window.cpp              construction, shutdown, the 60 ms action refresh, zoom,
//                                the view's context menu, Close, directoryOf
//   main_window_progress.cpp     IProgressIndicator, IUserInterface(Ex), IUpdate,
//                                IPanoramaDocument
//   main_window_stitch_panel.cpp the Stitch panel's option blocks and controls
//   main_window_help.cpp         the Help menu: update check and its answer, About,
//                                help topics, home page
//   main_window_print.cpp        the Export panel: page setup, printing, preview, saving,
//                                the preferences
//   main_window_browser.cpp      the browser panel: folder tree, file views, sorting,
//                                thumbnail sizes, visited folders, refresh
//   main_window_tray.cpp         the picture tray's commands
//   main_window_status.cpp       the status bar's six fields
//   main_window_modes.cpp        the three task modes and the commands that switch first
//   main_window_settings.cpp     reading and writing the stored settings
//
// Thread: GUI thread only. The one exception is AsyncUpdatePanoramaView, which the tiled
// engine's render thread calls; it only emits onSyncUpdatePanoramaView, queued to the
// document. Modal and desktop calls go through Desktop::desktop() (app/desktop_seam.h).
//
// Ownership: the window owns the form (ui) and the document (m_doc, by value; it owns
// both engines); every other object it makes has the window as Qt parent. ui is declared
// before m_doc so the document, and with it the engines, is gone before the form
// structure is; the widgets themselves die last, with the QMainWindow base.
#pragma once

#include <memory>

#include <QDir>
#include <QItemSelection>
#include <QMainWindow>
#include <QStringList>

#include "app/progress_dialog.h"
#include "document/document_interfaces.h"
#include "document/panorama_doc.h"
#include "document/print_site.h"
#include "engine/panorama_interfaces.h"
#include "update/auto_update.h"

class DirFilterModel;
class FileListModel;
class FilesFilterModel;
class QMacDirModel;
class ThumbsFileSystemModel;
class PanoViewControl;
class PanoramaView;
class QAbstractItemView;
class QButtonGroup;
class QLabel;
class QLineEdit;
class QPrinter;
class QSlider;
class Ui_MainWindow;

// The item size of a thumbnail cell at a zoom value 0..100: the thumbnail box scaled by
// 50 % (at 0) to 100 % (at 100), plus the cell's caption and frame.
QSize GetThumbItemSize(int value);

// The document as the window holds it: its one modal question (the warning before the
// photo list of a built panorama changes) goes through the desktop seam like every other
// modal call of the window.
class WindowDocument : public PanoramaDoc {
public:
    using PanoramaDoc::PanoramaDoc;

protected:
    int runAboutToChangeDialog(bool& dontShow) override;
};

class MainWindow : public QMainWindow,
                   public PanoramaLib::IProgressIndicator,
                   public IUserInterfaceEx,
                   public IUpdate,
                   public IPanoramaDocument {
    Q_OBJECT

public:
    // The file views' mode: 0 thumbnails, 1 list, 2 details; -1 before the first is set.
    using ViewMode = int;
    // The file views' sort column: 0 name, 1 size, 2 type, 3 date, 4 camera (DCF) number;
    // -1 before the first is set.
    using SortMode = int;

    // `engines` makes the document's two engines (tests hand in fakes).
    explicit MainWindow(QWidget* parent = nullptr, EngineFactories engines = {});
    ~MainWindow() override;
    // The window, or null when it cannot be built (an engine that cannot be made, memory
    // that runs out): the user has then been told what failed.
    static std::unique_ptr<MainWindow> create(EngineFactories engines = {});
    // Shows the window maximised at start-up; a geometry restored from the settings is
    // kept for when the user un-maximises, unless it does not fit the screen.
    void showAtStart();

    // ---- PanoramaLib::IProgressIndicator (main_window_progress.cpp) -------------------
    void OpenProgressIndicator() override;
    void OpenProgressIndicatorWOAbort() override;
    void CloseProgressIndicator() override;
    void SetProgressCaption(unsigned id) override;
    void SetProgressCaption(unsigned id, const std::wstring& text) override;
    bool AbortProgressIndicator(int max, int value) override;
    void HideProgress(bool hide) override;

    // ---- PanoramaLib::IUserInterface and IUserInterfaceEx -----------------------------
    void UpdateUserWndInterface() override;
    void UpdatePictureView(bool fitToWindow) override;
    // 1 when the pair was not matched by the user (refused, closed, or a photo missing).
    int OpenManualMatchingDialog(PanoramaLib::IPanoElement* first, PanoramaLib::IPanoElement* second,
                                 PanoramaLib::IManualMatcher* matcher) override;
    void HighlightImage(const std::wstring& path, bool on) override;
    void AsyncUpdatePanoramaView(long wParam, long lParam) override;  // any thread
    void ShowMessageBox(unsigned id) override;
    bool PromptAcceptPanorama(int unmatched, int total) override;
    bool PromptAcceptCyclorama() override;
    bool HasPrinter() override;
    void HighlightImages(const std::list<std::wstring>& paths, bool on) override;

    // ---- IUpdate ----------------------------------------------------------------------
    void UpdateStitchingDialog() override;
    void UpdateExportDialog() override;

    // ---- IPanoramaDocument (the picture tray) -----------------------------------------
    void getFiles(std::list<std::wstring>& out) override;
    bool findFile(std::wstring path) override;
    void removeImages(const std::list<std::wstring>& paths) override;
    bool hasImages() override;
    int numImages() override;
    void setModifiedFlag(bool modified) override;
    void updateAllViews(int hint) override;

    // Texts of the progress captions and the message boxes by id ("Unknown message %1").
    static QString progressCaptionText(unsigned id, const QString& arg);
    static QString messageText(unsigned id);

    // ---- Stitch panel (main_window_stitch_panel.cpp) ----------------------------------
    void onHVInitDialog();
    void onTLInitDialog();
    void setMotionModelControls(PanoramaLib::MotionModel m);
    void setMatchModeControls(bool manual, bool all);
    void setCyclorama(bool on);
    void enableTLControls(bool on);
    void enableGeoButtons(bool on);
    void EnableStitchingBtn(bool on);
    const PanoramaLib::PanoramaOptions* getOptions() const;
    void stitchButton();
    void printRxyz() {}

    // ---- Actions and zoom (main_window.cpp) -------------------------------------------
    void updateActions();
    void setupActions();
    void enablePanoZoomActions(bool on);
    void enableAddImagesActions(bool on);
    void updateZoomSlider();
    QAbstractItemView* currentItemView() const;
    // A folder beside the program (or beside an application bundle's MacOS folder).
    static QDir directoryOf(const QString& name);

    // ---- Access for neighbours and tests ----------------------------------------------
    Ui_MainWindow* form() const { return ui.get(); }
    PanoramaDoc& document() { return m_doc; }
    Printing::PrintSite& printSite() { return m_printSite; }
    PanoramaView* panoramaView() const { return m_panoView; }
    PanoViewControl* panoramaControl() const { return m_panoControl; }
    FileListModel* trayModel() const { return m_trayModel; }
    ProgressDialog* progressDialog() const { return m_progress; }
    const QString& progressCaption() const { return m_progressCaption; }
    QSlider* zoomSlider() const { return m_zoomSlider; }
    QWidget* currentTask() const { return m_currentTask; }
    int actionTimerId() const { return m_timerId; }
    const PanoramaLib::PanoramaOptions& hvOptions() const { return m_hvOptions; }
    const PanoramaLib::PanoramaOptions& hvOptionsSaved() const { return m_hvOptionsSaved; }
    const PanoramaLib::PanoramaOptions& tiledOptions() const { return m_tiledOptions; }
    bool horzVert() const { return m_horzVert; }
    int thumbSizeValue() const { return m_thumbSizeValue; }
    ViewMode viewMode() const { return m_viewMode; }
    SortMode sortMode() const { return m_sortMode; }
    Qt::SortOrder sortOrder(int mode) const { return Qt::SortOrder(m_sortOrder[mode]); }
    ThumbsFileSystemModel* filesModel() const { return m_filesModel; }
    QMacDirModel* dirModel() const { return m_dirModel; }
    FilesFilterModel* currentFilesModel() const;
    bool statusBarVisible() const { return m_statusBarVisible; }
    const QStringList& browserStatusTexts() const { return m_browserStatusTexts; }
    QLabel* statusLabel(int i) const { return m_statusLabels[i]; }

    // ---- Task modes (main_window_modes.cpp) -------------------------------------------
    void switchTaskMode(QWidget* page);

    // ---- Browser panel (main_window_browser.cpp) --------------------------------------
    void setViewMode(ViewMode mode);
    void setSortMode(SortMode mode, bool keepOrder);
    void updateSortMode();
    void updateThumbsSizes(bool force);
    // Shows a folder of the tree model in the file views and adds it to the history; an
    // index of no folder (a folder that is gone) leaves no folder shown.
    void setFolder(const QModelIndex& treeIndex);
    // Shows a folder by path; false when the tree does not know it.
    bool showFolder(const QString& path);
    void refresh(bool treeOnly);
    // Lists again, from the disk, every folder the tree has listed, keeping the tree's
    // current folder and open branches ("Refresh tree").
    void rereadTree();
    // rereadTree, and the folder the file views show, keeping the selection.
    void rereadFolders();
    void showBrowserCtxMenu(const QPoint& pos);

    // ---- Picture tray commands (main_window_tray.cpp) ---------------------------------
    // Puts the browser's selected files on the tray; loadImages is the task switch's name
    // for it (leaving Add Images with an empty tray takes the browser's selection).
    void appendSelected();
    void loadImages() { appendSelected(); }
    void removeSelected();

    // ---- Status bar (main_window_status.cpp) ------------------------------------------
    void setStatusTexts(const QString& t1, const QString& t2, const QString& t3, const QString& t4,
                        const QString& t5, const QString& t6, bool remember);
    // Recomputes the browser's texts now; scheduleStatusBarUpdate does it once the
    // events already queued (a rubber band's selection steps) are handled.
    void updateStatusBar();
    void scheduleStatusBarUpdate();
    static QString formatFileSize(double bytes);
    void showStatusBar(bool show);

    // ---- Help menu (main_window_help.cpp) ---------------------------------------------
    // A new checker, child of the window, answering to onProcessAutoUpdate.
    VnAutoUpdate* startUpdateCheck(bool manual);
    // Where the checks of "Check for Updates..." go (tests point it at their own server).
    void setUpdateEndpoint(const UpdateEndpoint& endpoint) { m_updateEndpoint = endpoint; }
    static QString homePageAddress();
    // ---- Print and export panel (main_window_print.cpp) --------------------------------
    // Whole-panel refresh from the print site (marker 1 while it runs).
    void updatePageSetupDialog();
    void updatePrintRange(bool withCount);
    void printPanorama();
    void printPreview();
    // Saves the rendered result; an empty name asks the user. false when nothing was saved.
    bool doSave(QString name);
    bool writeBehindProgress(const QString& name, const std::function<bool()>& write);
    // The name a save dialog's answer is written to: the chosen filter's extension is
    // added unless the name already ends in it (any case); a trailing '.' is dropped first.
    static QString forcedSaveName(const QString& name, const QString& filter);

signals:
    void onSyncUpdatePanoramaView(long wParam, long lParam);
    // The print loop drew a page (1-based) of the job under way.
    void pagePrinted(int page);
    void selectionPresent(bool hasSelection);
    void selectionStoryboardPresent(bool hasSelection);

public slots:
    // Form slots, connected by name.
    void on_actionZoom_in_triggered();
    void on_actionZoom_out_triggered();
    void on_actionClose_triggered();
    void on_treeView_pressed(const QModelIndex&) {}
    void on_treeView_entered(const QModelIndex&) {}

    void on_rdbMatchingTranslate_clicked();
    void on_rdbMatchingSimple_clicked();
    void on_rdbMatchingAffine_clicked();
    void on_cmbFocalLength_currentIndexChanged(int index);
    void on_chkCompensateLensDistHV_clicked();
    void on_chk360_clicked();
    void on_rdbAutoMatching_clicked();
    void on_rdbManualUnmatched_clicked();
    void on_rdbManualAll_clicked();
    void on_chkCompensateLensDistTiled_clicked();
    void on_chkPolinom24_clicked(bool checked);
    void on_rdbCylindrical_clicked();
    void on_rdbSpherical_clicked();
    void on_sldRx_valueChanged(int value);
    void on_sldRy_valueChanged(int value);
    void on_sldRz_valueChanged(int value);
    void on_sldRx_sliderReleased();
    void on_sldRy_sliderReleased();
    void on_sldRz_sliderReleased();
    void on_tabPanoType_currentChanged(int index);
    void on_btnStitch_clicked();
    void on_btnRender_clicked();
    void on_cmbExportCrop_activated(int index);

    void onPanoramaViewContextMenu(const QPoint& pos);

    // Help menu and the update check (main_window_help.cpp).
    void onProcessAutoUpdate(VnAutoUpdate* autoupdate);
    void on_actionCheck_for_Updates_triggered();
    void on_actionAbout_triggered();
    void on_actionHelp_topics_triggered();
    void on_actionHome_page_triggered();
    // Print and export panel (main_window_print.cpp).
    void on_cmbPrinter_currentIndexChanged(int index);
    void on_numPages_editingFinished();
    void on_fitToPage_clicked(bool checked);
    void on_manual_clicked(bool checked);
    void on_keepProportion_clicked(bool checked);
    void on_pageWidth_textChanged(const QString&);
    void on_pageWidth_editingFinished();
    void on_pageHeight_textChanged(const QString&);
    void on_pageHeight_editingFinished();
    void on_overlap_editingFinished();
    void on_chOverlap_clicked();
    void on_marginsLeft_editingFinished();
    void on_marginsTop_editingFinished();
    void on_marginsRight_editingFinished();
    void on_marginsBottom_editingFinished();
    void on_pageFrom_editingFinished();
    void on_pageTo_editingFinished();
    void on_btnPrint_pressed();
    void on_action_Print_triggered();
    void on_btnExportPrintPreview_clicked();
    void on_actionPrint_pre_view_triggered();
    void on_btnPrintProps_clicked();
    void on_actionPrint_setup_triggered();
    void on_btnExport_clicked();
    void on_actionPreferences_triggered();
    // Prints the print site's range on `printer` behind a progress dialog that can cancel.
    void printDocument(QPrinter* printer);

    // Browser panel (main_window_browser.cpp).
    void on_action_Thumbnails_triggered();
    void on_action_List_triggered();
    void on_action_Details_triggered();
    void on_action_Name_triggered();
    void on_action_Size_triggered();
    void on_action_Type_triggered();
    void on_action_Date_triggered();
    void on_action_DCFN_triggered();
    void onSortIndicatorChanged(int column, Qt::SortOrder order);
    void onZoomValueChanged(int value);
    void on_treeView_clicked(const QModelIndex& index);
    void on_treeView_activated(const QModelIndex& index);
    void on_cmbVisitedFolders_activated(int index);
    void on_btnUpFolder_clicked();
    void on_action_Refresh_triggered();
    void on_btnRefresh_clicked();
    void onThumbnalUpdated(const QString& path);
    void onLayoutChanged();
    void onselectionChanded(const QItemSelection& selected, const QItemSelection& deselected);
    void on_listView_customContextMenuRequested(const QPoint& pos);
    void on_detailsView_customContextMenuRequested(const QPoint& pos);
    void on_listView_indexesMoved(const QModelIndexList& indexes);

    // Picture tray commands (main_window_tray.cpp).
    void on_btnAddPicture_clicked();
    void on_listView_doubleClicked(const QModelIndex& index);
    void on_detailsView_doubleClicked(const QModelIndex& index);
    void on_action_Add_images_triggered();
    void on_btnOpen_clicked();
    void on_btnRemovePicture_clicked();
    void on_storyboard_doubleClicked(const QModelIndex& index);
    void on_action_Remove_All_Images_triggered();
    void on_storyboard_customContextMenuRequested(const QPoint& pos);
    void onselectionStoryboardChanged(const QItemSelection& selected, const QItemSelection& deselected);

    // Status bar (main_window_status.cpp).
    void onUpdateStatusBar();
    void on_action_Status_bar_triggered();

    // Task modes (main_window_modes.cpp).
    void on_action_switch_Add_Images_triggered();
    void on_action_switch_Stitch_triggered();
    void on_action_switch_Export_triggered();
    void on_action_Stitch_triggered();
    void on_action_Render_triggered();
    void on_action_Export_triggered();

protected:
    void timerEvent(QTimerEvent* e) override;

private:
    void switchTaskModeInternal(QWidget* newPage, QWidget* oldPage);
    void setupBrowser();
    void setupStatusBar();
    void loadSettings();
    void saveSettings();
    void loadPanoOptions();
    // The user's tray commands act only while the tray can be edited (Add Images).
    bool trayEditable() const;

    void initPrintingDialog();  // main_window_print.cpp

    void openProgress(bool withCancel);
    // An information box from the engines or the document, the progress dialog held below.
    void showWorkMessage(const QString& text);
    void onHVStitch();
    void onTLStitch();
    // btnStitch enabled iff the document would build anew with these options.
    void refreshStitchButton(const PanoramaLib::PanoramaOptions& options);
    void setHVMotionModel(PanoramaLib::MotionModel m);
    void sliderMoved(int* angle, int value, QSlider* slider);
    void endFastRendering();

    std::unique_ptr<Ui_MainWindow> ui;  // declared first: outlives the document
    bool m_zoomSliderGuard = false;
    FileListModel* m_trayModel = nullptr;
    // Browser models (main_window_browser.cpp), children of the window.
    QMacDirModel* m_dirModel = nullptr;
    DirFilterModel* m_treeModel = nullptr;
    ThumbsFileSystemModel* m_filesModel = nullptr;
    FilesFilterModel* m_thumbProxy = nullptr;
    FilesFilterModel* m_detailsProxy = nullptr;
    int m_timerId = 0;
    QLabel* m_zoomLabel = nullptr;
    QSlider* m_zoomSlider = nullptr;
    ViewMode m_viewMode = -1;
    SortMode m_sortMode = -1;
    int m_sortOrder[5] = {};
    PanoViewControl* m_panoControl = nullptr;
    PanoramaView* m_panoView = nullptr;
    QButtonGroup* m_surfaceGroup = nullptr;
    WindowDocument m_doc;
    int m_pageSetupUpdating = 1;
    Printing::PrintSite m_printSite;
    QWidget* m_currentTask = nullptr;
    bool m_exportCommandSwitch = false;  // File > Export's switch to Export is under way
    ProgressDialog* m_progress = nullptr;
    QString m_progressCaption;
    bool m_statusBarVisible = false;
    bool m_statusBarReady = false;
    QStringList m_browserStatusTexts = QStringList(6, QString());
    QLabel* m_statusLabels[6] = {};
    bool m_statusUpdateQueued = false;
    int m_thumbSizeValue = 50;
    bool m_unitsInch = true;
    bool m_printMarkers = true;
    bool m_horzVert = true;
    PanoramaLib::PanoramaOptions m_hvOptions;
    PanoramaLib::PanoramaOptions m_hvOptionsSaved;
    PanoramaLib::PanoramaOptions m_tiledOptions;
    int m_rotX = 0;
    int m_rotY = 0;
    int m_rotZ = 0;
    UpdateEndpoint m_updateEndpoint;

    // Print and export panel (main_window_print.cpp).
    void setPageWidth(bool finished);
    void setPageHeight(bool finished);
    // Renders first when nothing printable is held; true when a printable result exists.
    bool renderForPrinting();
    bool noValidPrinter();
    void setMargin(QLineEdit* field, bool (Printing::PrintSite::*set)(const QString&), int32_t Printing::PageSetup::*margin);
    // The document's print direction as the panel last saw it: a change resets the print
    // size. One per window, so that no window sees another's direction.
    bool fOldHorz = true;
};
