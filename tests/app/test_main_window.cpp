// The main window's start-up, form, action refresh, zoom and small commands, offscreen.
#include <QAction>
#include <QSlider>
#include <QTimerEvent>

#include "app/panorama_view.h"
#include "tests/app/window_fixture.h"

namespace {

QStringList g_slotWarnings;  // Qt's warnings for a form slot whose name matches no signal

}  // namespace

TEST(WindowForm, EveryFormSlotFindsItsSignal)
{
    ScriptedDesktop desk;
    Desktop::ScopedDesktop use(desk);
    g_slotWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& msg) {
        if (msg.contains(QLatin1String("connectSlotsByName")))
            g_slotWarnings << msg;
    });
    { MainWindow w; }
    qInstallMessageHandler(previous);
    EXPECT_TRUE(g_slotWarnings.isEmpty()) << g_slotWarnings.join('\n').toStdString();
}

TEST_F(WindowTest, FormTiesAnglesAndRingOption)
{
    ui().sldRy->setValue(-45);
    EXPECT_EQ(ui().spnRy->value(), -45);
    ui().spnRy->setValue(60);  // clamped by both
    EXPECT_EQ(ui().sldRy->value(), 45);
    ui().chk360->setChecked(true);
    EXPECT_FALSE(ui().grpMatching->isEnabledTo(ui().tabHorzVert));
    ui().chk360->setChecked(false);
    EXPECT_TRUE(ui().grpMatching->isEnabledTo(ui().tabHorzVert));
    EXPECT_EQ(w->findChildren<QToolBar*>().size(), 2);
    EXPECT_EQ(w->findChildren<QAction*>(QString(), Qt::FindDirectChildrenOnly).size(), 35);
}

TEST_F(WindowTest, TimerRefreshesActionsAndIgnoresForeignTimers)
{
    ui().action_Export->setEnabled(true);
    ui().action_Render->setEnabled(true);
    QTimerEvent foreign(w->actionTimerId() + 1000);
    QCoreApplication::sendEvent(w.get(), &foreign);
    EXPECT_TRUE(ui().action_Export->isEnabled());
    QTimerEvent own(w->actionTimerId());
    QCoreApplication::sendEvent(w.get(), &own);
    EXPECT_FALSE(ui().action_Export->isEnabled());  // nothing rendered
    EXPECT_FALSE(ui().action_Render->isEnabled());  // and never on Add Images
    EXPECT_FALSE(ui().action_Stitch->isEnabled());  // empty tray
    EXPECT_FALSE(ui().actionFit_window->isEnabled());
}

// 50 -> 60 .. 100 (a step above 99 lands on 100, and stays) -> back down to 0, and stays.
TEST_F(WindowTest, ThumbnailZoomStopsAtBothEnds)
{
    auto step = [&](bool in, int expected) {
        (in ? ui().actionZoom_in : ui().actionZoom_out)->trigger();
        EXPECT_EQ(w->thumbSizeValue(), expected);
        EXPECT_EQ(w->zoomSlider()->value(), expected);
        w->updateActions();
        EXPECT_EQ(ui().actionZoom_in->isEnabled(), expected <= 99);
        EXPECT_EQ(ui().actionZoom_out->isEnabled(), expected > 0);
    };
    for (int v : {60, 70, 80, 90, 100, 100})
        step(true, v);
    for (int v : {90, 80, 70, 60, 50, 40, 30, 20, 10, 0, 0})
        step(false, v);
}

TEST_F(WindowTest, ViewContextMenuOffersTheSixZoomActions)
{
    desk.menus.push_back(ScriptedDesktop::pick(QStringLiteral("Fit window")));
    w->onPanoramaViewContextMenu(QPoint(5, 5));
    ASSERT_EQ(desk.calls("execMenu").size(), 1u);
    EXPECT_EQ(desk.calls("execMenu")[0].text, QStringLiteral("Zoom in|Zoom out|Fit window|Fit width|Fit height|&Actual (1:1)"));
    EXPECT_EQ(desk.calls("execMenu")[0].parent, w->panoramaView());
}
