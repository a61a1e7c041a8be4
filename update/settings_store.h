// The program's settings store, named in this one place: every reader and writer opens
// its own and lets it go out of scope (QSettings writes on destruction):
//
//   SettingsStore settings;
//   settings.beginGroup(QStringLiteral("options"));
//
// The update check's schedule (group "xvalues") and the main window's groups share it.
// The platform decides where it lives (an INI file under XDG_CONFIG_HOME here). Any
// thread, one object per thread.
#pragma once

#include <QSettings>

inline constexpr const char* kSettingsOrganization = "VARNO Imaging";
inline constexpr const char* kSettingsApplication = "Vistalum";

class SettingsStore : public QSettings {
public:
    SettingsStore()
        : QSettings(QString::fromLatin1(kSettingsOrganization), QString::fromLatin1(kSettingsApplication))
    {
    }
};
