#pragma once
// dorvix with windows (keys "W" and "pm:" with "W"): the interface thread runs the progress
// dialog and the message boxes, a worker thread runs the main flow and its engine. Where no
// window can be shown, the run stays on the console.

#include "front/MainFlow.h"
#include "front/window/WindowHost.h"

#include <string_view>

namespace dorvix {

// True when the command line runs an engine in windowed mode.
bool wantsWindows(std::string_view commandLine);

// True when Qt can show windows here: a display (or a platform named in QT_QPA_PLATFORM) that
// Qt starts on. Tried in a child process, since Qt ends a process it cannot start in.
bool windowsAvailable(int argc, char** argv);

// Runs the main flow with windows when they can be shown, else on the console after a notice.
int runWindowed(int argc, char** argv, std::string_view commandLine, MainFlowServices services);

// Runs the main flow on a worker thread with `host` giving the dialog and the message boxes,
// while this thread (the application's) handles them; returns the exit code. Needs a running
// QApplication on the calling thread.
int runWithWindows(WindowHost& host, std::string_view commandLine, MainFlowServices services);

}  // namespace dorvix
