#include "app/UsbCommand.h"

#include "app/CommandLine.h"
#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"
#include "platform/Console.h"

#include <istream>

namespace pellorin {

std::string EscapeControls(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, c == '\\' ? "\\\\" : "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

int RunDrivesCommand(const SystemViews& views, std::FILE* out) {
    const std::vector<DriveInfo> drives = ListDrives(views);
    std::fprintf(out, "%-14s %-32s %10s  %-5s %s\n", "DEVICE", "MODEL", "SIZE", "BUS", "FORMAT");
    for (const DriveInfo& drive : drives) {
        std::string state = drive.formattable ? "yes" : "no: " + drive.reason;
        if (drive.formattable && !drive.mounts.empty()) state += " (mounted partitions are unmounted first)";
        // Names come from the kernel and the device: a control character is shown, never sent
        // to the terminal.
        std::fprintf(out, "%-14s %-32s %10s  %-5s %s\n", EscapeControls(drive.devicePath).c_str(),
                     drive.model.empty() ? "-" : EscapeControls(drive.model).c_str(), FormatSize(drive.sizeBytes).c_str(),
                     drive.usb ? "usb" : "other", EscapeControls(state).c_str());
    }
    if (drives.empty()) std::fprintf(out, "(no disks)\n");
    return kExitDone;
}

int RunUsbCommand(const UsbFormatRequest& request, bool bYes, CUsbPlatform& platform, std::istream& in,
                  std::FILE* out, std::FILE* err) {
    const std::string app(kAppName);
    std::string message;
    if (!CheckUsbDrive(request.device, platform.Views(), message)) {
        std::fprintf(err, "%s: %s\n", app.c_str(), TerminalText(message).c_str());
        return kExitFailed;
    }
    if (!bYes) {
        if (const auto drive = FindDrive(platform.Views(), request.device)) {
            std::fprintf(err, "%s: %s, %s\n", drive->devicePath.c_str(),
                         drive->model.empty() ? "unknown model" : drive->model.c_str(),
                         FormatSize(drive->sizeBytes).c_str());
        }
        std::fprintf(err, "%s [y/N] ", TerminalText(LoadStringText(IDS_CONFIRM_OVERWRITE_USB)).c_str());
        std::fflush(err);
        if (!ReadYesAnswer(in)) {
            if (in.fail()) std::fputc('\n', err);
            std::fprintf(err, "%s\n", std::string(cli::kCancelled).c_str());
            return kExitCancelled;
        }
    }

    CTerminalUsbView view(err, IsTerminal(err));
    int result = kWorkFailed;
    {
        CInterruptGuard interrupts;
        result = FormatUsbDrive(request, platform, view);
    }
    view.Finish();
    switch (result) {
    case kWorkDone:
        std::fprintf(out, "%s\n", TerminalText(LoadStringText(IDS_USB_FORMAT_DONE)).c_str());
        return kExitDone;
    case kWorkCancelled:
        // Whatever was written is not a usable disk, and nothing says so on the disk itself. A
        // cancel before the first write left the disk as it was: the view's "Cancelled." says all.
        if (view.Writing()) std::fprintf(err, "%s\n", std::string(cli::kUsbIncomplete).c_str());
        return kExitCancelled;
    default: return kExitFailed;
    }
}

}  // namespace pellorin
