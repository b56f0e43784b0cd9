#include "front/ProgressChannel.h"

#include "DorvixTestSupport.h"
#include "front/ProgressDialog.h"
#include "platform/DebugOutput.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>

using dorvix::ProgressChannel;
using dorvixtest::ConsoleCapture;

namespace {

TEST(ProgressChannelText, EscapesEverythingThatCouldBreakALine) {
    struct Case {
        const char* name;
        std::string text;
        std::string line;
    };
    const Case cases[] = {
        {"plain", "Extracting the image...", "Extracting the image..."},
        {"line ends and tab", "a\r\nb\tc\n", "a\\r\\nb\\tc\\n"},
        {"backslash", "\\Documents and Settings", "\\\\Documents and Settings"},
        {"other controls", std::string("\x01\x1B[0m\x7F", 6), "\\x01\\x1B[0m\\x7F"},
        {"nul", std::string("a\0b", 3), "a\\x00b"},
        {"well-formed UTF-8 passes", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"stray continuation byte", "a\x80z", "a\\x80z"},
        {"sequence cut off at the end", "a\xE2\x82", "a\\xE2\\x82"},
        {"overlong form", "\xC0\xAF", "\\xC0\\xAF"},
        {"surrogate", "\xED\xA0\x80", "\\xED\\xA0\\x80"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dorvix::escapeChannelText(c.text), c.line) << c.name;
    }
}

// Both ends of a socket pair: dorvix's end and the peer's.
struct SocketPair {
    int dorvix = -1;
    int peer = -1;
    SocketPair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        dorvix = fds[0];
        peer = fds[1];
    }
    ~SocketPair() {
        if (dorvix >= 0) ::close(dorvix);
        if (peer >= 0) ::close(peer);
    }
    void closePeer() {
        ::close(peer);
        peer = -1;
    }
    // Everything the peer has received so far.
    std::string received() const {
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }
    void answer(const std::string& line) const {
        ASSERT_EQ(::send(peer, line.data(), line.size(), 0), static_cast<ssize_t>(line.size()));
    }
};

TEST(ProgressChannel, WritesOneLinePerMessageAfterTheVersionLine) {
    SocketPair pair;
    ConsoleCapture console;
    auto channel = ProgressChannel::attach(pair.dorvix);
    ASSERT_NE(channel, nullptr);
    pair.answer("ok\n");  // the peer's OK to the error box below, sent ahead
    dorvix::showHeading(channel.get(), "Copying volume to KMV file, one moment please...");
    dorvix::showStatus(channel.get(), "Total sectors = %08lX\n\n", 0x1234ul);
    dorvix::showProgress(channel.get(), 37);
    dorvix::showError(channel.get(), "***ERROR*** %s\r\n", "bad");
    dorvix::closeProgress(channel.get());
    EXPECT_EQ(pair.received(),
              "dorvix-progress 1\n"
              "heading Copying volume to KMV file, one moment please...\n"
              "status Total sectors = 00001234\\n\\n\n"
              "progress 37\n"
              "error ***ERROR*** bad\\r\\n\n"
              "close\n");
    EXPECT_FALSE(channel->broken());
    EXPECT_EQ(console.output(), "");
}

TEST(ProgressChannel, ErrorWaitsForThePeersAnswer) {
    SocketPair pair;
    ConsoleCapture console;
    auto channel = ProgressChannel::attach(pair.dorvix);
    ASSERT_NE(channel, nullptr);
    std::atomic<bool> answered{false};
    std::thread peer([&] {
        // Reads up to the error line, then answers.
        std::string seen;
        char c;
        while (seen.find("error ") == std::string::npos || seen.back() != '\n') {
            if (::recv(pair.peer, &c, 1, 0) != 1) return;
            seen += c;
        }
        answered = true;
        pair.answer("ok\n");
    });
    dorvix::showError(channel.get(), "ERROR: The image file does not exist.");
    EXPECT_TRUE(answered);  // showError returned only after the answer
    peer.join();
    EXPECT_FALSE(channel->broken());
}

TEST(ProgressChannel, DescriptorThatCannotBeWrittenGivesNoWindow) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const int closedNumber = fds[1];
    ::close(fds[1]);
    for (std::int64_t fd : {std::int64_t{closedNumber}, std::int64_t{fds[0]}, std::int64_t{-3}, std::int64_t{1} << 40}) {
        dorvix::DebugCapture debug;
        EXPECT_EQ(ProgressChannel::attach(fd), nullptr) << fd;
        EXPECT_NE(debug.text().find("names no descriptor open for writing"), std::string::npos) << fd;
        EXPECT_EQ(std::count(debug.text().begin(), debug.text().end(), '\n'), 1) << fd;
    }
    ::close(fds[0]);
}

TEST(ProgressChannel, PeerThatGoesAwaySendsTheRestToTheConsoleWithOneNotice) {
    SocketPair pair;
    ConsoleCapture console;
    dorvix::DebugCapture debug;
    auto channel = ProgressChannel::attach(pair.dorvix);
    ASSERT_NE(channel, nullptr);
    dorvix::showStatus(channel.get(), "seen by the peer");
    pair.closePeer();
    dorvix::showStatus(channel.get(), "Copying folder and data areas...\r\n");
    dorvix::showProgress(channel.get(), 40);
    dorvix::showHeading(channel.get(), "no heading on the console");
    dorvix::showError(channel.get(), "***ERROR*** late\n");
    dorvix::closeProgress(channel.get());
    EXPECT_TRUE(channel->broken());
    EXPECT_EQ(console.output(), "Copying folder and data areas...\r\n\r40% completed.***ERROR*** late\n");
    EXPECT_EQ(debug.text(), "dorvix: the progress channel of -pm: broke off; reporting on the console.\n");
}

TEST(ProgressChannel, PeerThatEndsInsteadOfAnsweringLeavesTheErrorOnTheConsole) {
    SocketPair pair;
    ConsoleCapture console;
    dorvix::DebugCapture debug;
    auto channel = ProgressChannel::attach(pair.dorvix);
    ASSERT_NE(channel, nullptr);
    ::shutdown(pair.peer, SHUT_WR);  // the peer still reads, but will never answer
    dorvix::showError(channel.get(), "***ERROR*** unanswered\n");
    EXPECT_TRUE(channel->broken());
    EXPECT_EQ(console.output(), "***ERROR*** unanswered\n");
    EXPECT_NE(pair.received().find("error ***ERROR*** unanswered\\n\n"), std::string::npos);
}

TEST(ProgressChannel, WriteOnlyPipeGetsErrorsWithoutWaiting) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ConsoleCapture console;
    {
        auto channel = ProgressChannel::attach(fds[1]);
        ASSERT_NE(channel, nullptr);
        dorvix::showError(channel.get(), "no answer can come through a pipe");
        EXPECT_FALSE(channel->broken());
    }
    EXPECT_EQ(::fcntl(fds[1], F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);  // not handed on to the reset command
    ::close(fds[1]);
    std::string text(256, '\0');
    text.resize(static_cast<std::size_t>(::read(fds[0], text.data(), text.size())));
    ::close(fds[0]);
    EXPECT_EQ(text, "dorvix-progress 1\nerror no answer can come through a pipe\n");
}

TEST(ProgressChannel, BrokenPipeDoesNotEndTheProcess) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ConsoleCapture console;
    dorvix::DebugCapture debug;
    auto channel = ProgressChannel::attach(fds[1]);
    ASSERT_NE(channel, nullptr);
    ::close(fds[0]);
    dorvix::showStatus(channel.get(), "after the reader left");  // SIGPIPE would end the test program
    EXPECT_TRUE(channel->broken());
    EXPECT_EQ(console.output(), "after the reader left");
    ::close(fds[1]);
}

}  // namespace
