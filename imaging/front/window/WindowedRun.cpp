#include "front/window/WindowedRun.h"

#include "front/ProgressChannel.h"
#include "platform/QuietProbe.h"

#include <QApplication>

#include <cstdlib>
#include <thread>

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
    // Qt ends the process when it cannot reach the display named: it is tried in a child first.
    return succeedsInQuietChild([argc, argv]() mutable { QApplication probe(argc, argv); });
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
