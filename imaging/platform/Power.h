#pragma once
// Power services of the device: the suspend-control calls of the maker's library and the
// reset request. Neither restarts a general-purpose machine by default: the reset runs the
// command configured in DORVIX_RESET_COMMAND (on a machine that really is the imaged
// client); without one the operator is told that the device must now be restarted.

#include <functional>
#include <string>

namespace dorvix {

// Keep the device from suspending while an engine runs, and allow it again. Nothing to do
// on Linux; the results are not used.
int QZPreventSuspend();
int QZAllowSuspend();

// The parameterless call made just before the reset: flushes file-system buffers.
void preResetCall();

// The reset request (SetSystemPowerState with the reset flag).
void requestSystemReset();

}  // namespace dorvix
