// The built `pellorin deploy` from a terminal: exit codes, the overwrite questions answered on
// standard input, --yes and --no-overwrite, and Ctrl-C, which leaves nothing of the run behind.
// Also `pellorin` without arguments and without a display.

#include "TestSupport.h"
#include "signal_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

std::string pellorin(const std::string& args) { return shellQuote(PELLORIN_PROGRAM) + " " + args; }

class PellorinDeploy : public ::testing::Test {
protected:
    PellorinDeploy() {
        fs::create_directories(payload);
        fs::create_directories(folder);
        writeFileBytes(payload / "KMV.EXE", patternBytes(70001, 1));
        writeFileBytes(payload / "FLASH.IMG", patternBytes(500000, 2));
        writeFileBytes(payload / "RECOVERY.PDF", patternBytes(20000, 3));
    }

    std::string deploy(const std::string& options) const {
        return pellorin("deploy " + shellQuote(folder.string()) + " --payload " + shellQuote(payload.string()) + " " +
                        options);
    }

    bool copied(const char* name) const { return readFileBytes(folder / name) == readFileBytes(payload / name); }
    std::string content(const char* name) const {
        const auto bytes = readFileBytes(folder / name);
        return std::string(bytes.begin(), bytes.end());
    }

    std::vector<std::string> folderNames() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir tmp;
    fs::path payload = tmp / "payload";
    fs::path folder = tmp / "folder";
};

TEST_F(PellorinDeploy, CopiesTheFilesAndSaysSo) {
    const auto run = runCommand(deploy("</dev/null"));
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("Extracting the flash image."), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("successfully written to the desired location"), std::string::npos) << run.output;
    for (const char* name : {"KMV.EXE", "FLASH.IMG", "RECOVERY.PDF"}) EXPECT_TRUE(copied(name)) << name;
}

TEST_F(PellorinDeploy, AnswersTheOverwriteQuestions) {
    const struct {
        const char* name;
        std::string options;  // with the standard input
        int exitCode;
        bool asked;
        const char* kmv;  // "new" (the payload's) or "old"
    } cases[] = {
        {"yes on input", "<<< y", 0, true, "new"},
        {"no on input", "<<< n", 0, true, "old"},
        {"cancel on input", "<<< c", 2, true, "old"},
        {"end of input cancels", "</dev/null", 2, true, "old"},
        {"--yes", "--yes </dev/null", 0, false, "new"},
        {"--no-overwrite", "--no-overwrite </dev/null", 0, false, "old"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(folder);
        fs::create_directories(folder);
        writeFileText(folder / "KMV.EXE", "old");
        const auto run = runCommand("bash -c " + shellQuote(deploy(c.options)));
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_EQ(run.output.find("appears to exist") != std::string::npos, c.asked) << run.output;
        EXPECT_EQ(std::string(c.kmv) == "new", copied("KMV.EXE")) << run.output;
        if (std::string(c.kmv) == "old") {
            EXPECT_EQ(content("KMV.EXE"), "old");
        }
        // After a cancel nothing of the run is left; otherwise the other files are there.
        EXPECT_EQ(fs::exists(folder / "FLASH.IMG"), c.exitCode == 0);
    }
}

// Yes to replace the tool, then the next question cancelled (the input ends): the tool the user
// agreed to replace is still the old one, and the folder holds only what it held before.
TEST_F(PellorinDeploy, YesThenCancelKeepsTheReplacedFile) {
    writeFileText(folder / "KMV.EXE", "old tool");
    writeFileText(folder / "FLASH.IMG", "old image");
    const auto run = runCommand("printf 'y\\n' | " + deploy(""));
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_EQ(content("KMV.EXE"), "old tool");
    EXPECT_EQ(content("FLASH.IMG"), "old image");
    EXPECT_EQ(folderNames(), (std::vector<std::string>{"FLASH.IMG", "KMV.EXE"}));
}

// The end of input at an overwrite question: the prompt's line is ended, the file named as
// kept, and the run ends as cancelled.
TEST_F(PellorinDeploy, EndOfInputAtAQuestionKeepsTheFileAndSaysSo) {
    writeFileText(folder / "FLASH.IMG", "old image");
    const auto run = runCommand(deploy("</dev/null"));
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find("[c]ancel: \n" + (folder / "FLASH.IMG").string() + " was kept.\n"), std::string::npos)
        << run.output;
    EXPECT_EQ(content("FLASH.IMG"), "old image");
}

// A backup and a folder named like the image beside FLASH.IMG: FLASH.IMG is deployed.
TEST_F(PellorinDeploy, DeploysFlashImgBesideABackupAndAFolder) {
    writeFileText(payload / "FLASH.BAK", "backup");
    fs::create_directories(payload / "FLASH.D");
    const auto run = runCommand(deploy("</dev/null"));
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(folderNames(), (std::vector<std::string>{"FLASH.IMG", "KMV.EXE", "RECOVERY.PDF"}));
    EXPECT_TRUE(copied("FLASH.IMG"));
}

TEST_F(PellorinDeploy, FailuresAndWrongArgumentsAreToldApart) {
    fs::remove(payload / "RECOVERY.PDF");
    const struct {
        const char* name;
        std::string command;
        int exitCode;
        const char* says;
    } cases[] = {
        {"help", pellorin("deploy --help"), 0, "--no-overwrite"},
        {"no folder", pellorin("deploy"), 64, "DIR"},
        {"folder missing", pellorin("deploy " + shellQuote((tmp / "nowhere").string())), 64, "nowhere"},
        {"both answers", deploy("--yes --no-overwrite"), 64, "excludes"},
        {"source missing", deploy(""), 3, "An error occurred while attempting to open the image source file."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = runCommand(c.command + " </dev/null");
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    }
}

// Starts pellorin with its output on a pipe, sends Ctrl-C once the output shows `trigger`, and
// returns the exit status. Standard input is a pipe that stays open without input.
int runAndInterrupt(const std::vector<std::string>& args, const std::string& trigger, std::string& output) {
    return systemtest::runAndSignal(args, SIGINT, output, trigger, {}, nullptr, true);
}

TEST_F(PellorinDeploy, CtrlCLeavesNothingOfTheRunBehind) {
    fs::resize_file(payload / "FLASH.IMG", std::uint64_t{400} << 20);  // sparse: long to copy
    writeFileText(folder / "OTHER.TXT", "kept");
    std::string output;
    const int exitCode = runAndInterrupt({PELLORIN_PROGRAM, "deploy", folder.string(), "--payload", payload.string()},
                                         "Extracting the flash image.", output);
    EXPECT_EQ(exitCode, 2) << output;
    EXPECT_NE(output.find("Cancelled."), std::string::npos) << output;
    EXPECT_EQ(folderNames(), std::vector<std::string>{"OTHER.TXT"});
}

// A full file system fails the job with string 14 and a line naming the file and the system's
// reason; the files before it are in place, nothing of the failed one is left.
TEST_F(PellorinDeploy, AFullFileSystemNamesTheFileAndTheReason) {
    const auto mount = runCommand("mount -t tmpfs -o size=256k tmpfs " + shellQuote(folder.string()) + " 2>&1");
    if (mount.exitCode != 0) GTEST_SKIP() << "no small file system can be mounted here: " << mount.output;
    const auto run = runCommand(deploy("--yes") + " 2>&1 </dev/null");
    const std::vector<std::string> names = folderNames();
    runCommand("umount " + shellQuote(folder.string()));
    EXPECT_EQ(run.exitCode, 3) << run.output;
    EXPECT_NE(run.output.find("An error occured while attempting to unpack the image and tools."), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find((folder / "FLASH.IMG").string() + ": No space left on device"), std::string::npos)
        << run.output;
    EXPECT_EQ(names, std::vector<std::string>{"KMV.EXE"});
}

// A deployment killed while it copies leaves its hidden file; the next run into the folder
// removes it and leaves the folder with the three files alone.
// A killed run leaves no file where the folder takes unnamed temporary files; where it cannot,
// its hidden files (planted here as such a run leaves them) are removed by the next run.
TEST_F(PellorinDeploy, AKilledRunLeavesNothingTheNextRunCannotRemove) {
    fs::resize_file(payload / "FLASH.IMG", std::uint64_t{400} << 20);  // sparse: long to copy
    std::string output;
    const int killed = systemtest::runAndSignal({PELLORIN_PROGRAM, "deploy", folder.string(), "--payload",
                                                 payload.string()},
                                                SIGKILL, output, "Extracting the flash image.");
    ASSERT_EQ(killed, -SIGKILL) << output;
    EXPECT_EQ(folderNames(), std::vector<std::string>{}) << output;

    for (const char* name : {".FLASH.IMG.pellorin-a1b2c3", ".KMV.EXE.pellorin-zz9911"}) {
        writeFileText(folder / name, "left over");
        // Older than the next run, as the files of an earlier run are.
        fs::last_write_time(folder / name, fs::file_time_type::clock::now() - std::chrono::minutes(5));
    }
    fs::resize_file(payload / "FLASH.IMG", 500000);
    const auto run = runCommand(deploy("--yes") + " 2>&1 </dev/null");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(folderNames(), (std::vector<std::string>{"FLASH.IMG", "KMV.EXE", "RECOVERY.PDF"}));
}

TEST_F(PellorinDeploy, CtrlCAtAQuestionCancels) {
    writeFileText(folder / "RECOVERY.PDF", "old");
    std::string output;
    const int exitCode = runAndInterrupt({PELLORIN_PROGRAM, "deploy", folder.string(), "--payload", payload.string()},
                                         "[c]ancel: ", output);
    EXPECT_EQ(exitCode, 2) << output;
    EXPECT_NE(output.find("Cancelled."), std::string::npos) << output;
    EXPECT_EQ(folderNames(), std::vector<std::string>{"RECOVERY.PDF"});
    EXPECT_EQ(content("RECOVERY.PDF"), "old");
}

TEST_F(PellorinDeploy, FilesGetTheUmask) {
    const auto run = runCommand("umask 077; " + deploy("</dev/null"));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    for (const char* name : {"KMV.EXE", "FLASH.IMG", "RECOVERY.PDF"}) {
        EXPECT_EQ(fs::status(folder / name).permissions(), fs::perms::owner_read | fs::perms::owner_write) << name;
    }
}

TEST(PellorinDesktop, WithoutADisplaySaysSoInOneLine) {
    const auto run = runCommand("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + pellorin("</dev/null"));
    EXPECT_EQ(run.exitCode, 64) << run.output;
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
    EXPECT_NE(run.output.find("pellorin --help"), std::string::npos) << run.output;
}

// A display that is named but does not answer is found out before Qt starts (Qt would abort).
TEST(PellorinDesktop, ADisplayThatDoesNotAnswerIsSaidInOneLine) {
    TempDir runtime;
    const char* const cases[] = {"DISPLAY=:99", "DISPLAY=unix:98.0", "WAYLAND_DISPLAY=wayland-99",
                                 "DISPLAY=:99 WAYLAND_DISPLAY=wayland-99"};
    for (const char* variables : cases) {
        SCOPED_TRACE(variables);
        const auto run = runCommand("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR=" +
                                    shellQuote(runtime.path().string()) + " " + variables + " " +
                                    pellorin("</dev/null 2>&1"));
        EXPECT_EQ(run.exitCode, 64) << run.output;
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
        EXPECT_NE(run.output.find("does not answer"), std::string::npos) << run.output;
    }
}

}  // namespace
