// The desktop seam: a desktop installed for a scope answers in place of Qt's dialogs and
// menus, and the previous desktop comes back when the scope ends.
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
