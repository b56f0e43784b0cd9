#include "platform/Operator.h"

#include "platform/Console.h"
#include "platform/PlatformTexts.h"
#include "platform/ProcessFlags.h"

#include <cstdarg>
#include <cstdio>
#include <strings.h>

namespace dorvix {

namespace {

// Window texts live in buffers of 512 characters: longer ones are cut to 511.
constexpr std::size_t kWindowTextSize = 512;
// The console answer is read as at most 15 characters, the line end included when it fits.
constexpr std::size_t kAnswerChars = 15;

std::string formatAll(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) {
        return {};
    }
    std::string out(static_cast<std::size_t>(needed) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<std::size_t>(needed));
    return out;
}

std::string formatWindowText(const char* format, va_list args) { return cutWindowText(formatAll(format, args)); }

// The questions go to a message box only in windowed mode and when a host shows them.
ProgressWindow questionWindow(ProgressWindow window) {
    if (!processFlags().windowed || window == nullptr) {
        return nullptr;
    }
    return window->questionHost();
}

}  // namespace

std::string cutWindowText(std::string text) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Every byte but a UTF-8 continuation byte starts a character.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && ++characters == kWindowTextSize) {
            text.resize(i);
            break;
        }
    }
    return text;
}

void showStatus(ProgressWindow window, const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (window != nullptr) {
        const std::string line = formatWindowText(format, args);
        window->sendMessage(UM_STATUSTEXT, 0, line);
    } else {
        consoleWrite(formatAll(format, args));
    }
    va_end(args);
}

void showError(ProgressWindow window, const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (window != nullptr) {
        const std::string line = formatWindowText(format, args);
        window->messageBox(line, text::kErrorTitle, MessageBoxButtons::Ok, messageBoxIcon(line));
    } else {
        consoleWrite(formatAll(format, args));
    }
    va_end(args);
}

MessageBoxIcon messageBoxIcon(std::string_view text) {
    const std::size_t start = text.find_first_not_of("\r\n");
    const std::string_view marked = start == std::string_view::npos ? std::string_view{} : text.substr(start);
    if (marked.starts_with("WARNING")) {
        return MessageBoxIcon::Warning;
    }
    if (marked.starts_with("***ERROR***") || marked.starts_with("ERROR")) {
        return MessageBoxIcon::Error;
    }
    return MessageBoxIcon::Information;
}

void showProgress(ProgressWindow window, int percent) {
    if (window != nullptr) {
        window->sendMessage(UM_PROGRESS, static_cast<unsigned>(percent), {});
    } else {
        showStatus(nullptr, text::kPercentCompleted, percent);
    }
}

void showHeading(ProgressWindow window, std::string_view heading) {
    if (window != nullptr) {
        window->sendMessage(UM_HEADINGTEXT, 0, heading);
    }
}

void closeProgress(ProgressWindow window) {
    if (window != nullptr) {
        window->sendMessage(UM_CLOSEPROGRESS, 0, {});
    }
}

bool confirmRestore(ProgressWindow window) {
    if (ProgressWindow boxes = questionWindow(window)) {
        return boxes->messageBox(text::kConfirmBox, text::kConfirmTitle, MessageBoxButtons::OkCancel,
                                 MessageBoxIcon::Question) ==
               MessageBoxResult::Ok;
    }
    consoleWrite(text::kConfirmConsole);
    for (;;) {
        consoleWrite(text::kConfirmPrompt);
        const auto answer = consoleReadLine(kAnswerChars);
        if (!answer) {
            return false;  // no operator left to answer: never overwrite a disk unasked
        }
        if (::strcasecmp(answer->c_str(), text::kAnswerYes) == 0) {
            return true;
        }
        if (::strcasecmp(answer->c_str(), text::kAnswerNo) == 0) {
            return false;
        }
    }
}

bool announceReboot(ProgressWindow window) {
    if (ProgressWindow boxes = questionWindow(window)) {
        boxes->messageBox(text::kRebootBox, text::kErrorTitle, MessageBoxButtons::OkCancel,
                          MessageBoxIcon::Information);
        return true;
    }
    consoleWrite(text::kRebootConsole);
    consoleReadChar();
    return true;
}

void announceRestartByHand(ProgressWindow window, const char* notice, bool assumeYes) {
    if (ProgressWindow boxes = assumeYes ? nullptr : questionWindow(window)) {
        // A box holds its text without the console's blank lines around it.
        std::string_view text(notice);
        while (!text.empty() && text.front() == '\n') text.remove_prefix(1);
        while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
        boxes->messageBox(text, text::kErrorTitle, MessageBoxButtons::Ok, MessageBoxIcon::Information);
        return;
    }
    consoleWrite(notice);
}

}  // namespace dorvix
