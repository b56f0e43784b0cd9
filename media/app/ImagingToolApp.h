#pragma once
// The desktop application: `pellorin` without arguments runs the main dialog until it closes.

#include "framework/Framework.h"

#include <cstdio>
#include <filesystem>
#include <string>

namespace pellorin {

class CImagingToolApp : public CWinApp {
public:
    // `payloadDirectory` is the payload the main dialog opens on; empty: the program's own
    // directory.
    explicit CImagingToolApp(std::filesystem::path payloadDirectory = {});
    // Runs the main dialog modally; the program ends when it closes.
    int InitInstance();

private:
    std::filesystem::path m_payloadDirectory;
};

// Whether there is a display to show windows on, found out before Qt starts (Qt aborts the
// process when its display does not answer): Qt is told to use a platform that needs no display
// server (QT_QPA_PLATFORM=offscreen, as in tests), or the compositor of WAYLAND_DISPLAY or the X
// server of DISPLAY takes a connection (then QT_QPA_PLATFORM is set to the one that does, unless
// it is set). Otherwise `message` is the one line to print.
struct DisplayProbe {
    bool usable = false;
    std::string message;
};
DisplayProbe ProbeDisplay();

// Starts the desktop application on `payloadDirectory` (empty: the program's own directory).
// Without a display it says so in one line on `err` and returns 64 before Qt is started.
int RunDesktopApplication(int argc, char** argv, std::FILE* err, const std::filesystem::path& payloadDirectory = {});

}  // namespace pellorin
