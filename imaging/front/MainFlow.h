#pragma once
// The main flow of dorvix: parse the command line, show the banner or open the progress
// window, check the image and ask before a disk is overwritten, keep the device from
// suspending around the engine, close the window and reset the device after success.

#include "engines/Engines.h"
#include "front/CommandLine.h"
#include "platform/DiskDriver.h"
#include "platform/Operator.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace dorvix {

// Everything the main flow calls outside itself; platformServices() gives the real ones,
// tests replace single members to watch the flow.
struct MainFlowServices {
    std::function<int()> preventSuspend;
    std::function<int()> allowSuspend;
    std::function<bool(const std::string&)> imageExists;
    // An image to read must be a regular file; a capture's path may hold only a regular file
    // or a link. Left empty, the check is skipped.
    std::function<bool(const std::string&)> imageIsRegular;
    std::function<bool(const std::string&)> imagePathReplaceable;
    // Why DSKn: may not be written with this image (it holds the running system), or empty.
    std::function<std::string(std::uint8_t, const std::string&)> protectedTarget;
    std::function<ProgressWindow()> startProgressDialog;
    std::function<ProgressWindow(std::int64_t)> attachProgressWindow;
    std::function<void()> dumpDevices;
    // Whether a reset would follow a successful run; only then is it announced.
    std::function<bool()> resetPossible;
    std::function<void()> preResetCall;
    // False when the reset could not be requested.
    std::function<bool()> requestReset;
    std::function<int(ProgressWindow, const std::string&, std::uint8_t, const std::optional<std::string>&,
                      const std::optional<std::string>&)>
        restoreFatImage;
    std::function<int(ProgressWindow, std::uint8_t, const std::optional<std::string>&, const std::string&)>
        captureFatImage;
    std::function<int(ProgressWindow, const std::string&, std::uint8_t)> writeFlatImage;
    std::function<int(ProgressWindow, std::uint8_t, const std::string&)> captureFlatImage;
    // The list, and the read that failed when the disk could not be read (see Engines.h).
    std::function<std::optional<std::string>(std::uint8_t, std::optional<FailedRead>&)> readTargetBiosList;
};

// The program's services; the engines and the device dump work on the disks of `devices`.
MainFlowServices platformServices(DeviceProvider& devices);
// The same over the device table (defaultDeviceProvider()).
MainFlowServices platformServices();

void printUsage();

// Runs dorvix on one command line (without the program name); returns the exit code.
int runMainFlow(std::string_view commandLine, const MainFlowServices& services);

}  // namespace dorvix
