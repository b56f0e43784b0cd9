#include "front/window/WindowedRun.h"

#include "front/ProgressChannel.h"

#include <QApplication>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace dorvix {

namespace {

bool environmentNames(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

}  // namespace

bool wantsWindows(std::string_view commandLine) {
    const ParsedCommandLine parsed = parseCommandLine(commandLine);
    return parsed.outcome == ParseOutcome::Run && parsed.options.windowed;
}

bool windowsAvailable(int argc, char** argv) {
    if (!environmentNames("QT_QPA_PLATFORM") && !environmentNames("DISPLAY") && !environmentNames("WAYLAND_DISPLAY")) {
        return false;
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        // Qt's own complaints about a display it cannot reach stay out of the operator's way.
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::dup2(quiet, STDERR_FILENO);
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        QApplication probe(argc, argv);
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int runWithWindows(WindowHost& host, std::string_view commandLine, MainFlowServices services) {
    services.startProgressDialog = [&host] { return host.startDialog(); };
    services.attachProgressWindow = [&host, attach = services.attachProgressWindow](std::int64_t number) {
        ProgressWindow window = attach(number);
        if (auto* channel = dynamic_cast<ProgressChannel*>(window)) {
            channel->setQuestionHost(&host);
        }
        return window;
    };
    // The dialog ends before the reboot question: that must not end the application's loop
    // while the worker still needs it.
    QApplication::setQuitOnLastWindowClosed(false);
    int result = 0;
    std::thread worker([&] {
        result = runMainFlow(commandLine, services);
        QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
    QApplication::exec();
    worker.join();
    return result;
}

int runWindowed(int argc, char** argv, std::string_view commandLine, MainFlowServices services) {
    if (!windowsAvailable(argc, argv)) {
        return runMainFlow(commandLine, services);
    }
    QApplication application(argc, argv);
    WindowHost host;
    return runWithWindows(host, commandLine, std::move(services));
}

}  // namespace dorvix
