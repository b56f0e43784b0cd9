// A peer program following the built dorvix through "-pm:<n>": it starts dorvix with one end
// of a socket pair inherited as descriptor n, reads every line of a restore, answers error
// lines, and checks order and contents; a descriptor that is not open and a peer that goes
// away during the run leave the engine's result as it is.

#include "dorvix_restore_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace restoretest;
using testsupport::TempDir;

bool haveTools() {
    return testsupport::haveProgram("mkfs.fat") && testsupport::haveProgram("fsck.fat") &&
           testsupport::haveProgram("mcopy");
}

struct PeerRun {
    std::vector<std::string> lines;  // as received, without line ends
    int exitCode = -1;
    std::string output;  // dorvix's standard output and error
    bool errorAnsweredLate = false;  // nothing came between an error line and the answer
};

// How the peer behaves: answer error lines (after making sure dorvix waits), and optionally
// go away after the first line that starts with `leaveAfter`.
struct PeerRole {
    std::string leaveAfter;
    int pauseMs = 0;  // dorvix's pause after its completion line
};

class ChannelPeer {
public:
    explicit ChannelPeer(TempDir& dir) : m_dir(dir) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        m_peer = fds[0];
        m_child = fds[1];
        ::fcntl(m_peer, F_SETFD, FD_CLOEXEC);  // dorvix must hold only its own end
    }
    ~ChannelPeer() {
        if (m_peer >= 0) ::close(m_peer);
        if (m_child >= 0) ::close(m_child);
    }
    int childDescriptor() const { return m_child; }

    // Runs dorvix (in the table's directory) with `args`, where "{fd}" stands for dorvix's end.
    PeerRun run(const fs::path& table, std::string args, const PeerRole& role = {}) {
        if (auto at = args.find("{fd}"); at != std::string::npos) args.replace(at, 4, std::to_string(m_child));
        const fs::path log = m_dir / "dorvix.log";
        const std::string command = "cd " + shellQuote(table.parent_path().string()) + " && DORVIX_DEVICES=" +
                                    shellQuote(table.string()) +
                                    " DORVIX_PAUSE_MS=" + std::to_string(role.pauseMs) +
                                    " DORVIX_SMBIOS_WINDOW=/nonexistent exec " +
                                    shellQuote(DORVIX_PROGRAM) + " " + args + " </dev/null >" +
                                    shellQuote(log.string()) + " 2>&1";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(m_child);
        m_child = -1;
        PeerRun result;
        result.errorAnsweredLate = true;
        std::string line;
        char c = 0;
        while (m_peer >= 0 && ::read(m_peer, &c, 1) == 1) {
            if (c != '\n') {
                line += c;
                continue;
            }
            result.lines.push_back(line);
            if (line.rfind("error ", 0) == 0) {
                // dorvix must wait for the answer: nothing else may arrive meanwhile.
                pollfd p{m_peer, POLLIN, 0};
                if (::poll(&p, 1, 300) != 0) result.errorAnsweredLate = false;
                EXPECT_EQ(::write(m_peer, "ok\n", 3), 3);
            }
            if (!role.leaveAfter.empty() && line.rfind(role.leaveAfter, 0) == 0) {
                ::close(m_peer);
                m_peer = -1;
            }
            line.clear();
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream in(log);
        result.output.assign(std::istreambuf_iterator<char>(in), {});
        return result;
    }

private:
    TempDir& m_dir;
    int m_peer = -1;
    int m_child = -1;
};

// A FAT-aware image FLASH.IMG and a blank target disk DSK1: of three cylinders.
struct RestoreSetup {
    TempDir& dir;
    fs::path target = dir / "target.disk";
    fs::path table;
    explicit RestoreSetup(TempDir& d) : dir(d) {
        const fs::path source = dir / "source.disk";
        makeSourceDisk(source, 40960, 4, rootFilesFill(dir / "files"));
        imageFromSourceDisk(source, dir / "FLASH.IMG", true);
        makeBlankDisk(target, 3 * 16065);
        table = writeDeviceTable(dir.path(), {{1, target.string()}});
    }
    void expectRestored() {
        const fs::path restored = extractPartition(target, dir / "restored.vol");
        expectFsckClean(restored);
    }
};

std::vector<std::string> linesStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& l : lines) {
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    }
    return out;
}

TEST(ProgressChannelPeer, FollowsAWholeRestore) {
    if (!haveTools()) GTEST_SKIP() << "dosfstools or mtools missing";
    TempDir dir;
    RestoreSetup setup(dir);
    ChannelPeer peer(dir);
    const PeerRun run = peer.run(setup.table, "-pm:{fd} -y -nor FLASH.IMG");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    ASSERT_GE(run.lines.size(), 4u);
    EXPECT_EQ(run.lines.front(), "dorvix-progress 1");
    EXPECT_EQ(run.lines[1], "status Validating the image header...");
    EXPECT_EQ(run.lines.back(), "close");
    const auto statuses = linesStartingWith(run.lines, "status ");
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "status Extracting the image..."), statuses.end());
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "status Copying folder and data areas....\\r\\n"),
              statuses.end());
    EXPECT_EQ(statuses.back().rfind("status Completed successfully! (", 0), 0u) << statuses.back();
    EXPECT_TRUE(statuses.back().ends_with(" seconds)\\r\\n")) << statuses.back();
    // Progress only grows and reaches 100 before the completion line.
    int last = -1;
    bool completedSeen = false;
    for (const auto& l : run.lines) {
        if (l.rfind("progress ", 0) == 0) {
            const int percent = std::stoi(l.substr(9));
            EXPECT_GE(percent, last);
            EXPECT_FALSE(completedSeen);
            last = percent;
        }
        completedSeen = completedSeen || l.rfind("status Completed", 0) == 0;
    }
    EXPECT_EQ(last, 100);
    EXPECT_TRUE(linesStartingWith(run.lines, "error ").empty());
    // Everything went to the peer: no banner and no progress on the console.
    EXPECT_EQ(run.output.find("QZ Keldan"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("completed."), std::string::npos) << run.output;
    setup.expectRestored();
}

TEST(ProgressChannelPeer, FailingRestoreWaitsForTheAnswerToItsError) {
    if (!haveTools()) GTEST_SKIP() << "dosfstools or mtools missing";
    TempDir dir;
    RestoreSetup setup(dir);
    auto bytes = testsupport::readFileBytes(dir / "FLASH.IMG");
    bytes[100] ^= 0xFF;  // the header's checksum no longer holds
    testsupport::writeFileBytes(dir / "FLASH.IMG", bytes);
    const auto before = testsupport::readFileBytes(setup.target);
    ChannelPeer peer(dir);
    const PeerRun run = peer.run(setup.table, "-pm:{fd} -y FLASH.IMG");
    EXPECT_EQ(run.exitCode, 255) << run.output;
    const std::vector<std::string> expected = {"dorvix-progress 1", "status Validating the image header...",
                                               "error ***ERROR*** Invalid image file!\\n", "close"};
    EXPECT_EQ(run.lines, expected);
    EXPECT_TRUE(run.errorAnsweredLate);
    EXPECT_TRUE(testsupport::readFileBytes(setup.target) == before);
}

TEST(ProgressChannelPeer, DescriptorThatIsNotOpenLeavesTheRunOnTheConsole) {
    if (!haveTools()) GTEST_SKIP() << "dosfstools or mtools missing";
    TempDir dir;
    RestoreSetup setup(dir);
    auto run = runDorvix(setup.table, "-pm:57 -y -nor FLASH.IMG");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("dorvix: -pm:57 names no descriptor open for writing"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("QZ Keldan Imaging Tool"), std::string::npos);
    EXPECT_NE(run.output.find("Completed successfully!"), std::string::npos);
    setup.expectRestored();
}

TEST(ProgressChannelPeer, PeerThatGoesAwayMidRunLeavesTheResultAsItIs) {
    if (!haveTools()) GTEST_SKIP() << "dosfstools or mtools missing";
    TempDir dir;
    RestoreSetup setup(dir);
    ChannelPeer peer(dir);
    // The pause after the completion line keeps the run going well after the peer has left,
    // so at least the last line meets a closed channel however the two processes are scheduled.
    const PeerRun run = peer.run(setup.table, "-pm:{fd} -y -nor FLASH.IMG", PeerRole{"status Validating", 300});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.lines.back(), "status Validating the image header...");
    const std::string notice = "dorvix: the progress channel of -pm: broke off; reporting on the console.\n";
    const auto first = run.output.find(notice);
    ASSERT_NE(first, std::string::npos) << run.output;
    EXPECT_EQ(run.output.find(notice, first + 1), std::string::npos) << "said once";
    setup.expectRestored();
}

}  // namespace
