#pragma once
// The switches of the command line that more than the main flow reads: debug output of the
// engines, skipping the BIOS test, and windowed mode for the operator's questions. Set once
// by the command-line parser, read everywhere else.

namespace dorvix {

struct ProcessFlags {
    bool debug = false;
    bool skipBiosCheck = false;
    bool windowed = false;
};

ProcessFlags& processFlags();

}  // namespace dorvix
