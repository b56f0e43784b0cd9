#pragma once
// The command line of dorvix: arguments split by nextArgument, options matched against the
// option table in its fixed order, and the defaults of every run.

#include "front/StringTable.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace dorvix {

enum class ImagingMode {
    Restore,    // write a FAT-aware (or flat) image onto the disk
    FlatCopy,   // flat capture of the disk into a file
    WriteFlat,  // flat write of a file onto the disk
    ImgCopy,    // FAT-aware capture into a file
};

struct CommandOptions {
    ImagingMode mode = ImagingMode::Restore;
    std::uint8_t targetDevice = 1;  // the low 8 bits of the value given
    bool restart = true;
    std::string imagePath = text::kDefaultImage;
    std::string mbrCodePath;   // empty: none
    std::string bootCodePath;  // empty: none
    std::int64_t progressWindow = 0;  // number of a window named with "pm:"; 0: none
    bool debug = false;
    bool assumeYes = false;
    bool skipBiosCheck = false;
    bool windowed = false;
};

// Arguments are at most 99 characters long (a buffer of 100 with its terminator).
inline constexpr std::size_t kMaxArgumentChars = 99;

struct Argument {
    enum class Kind { Text, End, TooLong } kind = Kind::End;
    std::string text;  // without quote characters
};

// Takes the next argument from `cursor` and advances it past what was consumed. Only the
// space character separates arguments; a double quote switches quoting on and off and is
// not copied, so spaces between two quotes belong to the argument.
Argument nextArgument(std::string_view& cursor);

// A standard string-to-integer conversion: leading blanks and a sign, digits up to the
// first non-digit, 0 without digits. Wraps instead of overflowing.
std::int64_t decimalValue(std::string_view text);

enum class ParseOutcome {
    Run,              // go on with the main flow
    Usage,            // key "H", "?", "help" or "-help": print the usage text, exit code 0
    DeviceDump,       // key "devdump" or "dd": list the devices, exit code 0
    ArgumentTooLong,  // an argument did not fit: exit code 1
};

struct ParsedCommandLine {
    ParseOutcome outcome = ParseOutcome::Run;
    CommandOptions options;
    std::string tooLong;  // the argument that did not fit
};

// Applies the option table to every argument until the end of the line, the usage key or
// the device-dump key.
ParsedCommandLine parseCommandLine(std::string_view commandLine);

// Joins the program's arguments (without the program name) into one command line for
// parseCommandLine; an argument with a space is enclosed in double quotes.
std::string joinArguments(int argc, const char* const* argv);

}  // namespace dorvix
