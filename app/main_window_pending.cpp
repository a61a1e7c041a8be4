// Operations of the main window whose areas are still to come. Each stub names what
// plugs in; the engineer of that area moves it into the area's own file. Until then
// they do nothing, so the window runs with those areas inert. GUI thread only.
#include "app/main_window.h"

// Task modes: the switch of side page, central page, tray state and document mode;
// until then only the page asked for is recorded.
void MainWindow::switchTaskMode(QWidget* page) { m_currentTask = page; }

// Status bar: the six labels and their texts.
void MainWindow::setupStatusBar() {}
void MainWindow::onUpdateStatusBar() {}

// Settings store: groups "application", "options", "stitching", "panorama".
void MainWindow::loadSettings() {}
void MainWindow::saveSettings() {}
void MainWindow::loadPanoOptions() {}

// Browser panel: view and sort modes, thumbnail sizes, the thumbnail slider, thumbnails
// arriving from the builder thread.
void MainWindow::setViewMode(int mode) { m_viewMode = mode; }
void MainWindow::setSortMode(int mode, bool) { m_sortMode = mode; }
void MainWindow::updateThumbsSizes(bool) {}
void MainWindow::onZoomValueChanged(int) {}
void MainWindow::onThumbnalUpdated(const QString&) {}

// Picture tray commands: the Remove button follows the tray's selection.
void MainWindow::onselectionStoryboardChanged(const QItemSelection&, const QItemSelection&) {}
