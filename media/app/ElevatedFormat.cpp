#include "app/ElevatedFormat.h"

#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"

#include "platform/ChildProcess.h"
#include "platform/FileFind.h"

#include <cctype>
#include <chrono>
#include <thread>
#include <vector>

namespace pellorin {

bool NeedsElevation(const std::string& devicePath) {
    return WritingIsDenied(devicePath);
}

int PercentOfLine(std::string_view line) {
    // The digits right before the '%'; a run that cannot be a percentage is no progress line.
    const auto sign = line.find('%');
    if (sign == std::string_view::npos) return -1;
    std::size_t start = sign;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(line[start - 1]))) --start;
    if (start == sign || sign - start > 3) return -1;
    int value = 0;
    for (std::size_t i = start; i < sign; ++i) value = value * 10 + (line[i] - '0');
    return value <= 100 ? value : -1;
}

UsbFormatWorker MakeElevatedWorker(std::string launcher, std::string program) {
    return [launcher = std::move(launcher), program = std::move(program)](const UsbFormatRequest& request,
                                                                          CIsoJobView& view) {
        // The elevated run gets the disk, the payload folder and --yes: it reads the kernel's
        // own views and checks the disk again itself.
        std::vector<std::string> arguments{launcher, program, "usb", request.device, "--yes",
                                           "--payload", request.payloadDirectory.string()};

        // The child's standard output and error come back through a pipe of our own: closing
        // our end is how a cancel reaches the child.
        const std::unique_ptr<CChildProcess> child = CChildProcess::Start(arguments);
        if (!child) {
            view.ShowWarning(LoadStringText(IDS_USB_OPEN_FAILED));
            return static_cast<int>(kWorkFailed);
        }

        g_bFormatBusy = true;
        view.SetProgressRange(0, 100);
        const std::string prefix = std::string(kAppName) + ": ";
        std::string pending;
        std::string message;
        bool inMessage = false;  // the lines after a message's first line belong to it
        const auto takeLines = [&] {
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                // A redrawn bar: only its last state counts.
                if (const auto cr = line.rfind('\r'); cr != std::string::npos) line.erase(0, cr + 1);
                const int percent = PercentOfLine(line);
                if (line.starts_with(prefix)) {
                    if (!message.empty()) message += "\r\n\r\n";
                    message += line.substr(prefix.size());
                    inMessage = true;
                } else if (line.starts_with("***") || percent >= 0) {
                    inMessage = false;
                    if (percent >= 0 && child->OutputOpen()) {
                        view.SetProgressPos(percent);
                        view.SetStatusText(FormatPercentText(static_cast<unsigned>(percent)));
                    }
                } else if (inMessage) {
                    message += "\r\n" + line;
                }
            }
        };
        for (;;) {
            if (child->OutputOpen()) {
                if (child->ReadOutput(100, pending)) takeLines();
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            view.PumpOneMessage();
            if (!g_bFormatBusy && child->OutputOpen()) {
                // The child's next progress line meets a closed pipe and cancels its write.
                child->CloseOutput();
            }
            if (child->HasEnded()) break;
        }
        child->ReadRest(pending);
        if (!pending.empty()) {
            pending += '\n';  // a last line without its line end counts too
            takeLines();
        }
        const bool cancelled = !g_bFormatBusy;
        g_bFormatBusy = false;
        const int code = child->ExitCode();
        const bool exited = code >= 0;
        // The child's result is what happened: one that finished before the cancel reached it is done.
        if (exited && code == 0) return static_cast<int>(kWorkDone);
        if (cancelled || code == 2) return static_cast<int>(kWorkCancelled);
        // pkexec itself exits with 126 when the password prompt was dismissed, 127 when it
        // could not authorize; then there is no message of the child's.
        view.ShowWarning(message.empty() ? std::string(LoadStringText(IDS_USB_OPEN_FAILED)) : message);
        return static_cast<int>(kWorkFailed);
    };
}

}  // namespace pellorin
