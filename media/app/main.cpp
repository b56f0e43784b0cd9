// pellorin: builds the recovery media of the thin-client image. Without arguments it opens the
// desktop application (on the payload of --payload DIR when given); with a command it runs that
// job in the terminal.
#include "app/CommandLine.h"
#include "app/ImagingToolApp.h"

#include <cstdio>
#include <filesystem>

int main(int argc, char** argv) {
    const auto application = [argc, argv](const std::filesystem::path& payloadDirectory) {
        return pellorin::RunDesktopApplication(argc, argv, stderr, payloadDirectory);
    };
    if (argc <= 1) return application({});
    return pellorin::RunCommandLine(argc, argv, application);
}
