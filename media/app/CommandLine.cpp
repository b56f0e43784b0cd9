#include "app/CommandLine.h"

#include "app/DeployCommand.h"
#include "jobs/PayloadList.h"
#include "jobs/StringTable.h"
#include "app/TerminalView.h"
#include "app/UsbCommand.h"
#include "jobs/WorkResult.h"
#include "iso/IsoImageBuilder.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <system_error>

namespace pellorin {

namespace fs = std::filesystem;

int RunIsoCommand(const std::string& strTarget, const fs::path& payloadDirectory, bool bYes, std::istream& in,
                  std::FILE* out, std::FILE* err) {
    std::error_code ec;
    // A link at FILE is replaced by the image, like a plain file; nothing is written through it.
    const fs::file_status status = fs::symlink_status(strTarget, ec);
    if (!ec && fs::exists(status)) {
        if (!fs::is_regular_file(status) && !fs::is_symlink(status)) {
            std::fprintf(err, "%s%s\n", strTarget.c_str(), std::string(cli::kNotAPlainFile).c_str());
            return kExitFailed;
        }
        if (!bYes) {
            std::fprintf(err, "%s%s", strTarget.c_str(), std::string(cli::kReplacePrompt).c_str());
            std::fflush(err);
            if (!ReadYesAnswer(in)) {
                // No answer at all leaves the prompt's line open.
                if (in.fail()) std::fputc('\n', err);
                std::fprintf(err, "%s%s\n", strTarget.c_str(), std::string(cli::kKept).c_str());
                return kExitCancelled;
            }
        }
    }

    CTerminalIsoView view(err, ::isatty(::fileno(err)) == 1);
    view.SetStatusText(LoadStringText(IDS_CALCULATING_HEADER));
    int result = kWorkFailed;
    {
        CInterruptGuard interrupts;
        result = BuildIsoImage(strTarget, payloadDirectory, view);
    }
    view.Finish();
    switch (result) {
    case kWorkDone:
        std::fprintf(out, "%s\n", TerminalText(LoadStringText(IDS_ISO_CREATE_DONE)).c_str());
        return kExitDone;
    case kWorkCancelled: return kExitCancelled;
    default: return kExitFailed;
    }
}

bool RunsElevated() {
    for (const char* name : {"PKEXEC_UID", "SUDO_UID"}) {
        if (std::getenv(name) != nullptr) return true;
    }
    return ::geteuid() != ::getuid() || ::getegid() != ::getgid();
}

int RunCommandLine(int argc, char** argv) {
    CLI::App app{std::string(cli::kDescription), "pellorin"};
    app.footer(std::string(cli::kExitCodes));
    app.require_subcommand(1);

    std::string strTarget;
    std::string strPayload;
    bool bYes = false;
    CLI::App* iso = app.add_subcommand("iso", std::string(cli::kIsoCommand));
    iso->add_option("FILE", strTarget, std::string(cli::kIsoFileOption))->required();
    CLI::Validator existingDirectory = CLI::ExistingDirectory;
    existingDirectory.description("");  // the help shows DIR alone
    iso->add_option("--payload", strPayload, std::string(cli::kPayloadOption))
        ->type_name("DIR")
        ->check(existingDirectory);
    iso->add_flag("-y,--yes", bYes, std::string(cli::kYesOption));

    std::string strFolder;
    std::string strDeployPayload;
    bool bReplace = false;
    bool bKeep = false;
    CLI::App* deploy = app.add_subcommand("deploy", std::string(cli::kDeployCommand));
    deploy->add_option("DIR", strFolder, std::string(cli::kDeployFolderOption))->required()->check(existingDirectory);
    deploy->add_option("--payload", strDeployPayload, std::string(cli::kPayloadOption))
        ->type_name("DIR")
        ->check(existingDirectory);
    CLI::Option* replace = deploy->add_flag("-y,--yes", bReplace, std::string(cli::kDeployYesOption));
    deploy->add_flag("-n,--no-overwrite", bKeep, std::string(cli::kNoOverwriteOption))->excludes(replace);

    // Where the kernel's views are read from; hidden, for tests that point them at fake trees.
    SystemViews views;
    std::vector<CLI::Option*> viewOptions;
    const auto addViewOptions = [&views, &viewOptions](CLI::App* command) {
        viewOptions.push_back(command->add_option("--sysfs", views.sysfsRoot)->group(""));
        viewOptions.push_back(command->add_option("--mountinfo", views.mountInfo)->group(""));
        viewOptions.push_back(command->add_option("--swaps", views.swaps)->group(""));
        viewOptions.push_back(command->add_option("--dev-dir", views.devRoot)->group(""));
    };
    CLI::App* drives = app.add_subcommand("drives", std::string(cli::kDrivesCommand));
    addViewOptions(drives);

    std::string strDevice;
    std::string strUsbPayload;
    bool bUsbYes = false;
    bool bNoVerify = false;
    CLI::App* usb = app.add_subcommand("usb", std::string(cli::kUsbCommand));
    usb->add_option("DEVICE", strDevice, std::string(cli::kUsbDeviceOption))->required();
    usb->add_option("--payload", strUsbPayload, std::string(cli::kPayloadOption))
        ->type_name("DIR")
        ->check(existingDirectory);
    usb->add_flag("-y,--yes", bUsbYes, std::string(cli::kUsbYesOption));
    usb->add_flag("--no-verify", bNoVerify, std::string(cli::kNoVerifyOption));
    addViewOptions(usb);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitDone : kExitUsage;
    }

    // A run with rights its caller may not have (through pkexec, sudo or a set-user-id bit) reads
    // only the kernel's own views: a caller's fake tables could otherwise steer it to a disk or
    // file the guard would refuse.
    if (RunsElevated() && std::any_of(viewOptions.begin(), viewOptions.end(),
                                      [](const CLI::Option* option) { return option->count() > 0; })) {
        std::fprintf(stderr, "%s\n", std::string(cli::kViewsRefusedElevated).c_str());
        return kExitUsage;
    }

    if (iso->parsed()) {
        const fs::path payloadDirectory = strPayload.empty() ? ProgramDirectory() : fs::path(strPayload);
        return RunIsoCommand(strTarget, payloadDirectory, bYes, std::cin, stdout, stderr);
    }
    if (deploy->parsed()) {
        const fs::path payloadDirectory = strDeployPayload.empty() ? ProgramDirectory() : fs::path(strDeployPayload);
        const OverwritePolicy policy = bReplace ? OverwritePolicy::Yes : bKeep ? OverwritePolicy::No : OverwritePolicy::Ask;
        return RunDeployCommand(strFolder, payloadDirectory, policy, std::cin, stdout, stderr);
    }
    // The disks of the running program and of its payload are never offered.
    views.protectedPaths.push_back(ProgramDirectory());
    if (drives->parsed()) return RunDrivesCommand(views, stdout);
    if (usb->parsed()) {
        UsbFormatRequest request;
        request.device = strDevice;
        request.payloadDirectory = strUsbPayload.empty() ? ProgramDirectory() : fs::path(strUsbPayload);
        request.verify = !bNoVerify;
        views.protectedPaths.push_back(request.payloadDirectory);
        CUsbPlatform platform(views);
        return RunUsbCommand(request, bUsbYes, platform, std::cin, stdout, stderr);
    }
    return kExitUsage;
}

}  // namespace pellorin
