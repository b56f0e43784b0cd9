// dorvix: restores, writes and captures disk images of the thin client's flash disk.

#include "front/CommandLine.h"
#include "front/MainFlow.h"

int main(int argc, char** argv) {
    const std::string commandLine = dorvix::joinArguments(argc, argv);
    return dorvix::runMainFlow(commandLine, dorvix::platformServices());
}
