// Marks the photo that an engine is working on in the picture tray for the length of
// a scope: highlighted on entry, unmarked on exit (also when the work throws).
#pragma once

#include <string>

#include "engine/panorama_interfaces.h"

class CAutoHighlightFile {
public:
    // Nothing is marked when `ui` is null or `suppress` is true (the full-size pass).
    CAutoHighlightFile(const std::wstring& path, PanoramaLib::IUserInterface* ui, bool suppress)
        : m_path(path), m_ui(ui), m_suppress(suppress)
    {
        if (m_ui != nullptr && !m_suppress)
            m_ui->HighlightImage(m_path, true);
    }
    ~CAutoHighlightFile()
    {
        if (m_ui != nullptr && !m_suppress)
            m_ui->HighlightImage(m_path, false);
    }
    CAutoHighlightFile(const CAutoHighlightFile&) = delete;
    CAutoHighlightFile& operator=(const CAutoHighlightFile&) = delete;

private:
    std::wstring m_path;
    PanoramaLib::IUserInterface* m_ui;
    bool m_suppress;
};
