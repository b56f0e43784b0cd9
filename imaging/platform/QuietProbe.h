#pragma once
// A trial run of something that may crash or end the process (a GUI toolkit meeting a display
// it cannot reach), in a child process whose output is discarded and which leaves no core.

#include <functional>

namespace dorvix {

// Runs `probe` in a child process; true when the probe returned there (the child then ends
// with status 0), false when it crashed or ended the child otherwise, or no child could be made.
bool succeedsInQuietChild(const std::function<void()>& probe);

}  // namespace dorvix
