#pragma once
// A progress window in another program (key "pm:<n>"): `n` is a file descriptor that dorvix
// inherited from the program that started it, a socket or a pipe. dorvix writes one UTF-8
// line per message:
//
//   dorvix-progress 1        first line: the protocol and its version
//   progress <percent>       UM_PROGRESS
//   status <text>            UM_STATUSTEXT
//   heading <text>           UM_HEADINGTEXT
//   close                    UM_CLOSEPROGRESS
//   error <text>             an error message box; dorvix then waits for one line from the
//                            peer (its OK), unless the descriptor is open for writing only
//
// Texts are escaped so that any text fits on one line: "\\" for a backslash, "\n", "\r" and
// "\t" for those characters, "\xHH" (two upper-case hex digits) for every other control
// character and for each byte that is not part of a well-formed UTF-8 sequence.
//
// When the descriptor is not open, or the peer goes away during the run, dorvix says so once
// on standard error and goes on, on the console.

#include "platform/InheritedChannel.h"
#include "platform/Operator.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace dorvix {

inline constexpr char kProgressChannelVersion[] = "dorvix-progress 1";

// One text as it travels on a line of the channel.
std::string escapeChannelText(std::string_view text);

class ProgressChannel final : public ProgressWindowHost {
public:
    // The channel on the inherited descriptor `number`, its first line written; nothing (after
    // a line on standard error) when the descriptor is not open or the line cannot be written.
    static std::unique_ptr<ProgressChannel> attach(std::int64_t number);

    void sendMessage(ProgressMessage message, unsigned wParam, std::string_view text) override;
    MessageBoxResult messageBox(std::string_view text, std::string_view title, MessageBoxButtons buttons,
                                MessageBoxIcon icon) override;
    ProgressWindowHost* questionHost() override { return m_questions; }

    // The message boxes that show the two questions in windowed mode (none: the console).
    void setQuestionHost(ProgressWindowHost* host) { m_questions = host; }

    bool broken() const { return m_broken; }

private:
    explicit ProgressChannel(InheritedChannel peer) : m_peer(peer) {}
    bool writeLine(std::string line);
    bool readLine();
    void breakOff();

    InheritedChannel m_peer;
    bool m_broken = false;
    ProgressWindowHost* m_questions = nullptr;
};

}  // namespace dorvix
