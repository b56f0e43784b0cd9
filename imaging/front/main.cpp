// dorvix: restores, writes and captures disk images of the thin client's flash disk.

#include "front/CommandLine.h"
#include "front/MainFlow.h"
#include "platform/Power.h"
#ifdef DORVIX_WINDOWS
#include "front/window/WindowedRun.h"
#endif

int main(int argc, char** argv) {
    const std::string commandLine = dorvix::joinArguments(argc, argv);
    dorvix::enableMachineReset();
#ifdef DORVIX_WINDOWS
    if (dorvix::wantsWindows(commandLine)) {
        return dorvix::runWindowed(argc, argv, commandLine, dorvix::platformServices());
    }
#endif
    return dorvix::runMainFlow(commandLine, dorvix::platformServices());
}
