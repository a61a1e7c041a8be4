// The desktop seam: a scripted desktop installed for a scope answers in place of Qt's
// dialogs and menus, and the previous desktop comes back when the scope ends.
#include <QAction>
#include <QMenu>

#include <gtest/gtest.h>

#include "app/desktop_seam.h"
#include "tests/support/scripted_desktop.h"

TEST(DesktopSeam, ScopesNestAndRestore)
{
    Desktop::IDesktop* real = &Desktop::desktop();
    ScriptedDesktop outer, inner;
    {
        Desktop::ScopedDesktop useOuter(outer);
        {
            Desktop::ScopedDesktop useInner(inner);
            EXPECT_EQ(&Desktop::desktop(), &inner);
        }
        EXPECT_EQ(&Desktop::desktop(), &outer);
    }
    EXPECT_EQ(&Desktop::desktop(), real);
}

TEST(DesktopSeam, ScriptedAnswersThenBacksOut)
{
    ScriptedDesktop desk;
    Desktop::ScopedDesktop use(desk);
    desk.buttons.push_back(QMessageBox::Yes);
    desk.files.push_back({QStringLiteral("/tmp/a.jpg"), QStringLiteral("/tmp/b.jpg")});

    EXPECT_EQ(Desktop::desktop().question(nullptr, "t", "q?"), QMessageBox::Yes);
    EXPECT_EQ(Desktop::desktop().question(nullptr, "t", "q?"), QMessageBox::No);  // queue empty: backs out
    EXPECT_EQ(Desktop::desktop().getOpenFileNames(nullptr, "Add", "/tmp", "All (*.jpg)").size(), 2);
    EXPECT_TRUE(Desktop::desktop().getSaveFileName(nullptr, "Save", "/tmp", "JPEG (*.jpg)").isEmpty());

    QMenu menu;
    QAction* zoom = menu.addAction(QStringLiteral("Zoom &in"));
    int fired = 0;
    QObject::connect(zoom, &QAction::triggered, [&fired] { ++fired; });
    desk.menus.push_back(ScriptedDesktop::pick(QStringLiteral("Zoom in")));
    EXPECT_EQ(Desktop::desktop().execMenu(menu, QPoint()), zoom);
    EXPECT_EQ(Desktop::desktop().execMenu(menu, QPoint()), nullptr);  // dismissed
    EXPECT_EQ(fired, 1);
    ASSERT_EQ(desk.calls(QStringLiteral("execMenu")).size(), 2u);
    EXPECT_EQ(desk.calls(QStringLiteral("execMenu"))[0].text, QStringLiteral("Zoom &in"));
    EXPECT_EQ(desk.calls(QStringLiteral("question")).size(), 2u);
}
