#include "app/ImagingToolApp.h"

#include "app/ImagingToolDlg.h"
#include "app/CommandLine.h"
#include "jobs/PayloadList.h"
#include "jobs/StringTable.h"

#include "platform/SocketProbe.h"

#include <QApplication>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>

namespace pellorin {

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

// Whether the Wayland compositor of WAYLAND_DISPLAY takes a connection on its socket.
bool waylandAnswers() {
    if (!isSet("WAYLAND_DISPLAY")) return false;
    std::string socket = std::getenv("WAYLAND_DISPLAY");
    if (!socket.starts_with("/")) {
        if (!isSet("XDG_RUNTIME_DIR")) return false;
        socket = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/" + socket;
    }
    return UnixSocketAnswers(socket, false);
}

// Whether the X server of DISPLAY ("[host]:N[.S]", "unix:N") takes a connection: its local
// socket (abstract or in /tmp/.X11-unix), or TCP port 6000 + N on a named host.
bool xAnswers() {
    if (!isSet("DISPLAY")) return false;
    const std::string display = std::getenv("DISPLAY");
    const auto colon = display.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = display.substr(0, colon);
    const std::string rest = display.substr(colon + 1);
    const std::string number = rest.substr(0, rest.find('.'));
    if (number.empty() || number.size() > 5 ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    if (host.empty() || host == "unix" || host.starts_with("/")) {
        // A launchd-style path names the socket itself.
        if (host.starts_with("/")) return UnixSocketAnswers(display, false);
        const std::string path = "/tmp/.X11-unix/X" + number;
        return UnixSocketAnswers(path, true) || UnixSocketAnswers(path, false);
    }
    return TcpHostAnswers(host, 6000 + std::stoi(number));
}

}  // namespace

CImagingToolApp::CImagingToolApp(std::filesystem::path payloadDirectory)
    : CWinApp(kAppName), m_payloadDirectory(std::move(payloadDirectory)) {}

int CImagingToolApp::InitInstance() {
    QApplication::setWindowIcon(ApplicationIcon());
    CImagingToolDlg dialog(m_payloadDirectory.empty() ? ProgramDirectory() : m_payloadDirectory);
    dialog.DoModal();
    return kExitDone;
}

DisplayProbe ProbeDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const std::string name = platform ? platform : "";
    // A platform that needs no display server (offscreen, vnc, linuxfb, ...).
    if (!name.empty() && !name.starts_with("xcb") && !name.starts_with("wayland")) return {true, {}};
    if (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY")) return {false, std::string(cli::kNoDisplay)};
    const bool wayland = (name.empty() || name.starts_with("wayland")) && waylandAnswers();
    const bool x = (name.empty() || name.starts_with("xcb")) && xAnswers();
    if (wayland || x) {
        // Qt is told which of the two answers, so that it never tries one that does not.
        if (name.empty()) ::setenv("QT_QPA_PLATFORM", wayland ? "wayland" : "xcb", 1);
        return {true, {}};
    }
    std::string which;
    if (isSet("WAYLAND_DISPLAY")) which += std::string("WAYLAND_DISPLAY=") + std::getenv("WAYLAND_DISPLAY");
    if (isSet("DISPLAY")) which += std::string(which.empty() ? "" : ", ") + "DISPLAY=" + std::getenv("DISPLAY");
    char text[512];
    std::snprintf(text, sizeof text, cli::kDisplayNotAnswering, which.c_str());
    return {false, text};
}

int RunDesktopApplication(int argc, char** argv, std::FILE* err, const std::filesystem::path& payloadDirectory) {
    const DisplayProbe display = ProbeDisplay();
    if (!display.usable) {
        std::fprintf(err, "%s\n", display.message.c_str());
        return kExitUsage;
    }
    // Qt sees the program's name only: the arguments were ours.
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication application(qtArgc, argv);
    CImagingToolApp app(payloadDirectory);
    return app.InitInstance();
}

}  // namespace pellorin
