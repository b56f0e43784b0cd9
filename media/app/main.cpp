// pellorin: builds the recovery media of the thin-client image. Without arguments it opens the
// desktop application; with a command it runs that job in the terminal.
#include "app/CommandLine.h"
#include "app/ImagingToolApp.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc <= 1) return pellorin::RunDesktopApplication(argc, argv, stderr);
    return pellorin::RunCommandLine(argc, argv);
}
