// The two sources of a progress window in the core of dorvix. The dialog of windowed mode
// needs the window system, which the windowed build starts around the main flow (front/window/);
// the core alone has no dialog. A window named by number is the progress channel.

#include "front/ProgressChannel.h"
#include "front/ProgressDialog.h"
#include "front/StringTable.h"
#include "platform/DebugOutput.h"

#include <memory>

namespace dorvix {

ProgressWindow startProgressDialog() {
    debugOutput(text::kNoWindowNotice);
    return nullptr;
}

ProgressWindow attachProgressWindow(std::int64_t windowNumber) {
    // One channel per process, alive until the process ends like the window it stands for.
    static std::unique_ptr<ProgressChannel> channel;
    channel = ProgressChannel::attach(windowNumber);
    return channel.get();
}

}  // namespace dorvix
