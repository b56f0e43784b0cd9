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
// told which platform to use (QT_QPA_PLATFORM, as tests do with "offscreen").
bool HasDisplay();

// Starts the desktop application. Without a display it says so in one line on `err` and
// returns 64 before Qt is started.
int RunDesktopApplication(int argc, char** argv, std::FILE* err);

}  // namespace pellorin
