#include "app/CommandLine.h"

#include "app/DeployCommand.h"
#include "jobs/PayloadList.h"
#include "jobs/StringTable.h"
#include "app/TerminalView.h"
#include "app/UsbCommand.h"
#include "jobs/WorkResult.h"
#include "iso/IsoImageBuilder.h"

#include "platform/Console.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <system_error>
#include <vector>

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

    CTerminalIsoView view(err, IsTerminal(err));
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
    return RunsWithRaisedIds();
}

namespace {

// What the command line fills in, and the commands it defines.
struct CommandLineValues {
    std::string strAppPayload;  // the application's payload, without a command

    std::string strTarget;
    std::string strPayload;
    bool bYes = false;

    std::string strFolder;
    std::string strDeployPayload;
    bool bReplace = false;
    bool bKeep = false;

    SystemViews views;
    std::vector<CLI::Option*> viewOptions;

    std::string strDevice;
    std::string strUsbPayload;
    bool bUsbYes = false;
    bool bNoVerify = false;

    CLI::App* iso = nullptr;
    CLI::App* deploy = nullptr;
    CLI::App* drives = nullptr;
    CLI::App* usb = nullptr;
};

// Defines the commands and options on `app`; the help text and the shell completion are both
// read from these definitions.
void DefineCommandLine(CLI::App& app, CommandLineValues& v) {
    app.footer(std::string(cli::kExitCodes));
    app.require_subcommand(0, 1);

    CLI::Validator existingDirectory = CLI::ExistingDirectory;
    existingDirectory.description("");  // the help shows DIR alone
    app.add_option("--payload", v.strAppPayload, std::string(cli::kAppPayloadOption))
        ->type_name("DIR")
        ->check(existingDirectory);

    v.iso = app.add_subcommand("iso", std::string(cli::kIsoCommand));
    v.iso->add_option("FILE", v.strTarget, std::string(cli::kIsoFileOption))->required();
    v.iso->add_option("--payload", v.strPayload, std::string(cli::kPayloadOption))
        ->type_name("DIR")
        ->check(existingDirectory);
    v.iso->add_flag("-y,--yes", v.bYes, std::string(cli::kYesOption));

    v.deploy = app.add_subcommand("deploy", std::string(cli::kDeployCommand));
    v.deploy->add_option("DIR", v.strFolder, std::string(cli::kDeployFolderOption))
        ->required()
        ->check(existingDirectory);
    v.deploy->add_option("--payload", v.strDeployPayload, std::string(cli::kPayloadOption))
        ->type_name("DIR")
        ->check(existingDirectory);
    CLI::Option* replace = v.deploy->add_flag("-y,--yes", v.bReplace, std::string(cli::kDeployYesOption));
    v.deploy->add_flag("-n,--no-overwrite", v.bKeep, std::string(cli::kNoOverwriteOption))->excludes(replace);

    // Where the kernel's views are read from: in a test build only, hidden, for the tests that
    // point the program at staged trees. Elsewhere the options do not exist.
    const auto addViewOptions = [&v](CLI::App* command) {
#if PELLORIN_VIEW_OPTIONS
        v.viewOptions.push_back(command->add_option("--sysfs", v.views.sysfsRoot)->group(""));
        v.viewOptions.push_back(command->add_option("--mountinfo", v.views.mountInfo)->group(""));
        v.viewOptions.push_back(command->add_option("--swaps", v.views.swaps)->group(""));
        v.viewOptions.push_back(command->add_option("--dev-dir", v.views.devRoot)->group(""));
#else
        (void)v;
        (void)command;
#endif
    };
    v.drives = app.add_subcommand("drives", std::string(cli::kDrivesCommand));
    addViewOptions(v.drives);

    v.usb = app.add_subcommand("usb", std::string(cli::kUsbCommand));
    v.usb->add_option("DEVICE", v.strDevice, std::string(cli::kUsbDeviceOption))->required();
    v.usb->add_option("--payload", v.strUsbPayload, std::string(cli::kPayloadOption))
        ->type_name("DIR")
        ->check(existingDirectory);
    v.usb->add_flag("-y,--yes", v.bUsbYes, std::string(cli::kUsbYesOption));
    v.usb->add_flag("--no-verify", v.bNoVerify, std::string(cli::kNoVerifyOption));
    addViewOptions(v.usb);
}

// The words an option is written as: "-y", "--yes".
std::vector<std::string> OptionWords(const CLI::Option& option) {
    std::vector<std::string> words;
    for (const std::string& name : option.get_snames()) words.push_back("-" + name);
    for (const std::string& name : option.get_lnames()) words.push_back("--" + name);
    return words;
}

std::string Joined(const std::vector<std::string>& words, const char* separator = " ") {
    std::string text;
    for (const std::string& word : words) {
        if (!text.empty()) text += separator;
        text += word;
    }
    return text;
}

// The compgen arguments that complete a value named `name` (an option's type or a positional's
// name): folders for DIR, whole disks for DEVICE, files otherwise.
std::string ValueCompletion(const std::string& name) {
    if (name == "DIR") return "compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- \"$cur\"))";
    if (name == "DEVICE") {
        return "COMPREPLY=($(compgen -W \"$(cd /sys/block 2>/dev/null && printf '/dev/%s ' *)\" -- \"$cur\"))";
    }
    return "compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\"))";
}

}  // namespace

std::string BashCompletionScript() {
    CLI::App app{std::string(cli::kDescription), "pellorin"};
    CommandLineValues values;
    DefineCommandLine(app, values);

    std::vector<std::string> commands;
    std::string cases;
    for (const CLI::App* command : app.get_subcommands({})) {
        commands.push_back(command->get_name());
        std::vector<std::string> words{"-h", "--help"};
        std::string valueCases;
        std::string positional;  // the name of the command's operand, if it has one
        for (const CLI::Option* option : command->get_options()) {
            if (option->get_group().empty()) continue;  // hidden
            if (option->get_positional()) {
                positional = option->get_name();
                continue;
            }
            const std::vector<std::string> optionWords = OptionWords(*option);
            if (option->get_items_expected_max() > 0) {  // takes a value, not a flag
                valueCases += "            " + Joined(optionWords, "|") + ") " +
                              ValueCompletion(option->get_type_name()) + "; return ;;\n";
            }
            for (const std::string& word : optionWords) {
                if (word != "-h" && word != "--help") words.push_back(word);
            }
        }
        cases += "    " + command->get_name() + ")\n";
        if (!valueCases.empty()) cases += "        case $prev in\n" + valueCases + "        esac\n";
        cases += "        if [[ $cur == -* ]]; then\n            COMPREPLY=($(compgen -W \"" + Joined(words) +
                 "\" -- \"$cur\"))\n";
        if (!positional.empty()) cases += "        else\n            " + ValueCompletion(positional) + "\n";
        cases += "        fi ;;\n";
    }

    std::string script =
        "# bash completion for pellorin, generated from its command line definitions\n"
        "_pellorin() {\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} command= i\n"
        "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        "        case ${COMP_WORDS[i]} in\n"
        "        " + Joined(commands, "|") + ") command=${COMP_WORDS[i]}; break ;;\n"
        "        esac\n"
        "    done\n"
        "    case $command in\n"
        "    \"\") COMPREPLY=($(compgen -W \"" + Joined(commands) + " -h --help\" -- \"$cur\")) ;;\n" +
        cases +
        "    esac\n"
        "}\n"
        "complete -F _pellorin pellorin\n";
    return script;
}

int RunCommandLine(int argc, char** argv, const std::function<int(const fs::path&)>& runApplication) {
    CLI::App app{std::string(cli::kDescription), "pellorin"};
    CommandLineValues v;
    DefineCommandLine(app, v);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ExtrasError& e) {
        // Without a command, a word left over is a command that does not exist.
        if (!app.get_subcommands().empty()) return app.exit(e) == 0 ? kExitDone : kExitUsage;
        const std::vector<std::string> extras = app.remaining();
        std::fprintf(stderr, "%s: %s\nRun with --help for more information.\n",
                     extras.empty() ? "" : extras.front().c_str(), std::string(cli::kUnknownCommand).c_str());
        return kExitUsage;
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitDone : kExitUsage;
    }

    // No command: the desktop application, on the payload given or the program's own.
    if (app.get_subcommands().empty()) return runApplication(fs::path(v.strAppPayload));

    // A run with rights its caller may not have (through pkexec, sudo or a set-user-id bit) reads
    // only the kernel's own views: a caller's fake tables could otherwise steer it to a disk or
    // file the guard would refuse.
    if (RunsElevated() && std::any_of(v.viewOptions.begin(), v.viewOptions.end(),
                                      [](const CLI::Option* option) { return option->count() > 0; })) {
        std::fprintf(stderr, "%s\n", std::string(cli::kViewsRefusedElevated).c_str());
        return kExitUsage;
    }

    // A --payload given before the command stands for the command's own.
    for (std::string* payload : {&v.strPayload, &v.strDeployPayload, &v.strUsbPayload}) {
        if (payload->empty()) *payload = v.strAppPayload;
    }
    if (v.iso->parsed()) {
        const fs::path payloadDirectory = v.strPayload.empty() ? ProgramDirectory() : fs::path(v.strPayload);
        return RunIsoCommand(v.strTarget, payloadDirectory, v.bYes, std::cin, stdout, stderr);
    }
    if (v.deploy->parsed()) {
        const fs::path payloadDirectory = v.strDeployPayload.empty() ? ProgramDirectory() : fs::path(v.strDeployPayload);
        const OverwritePolicy policy = v.bReplace ? OverwritePolicy::Yes : v.bKeep ? OverwritePolicy::No : OverwritePolicy::Ask;
        return RunDeployCommand(v.strFolder, payloadDirectory, policy, std::cin, stdout, stderr);
    }
    // The disks of the running program and of its payload are never offered.
    v.views.protectedPaths.push_back(ProgramDirectory());
    if (v.drives->parsed()) return RunDrivesCommand(v.views, stdout);
    if (v.usb->parsed()) {
        UsbFormatRequest request;
        request.device = v.strDevice;
        request.payloadDirectory = v.strUsbPayload.empty() ? ProgramDirectory() : fs::path(v.strUsbPayload);
        request.verify = !v.bNoVerify;
        v.views.protectedPaths.push_back(request.payloadDirectory);
        CUsbPlatform platform(v.views);
        return RunUsbCommand(request, v.bUsbYes, platform, std::cin, stdout, stderr);
    }
    return kExitUsage;
}

}  // namespace pellorin
