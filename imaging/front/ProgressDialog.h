#pragma once
// The two sources of a progress window: the dialog of windowed mode (key "W") and a window
// named by number (key "pm:"). Both give nothing when no window can be had, and the main
// flow then reports on the console.

#include "platform/Operator.h"

#include <cstdint>

namespace dorvix {

// The dialog of windowed mode, once it exists; nothing (after a notice) where no window can
// be shown.
ProgressWindow startProgressDialog();

// The progress channel to another program on the descriptor named on the command line
// (front/ProgressChannel.h); nothing when that descriptor is not open.
ProgressWindow attachProgressWindow(std::int64_t windowNumber);

}  // namespace dorvix
