#pragma once
// The two sources of a progress window: the dialog of windowed mode (key "W") and a window
// named by number (key "pm:"). Both give nothing when no window can be had, and the main
// flow then reports on the console.

#include "front/Operator.h"

#include <cstdint>

namespace dorvix {

// Starts the progress dialog on its own thread and returns once its handle exists.
ProgressWindow startProgressDialog();

// The window named by number on the command line.
ProgressWindow attachProgressWindow(std::int64_t windowNumber);

}  // namespace dorvix
