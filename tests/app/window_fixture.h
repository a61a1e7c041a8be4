// A main window built offscreen with a scripted desktop installed, so nothing it does can
// block in a modal loop; the window (and its document with both real engines) dies
// before the desktop is uninstalled. Each window starts from an empty settings store (the
// windows before it wrote theirs when they closed). GUI thread.
#pragma once

#include <memory>

#include <gtest/gtest.h>

#include "app/desktop_seam.h"
#include "app/main_window.h"
#include "tests/support/scripted_desktop.h"
#include "update/settings_store.h"
#include "ui_main_window.h"

class WindowTest : public ::testing::Test {
protected:
    ScriptedDesktop desk;
    Desktop::ScopedDesktop use{desk};
    bool cleared = (SettingsStore().clear(), true);
    std::unique_ptr<MainWindow> w = std::make_unique<MainWindow>();

    Ui_MainWindow& ui() { return *w->form(); }
};
