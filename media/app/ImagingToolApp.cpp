#include "app/ImagingToolApp.h"

#include "app/ImagingToolDlg.h"
#include "app/CommandLine.h"
#include "jobs/PayloadList.h"
#include "jobs/StringTable.h"

#include <QApplication>

#include <cstdlib>
#include <string>

namespace pellorin {

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

}  // namespace

CImagingToolApp::CImagingToolApp() : CWinApp(kAppName) {}

int CImagingToolApp::InitInstance() {
    QApplication::setWindowIcon(ApplicationIcon());
    CImagingToolDlg dialog(ProgramDirectory());
    dialog.DoModal();
    return kExitDone;
}

bool HasDisplay() {
    if (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY")) return true;
    // A platform that needs no display server (offscreen, vnc, linuxfb, ...).
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (!platform || !*platform) return false;
    const std::string name(platform);
    return !name.starts_with("xcb") && !name.starts_with("wayland");
}

int RunDesktopApplication(int argc, char** argv, std::FILE* err) {
    if (!HasDisplay()) {
        std::fprintf(err, "%s\n", std::string(cli::kNoDisplay).c_str());
        return kExitUsage;
    }
    QApplication application(argc, argv);
    CImagingToolApp app;
    return app.InitInstance();
}

}  // namespace pellorin
