#include "app/ElevatedFormat.h"

#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <vector>

extern char** environ;

namespace pellorin {

bool NeedsElevation(const std::string& devicePath) {
    const int fd = ::open(devicePath.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        ::close(fd);
        return false;
    }
    return errno == EACCES || errno == EPERM;
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
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);

        // The child's standard output and error go into a pipe of our own: closing its read
        // end is how a cancel reaches the child.
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            view.ShowWarning(LoadStringText(IDS_USB_OPEN_FAILED));
            return static_cast<int>(kWorkFailed);
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        pid_t pid = 0;
        const int spawned = ::posix_spawn(&pid, launcher.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (spawned != 0) {
            ::close(fds[0]);
            view.ShowWarning(LoadStringText(IDS_USB_OPEN_FAILED));
            return static_cast<int>(kWorkFailed);
        }
        int readFd = fds[0];

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
                    if (percent >= 0 && readFd >= 0) {
                        view.SetProgressPos(percent);
                        view.SetStatusText(FormatPercentText(static_cast<unsigned>(percent)));
                    }
                } else if (inMessage) {
                    message += "\r\n" + line;
                }
            }
        };
        int status = 0;
        for (;;) {
            if (readFd >= 0) {
                pollfd poller{readFd, POLLIN, 0};
                if (::poll(&poller, 1, 100) > 0) {
                    char buffer[4096];
                    const ssize_t got = ::read(readFd, buffer, sizeof buffer);
                    if (got > 0) pending.append(buffer, static_cast<std::size_t>(got));
                    if (got == 0) {
                        ::close(readFd);
                        readFd = -1;
                    }
                    takeLines();
                }
            } else {
                ::usleep(100000);
            }
            view.PumpOneMessage();
            if (!g_bFormatBusy && readFd >= 0) {
                // The child's next progress line meets a closed pipe and cancels its write.
                ::close(readFd);
                readFd = -1;
            }
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid || (done < 0 && errno != EINTR)) break;
        }
        if (readFd >= 0) {
            char buffer[4096];
            for (ssize_t got; (got = ::read(readFd, buffer, sizeof buffer)) > 0;) {
                pending.append(buffer, static_cast<std::size_t>(got));
            }
            ::close(readFd);
            readFd = -1;
            pending += '\n';
            takeLines();
        }
        const bool cancelled = !g_bFormatBusy;
        g_bFormatBusy = false;
        const bool exited = WIFEXITED(status);
        const int code = exited ? WEXITSTATUS(status) : -1;
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
