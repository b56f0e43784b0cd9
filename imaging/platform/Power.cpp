#include "platform/Power.h"

#include "platform/Console.h"
#include "platform/PlatformTexts.h"

#include <cstdlib>
#include <unistd.h>

namespace dorvix {

int QZPreventSuspend() { return 1; }

int QZAllowSuspend() { return 1; }

void preResetCall() { ::sync(); }

void requestSystemReset() {
    const char* command = std::getenv("DORVIX_RESET_COMMAND");
    if (command == nullptr || *command == '\0') {
        consoleWrite(text::kRestartByHand);
        return;
    }
    if (std::system(command) != 0) {
        consoleWrite(text::kResetCommandFailed);
    }
}

}  // namespace dorvix
