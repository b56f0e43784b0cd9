#pragma once
// The desktop application: `pellorin` without arguments runs the main dialog until it closes.

#include "framework/Framework.h"

#include <cstdio>

namespace pellorin {

class CImagingToolApp : public CWinApp {
public:
    CImagingToolApp();
    // Runs the main dialog modally; the program ends when it closes.
    int InitInstance();
};

// True when a display is there to show windows on: DISPLAY or WAYLAND_DISPLAY is set, or Qt is
// told to use a platform that needs no display server (QT_QPA_PLATFORM=offscreen, as in tests).
bool HasDisplay();

// Starts the desktop application. Without a display it says so in one line on `err` and
// returns 64 before Qt is started.
int RunDesktopApplication(int argc, char** argv, std::FILE* err);

}  // namespace pellorin
