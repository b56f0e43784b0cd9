#include "front/MainFlow.h"

#include "engines/Engines.h"
#include "front/DeviceDump.h"
#include "front/ProgressDialog.h"
#include "front/StringTable.h"
#include "platform/Console.h"
#include "platform/DebugOutput.h"
#include "platform/InputFile.h"
#include "platform/ProtectedDisks.h"
#include "platform/Power.h"
#include "platform/ProcessFlags.h"

namespace dorvix {

namespace {

std::string diskName(std::uint8_t n) { return "DSK" + std::to_string(n) + ":"; }

std::optional<std::string> noneWhenEmpty(const std::string& path) {
    return path.empty() ? std::nullopt : std::optional<std::string>(path);
}

}  // namespace

MainFlowServices platformServices() { return platformServices(defaultDeviceProvider()); }

MainFlowServices platformServices(DeviceProvider& devices) {
    MainFlowServices s;
    s.preventSuspend = QZPreventSuspend;
    s.allowSuspend = QZAllowSuspend;
    s.imageExists = pathExists;
    s.imageIsRegular = isRegularFile;
    s.imagePathReplaceable = outputPathReplaceable;
    s.protectedTarget = [&devices](std::uint8_t target, const std::string& image) {
        const std::string path = devices.backingPath(target);
        return path.empty() ? std::string() : checkWriteTarget(SystemRoots{}, path, image).reason;
    };
    s.startProgressDialog = startProgressDialog;
    s.attachProgressWindow = attachProgressWindow;
    s.dumpDevices = [&devices] { dumpDevices(devices); };
    s.resetPossible = [] { return planSystemReset().way != ResetWay::None; };
    s.preResetCall = preResetCall;
    s.requestReset = [] { return requestSystemReset(planSystemReset()); };
    s.restoreFatImage = [&devices](ProgressWindow window, const std::string& image, std::uint8_t target,
                                   const std::optional<std::string>& mbrCode,
                                   const std::optional<std::string>& bootCode) {
        return restoreFatImage(devices, window, image, target, mbrCode, bootCode);
    };
    s.captureFatImage = [&devices](ProgressWindow window, std::uint8_t source,
                                   const std::optional<std::string>& targetBios, const std::string& image) {
        return captureFatImage(devices, window, source, targetBios, image);
    };
    s.writeFlatImage = [&devices](ProgressWindow window, const std::string& image, std::uint8_t target) {
        return writeFlatImage(devices, window, image, target);
    };
    s.captureFlatImage = [&devices](ProgressWindow window, std::uint8_t source, const std::string& image) {
        return captureFlatImage(devices, window, source, image);
    };
    s.readTargetBiosList = [&devices](std::uint8_t disk, std::optional<FailedRead>& failed) {
        return readTargetBiosList(devices, disk, failed);
    };
    return s;
}

void printUsage() { consoleWrite(text::kUsage); }

int runMainFlow(std::string_view commandLine, const MainFlowServices& services) {
    const ParsedCommandLine parsed = parseCommandLine(commandLine);
    switch (parsed.outcome) {
    case ParseOutcome::Usage:
        printUsage();
        return 0;
    case ParseOutcome::DeviceDump:
        services.dumpDevices();
        return 0;
    case ParseOutcome::ArgumentTooLong:
        showError(nullptr, text::kArgumentTooLong, parsed.tooLong.c_str());
        return 1;
    case ParseOutcome::Run:
        break;
    }
    const CommandOptions& options = parsed.options;
    processFlags() = ProcessFlags{options.debug, options.skipBiosCheck, options.windowed};

    ProgressWindow window = nullptr;
    if (options.progressWindow != 0) {
        window = services.attachProgressWindow(options.progressWindow);
        if (options.windowed && window != nullptr && window->questionHost() == nullptr) {
            // -w would have shown the questions in message boxes: they stay on the console.
            debugOutput(text::kNoWindowNotice);
        }
    } else if (options.windowed) {
        window = services.startProgressDialog();
    }
    if (window == nullptr) {
        // No window (or none could be had): the run goes on, on the console.
        consoleWrite(text::kBanner);
        consoleWrite(text::kBannerNotice);
    }

    const bool writesDisk = options.mode == ImagingMode::Restore || options.mode == ImagingMode::WriteFlat;
    if (writesDisk) {
        bool go = true;
        if (!services.imageExists(options.imagePath)) {
            if (window != nullptr) {
                showError(window, text::kImageMissingBox, options.imagePath.c_str());
            } else {
                showError(nullptr, text::kImageMissing);
            }
            go = false;
        } else if (services.imageIsRegular && !services.imageIsRegular(options.imagePath)) {
            // A FIFO or a device would be waited on or read as an image.
            showError(window, text::kImageNotRegular);
            go = false;
        } else if (const std::string reason =
                       services.protectedTarget ? services.protectedTarget(options.targetDevice, options.imagePath)
                                                : std::string();
                   !reason.empty()) {
            // Refused before the question: no answer makes writing the running system right.
            showError(window, text::kTargetProtected, diskName(options.targetDevice).c_str(), reason.c_str());
            go = false;
        } else if (!options.assumeYes && !confirmRestore(window)) {
            go = false;
        }
        if (!go) {
            closeProgress(window);
            return 1;
        }
    }

    if (!writesDisk && services.imagePathReplaceable && !services.imagePathReplaceable(options.imagePath)) {
        showError(window, text::kImagePathNotReplaceable);
        closeProgress(window);
        return 1;
    }

    services.preventSuspend();
    int result = 0;
    switch (options.mode) {
    case ImagingMode::Restore:
        result = services.restoreFatImage(window, options.imagePath, options.targetDevice,
                                          noneWhenEmpty(options.mbrCodePath), noneWhenEmpty(options.bootCodePath));
        break;
    case ImagingMode::FlatCopy:
        result = services.captureFlatImage(window, options.targetDevice, options.imagePath);
        break;
    case ImagingMode::WriteFlat:
        result = services.writeFlatImage(window, options.imagePath, options.targetDevice);
        break;
    case ImagingMode::ImgCopy: {
        std::optional<FailedRead> unreadable;
        const std::optional<std::string> biosList = services.readTargetBiosList(options.targetDevice, unreadable);
        if (unreadable) {
            // The default list in place of one that could not be read would make an image meant
            // for other devices.
            showError(window, "%s", text::kCannotMountSource);
            result = -1;
            break;
        }
        result = services.captureFatImage(window, options.targetDevice, biosList, options.imagePath);
        break;
    }
    }
    services.allowSuspend();

    closeProgress(window);

    if (result == 0 && options.restart) {
        // The reboot is announced only when one will follow; otherwise the operator learns
        // that the restart is theirs.
        if (!services.resetPossible()) {
            announceRestartByHand(window, text::kRestartByHand, options.assumeYes);
        } else if (options.assumeYes || announceReboot(window)) {
            services.preResetCall();
            if (!services.requestReset()) {
                announceRestartByHand(window, text::kResetFailed, options.assumeYes);
            }
        }
    }
    return result;
}

}  // namespace dorvix
