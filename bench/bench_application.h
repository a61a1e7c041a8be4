// The one application object of the benchmark program. Google Benchmark's main makes
// none, and the cases that paint, list folders or build widgets need a full QApplication
// (a plain QGuiApplication made first would leave the widget cases without one).
// Made on first use on the main thread, offscreen unless a platform is set, and kept
// until the program ends.
#pragma once

#include <QApplication>

inline void ensureBenchApplication()
{
    if (QCoreApplication::instance())
        return;
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "benchmarks";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // never deleted: benchmarks run until exit
}
