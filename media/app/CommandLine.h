#pragma once
// pellorin's command line: the jobs of the work dialogs, run from a terminal.
//
//   pellorin [--payload DIR]            (the desktop application)
//   pellorin iso FILE [--payload DIR] [--yes]
//   pellorin deploy DIR [--payload DIR] [--yes | --no-overwrite]
//   pellorin drives
//   pellorin usb DEVICE [--payload DIR] [--yes] [--no-verify]

#include <cstdio>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>

namespace pellorin {

// Exit codes of the command line.
enum ExitCode : int {
    kExitDone = 0,
    kExitCancelled = 2,  // Ctrl-C during the job, or an existing file kept
    kExitFailed = 3,     // the job failed and said why
    kExitUsage = 64,     // wrong arguments
};

// Whether this process runs with rights its caller may not have: started through pkexec or sudo
// (PKEXEC_UID or SUDO_UID set), or with effective and real ids that differ.
bool RunsElevated();

// Parses the arguments and runs the chosen command; without one, `runApplication` with the
// directory of --payload (empty when not given). The hidden view options (--sysfs,
// --mountinfo, --swaps, --dev-dir) exist only in a build with PELLORIN_VIEW_OPTIONS, and are
// refused there with kExitUsage in an elevated run.
int RunCommandLine(int argc, char** argv, const std::function<int(const std::filesystem::path&)>& runApplication);

// A bash completion script for the commands and options of RunCommandLine, read from the
// same definitions (hidden options left out).
std::string BashCompletionScript();

// "iso": asks before replacing an existing file (unless bYes), then builds the image with a
// terminal progress display; Ctrl-C cancels the write. Answers are read from `in`, the progress
// and the questions go to `err`, the final message to `out`.
int RunIsoCommand(const std::string& strTarget, const std::filesystem::path& payloadDirectory, bool bYes,
                  std::istream& in, std::FILE* out, std::FILE* err);

}  // namespace pellorin
