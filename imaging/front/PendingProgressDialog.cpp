// The progress dialog and the numbered progress channel are not part of this build yet:
// both give no window, and the main flow stays on the console.

#include "front/ProgressDialog.h"
#include "front/StringTable.h"
#include "platform/DebugOutput.h"

namespace dorvix {

ProgressWindow startProgressDialog() {
    debugOutput(text::kProgressDialogMissing);
    return nullptr;
}

ProgressWindow attachProgressWindow(std::int64_t) {
    debugOutput(text::kProgressDialogMissing);
    return nullptr;
}

}  // namespace dorvix
