#pragma once
// Operator output of dorvix: status lines, error messages, progress and the two questions
// of the main flow, on the console or in a progress window.
//
// Status, error and progress routines look at the progress window (present: window, absent:
// console); confirmRestore and announceReboot look at the windowed flag (message box or
// console), so a window named on the command line gets status and progress while the
// questions stay on the console.

#include <cstdint>
#include <string>
#include <string_view>

namespace dorvix {

// The four messages a progress window understands (values of the device's window messages).
enum ProgressMessage : unsigned {
    UM_PROGRESS = 0x464,       // wParam: percent 0-100
    UM_STATUSTEXT = 0x465,     // text of the status line
    UM_HEADINGTEXT = 0x466,    // text of the heading
    UM_CLOSEPROGRESS = 0x46E,  // the window ends
};

enum class MessageBoxButtons { Ok, OkCancel };
// What a box is about, shown as its icon: a failure, a warning, a question to the operator, or
// information.
enum class MessageBoxIcon { Error, Warning, Question, Information };
enum class MessageBoxResult { Ok, Cancel };

// A progress window: the dialog of windowed mode, or the channel of a window named by
// number. Each call returns when the window has handled it, so the text need only live
// for the duration of the call.
class ProgressWindowHost {
public:
    virtual ~ProgressWindowHost() = default;
    virtual void sendMessage(ProgressMessage message, unsigned wParam, std::string_view text) = 0;
    // A modal message box owned by the window.
    virtual MessageBoxResult messageBox(std::string_view text, std::string_view title, MessageBoxButtons buttons,
                                        MessageBoxIcon icon) = 0;
    // Where the two questions of windowed mode are shown as message boxes: the window itself,
    // or, for a window in another program, the message boxes of this program (none: console).
    virtual ProgressWindowHost* questionHost() { return this; }
};

// "Progress window or none": nullptr means the console.
using ProgressWindow = ProgressWindowHost*;

// Window texts are held in buffers of 512 characters: a longer text is cut to its first 511
// characters, never inside a UTF-8 sequence.
std::string cutWindowText(std::string text);

// printf-style status text. Window: UM_STATUSTEXT with the text cut to 511 characters.
// Console: printed as it stands, no line end added ("\r..." overwrites the current line).
void showStatus(ProgressWindow window, const char* format, ...) __attribute__((format(printf, 2, 3)));

// printf-style error text. Window: a message box with OK (cut to 511 characters), its icon
// chosen by the text's own mark (messageBoxIcon). Console: printed as it stands.
void showError(ProgressWindow window, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The icon of an error text: the system marks its texts by their first word ("***ERROR***",
// "ERROR:", "WARNING"); an unmarked text (the BIOS line of the debug flag) is information.
MessageBoxIcon messageBoxIcon(std::string_view text);

// Progress in percent: UM_PROGRESS to the window, or "\r%d%% completed." on the console.
void showProgress(ProgressWindow window, int percent);

// The heading of the window (nothing happens without a window).
void showHeading(ProgressWindow window, std::string_view text);

// UM_CLOSEPROGRESS (nothing happens without a window).
void closeProgress(ProgressWindow window);

// Before a disk is overwritten: true to go on. At the end of standard input the answer is no.
bool confirmRestore(ProgressWindow window);

// Before the reset: always true, after the operator has acknowledged it.
bool announceReboot(ProgressWindow window);

// After a successful run that no reset follows: `notice` on the console, or, in windowed mode
// without assume yes, in a message box the operator acknowledges.
void announceRestartByHand(ProgressWindow window, const char* notice, bool assumeYes);

}  // namespace dorvix
