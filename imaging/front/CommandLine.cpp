#include "front/CommandLine.h"

#include <cctype>
#include <strings.h>

namespace dorvix {

namespace {

bool keyIs(std::string_view key, std::string_view word) {
    return key.size() == word.size() && ::strncasecmp(key.data(), word.data(), word.size()) == 0;
}

bool keyStartsWith(std::string_view key, std::string_view prefix) {
    return key.size() >= prefix.size() && ::strncasecmp(key.data(), prefix.data(), prefix.size()) == 0;
}

}  // namespace

Argument nextArgument(std::string_view& cursor) {
    std::size_t pos = 0;
    while (pos < cursor.size() && cursor[pos] == ' ') {
        ++pos;
    }
    if (pos == cursor.size()) {
        cursor = cursor.substr(pos);
        return {};
    }
    Argument argument;
    argument.kind = Argument::Kind::Text;
    bool quoted = false;
    std::size_t copied = 0;
    for (; pos < cursor.size(); ++pos) {
        const char c = cursor[pos];
        if (c == ' ' && !quoted) {
            break;
        }
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        ++copied;
        if (copied <= kMaxArgumentChars) {
            argument.text += c;
        }
    }
    cursor = cursor.substr(pos);
    if (copied > kMaxArgumentChars) {
        argument.kind = Argument::Kind::TooLong;
    }
    return argument;
}

std::int64_t decimalValue(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    std::uint64_t value = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        value = value * 10 + static_cast<std::uint64_t>(text[pos] - '0');
    }
    return static_cast<std::int64_t>(negative ? (~value + 1) : value);
}

ParsedCommandLine parseCommandLine(std::string_view commandLine) {
    ParsedCommandLine parsed;
    CommandOptions& o = parsed.options;
    std::string_view cursor = commandLine;
    for (;;) {
        Argument argument = nextArgument(cursor);
        if (argument.kind == Argument::Kind::End) {
            break;
        }
        if (argument.kind == Argument::Kind::TooLong) {
            parsed.outcome = ParseOutcome::ArgumentTooLong;
            parsed.tooLong = std::move(argument.text);
            return parsed;
        }
        const std::string_view arg = argument.text;
        if (arg.empty() || (arg[0] != '-' && arg[0] != '/')) {
            o.imagePath = argument.text;
            continue;
        }
        const std::string_view key = arg.substr(1);
        // "help" and "-help" (from "--help") are what an operator new to dorvix tries first;
        // no key begins with "help", so they are the usage key rather than ignored words
        // that would let the run go on to a restore.
        if (keyIs(key, "H") || keyIs(key, "?") || keyIs(key, "help") || keyIs(key, "-help")) {
            parsed.outcome = ParseOutcome::Usage;
            return parsed;
        } else if (keyIs(key, "D")) {
            o.debug = true;
        } else if (keyIs(key, "Y")) {
            o.assumeYes = true;
        } else if (keyIs(key, "XB")) {
            o.skipBiosCheck = true;
        } else if (keyIs(key, "W")) {
            o.windowed = true;
        } else if (keyIs(key, "flatcopy")) {
            o.mode = ImagingMode::FlatCopy;
        } else if (keyIs(key, "writeflat")) {
            o.mode = ImagingMode::WriteFlat;
        } else if (keyIs(key, "imgcopy")) {
            o.mode = ImagingMode::ImgCopy;
        } else if (keyIs(key, "noheader") || keyIs(key, "nh")) {
            // accepted for compatibility; the header is detected from the file
        } else if (keyIs(key, "norestart") || keyIs(key, "nor")) {
            o.restart = false;
        } else if (keyIs(key, "devdump") || keyIs(key, "dd")) {
            parsed.outcome = ParseOutcome::DeviceDump;
            return parsed;
        } else if (keyStartsWith(key, "targetdev:")) {
            o.targetDevice = static_cast<std::uint8_t>(decimalValue(key.substr(10)) & 0xFF);
        } else if (keyStartsWith(key, "td:")) {
            o.targetDevice = static_cast<std::uint8_t>(decimalValue(key.substr(3)) & 0xFF);
        } else if (keyStartsWith(key, "pm:")) {
            o.progressWindow = decimalValue(key.substr(3));
        } else if (keyStartsWith(key, "icpbr:")) {
            o.bootCodePath = std::string(key.substr(6));
        } else if (keyStartsWith(key, "icmbr:")) {
            o.mbrCodePath = std::string(key.substr(6));
        } else if (arg[0] == '/' && key.find('/') != std::string_view::npos) {
            // No key contains a slash, so this is an absolute path of the host ("/media/usb/FLASH.IMG"),
            // not an option; ignoring it would silently fall back to the default image.
            o.imagePath = argument.text;
        }
        // anything else is ignored without a message
    }
    return parsed;
}

std::string joinArguments(int argc, const char* const* argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i > 1) {
            line += ' ';
        }
        const bool enclose = arg.empty() || arg.find(' ') != std::string_view::npos;
        if (enclose) {
            line += '"';
        }
        line += arg;
        if (enclose) {
            line += '"';
        }
    }
    return line;
}

}  // namespace dorvix
