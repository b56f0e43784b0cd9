// The deployment job on files in a temporary folder: the three steps, the overwrite questions,
// per-percent progress, the cancel clean-up, and the failures that must never read as success
// (read errors, short writes, files that do not read back as written).

#include "jobs/DeploymentJob.h"

#include "TestSupport.h"
#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"
#include "support/PathJoin.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pellorin;
using namespace testsupport;

// Records what the job shows and answers its questions from a script.
class RecordingView : public CDeploymentView {
public:
    std::vector<std::string> statuses;
    std::map<std::string, std::vector<int>> positions;  // per status: the bar's positions
    std::vector<std::string> warnings;
    std::vector<std::string> questions;
    std::map<StringId, int> answers;     // by question; unanswered questions get Yes
    std::function<void(int pump)> onPump;  // called at each pump with its count
    int pumps = 0;
    std::atomic<bool>* cancelAtQuestion = nullptr;  // cleared while a question is open

    void SetProgressRange(int nLower, int nUpper) override {
        EXPECT_EQ(nLower, 0);
        EXPECT_EQ(nUpper, 100);
    }
    void SetProgressPos(int nPos) override { positions[statuses.back()].push_back(nPos); }
    void SetStatusText(std::string_view text) override { statuses.emplace_back(text); }
    void ShowWarning(std::string_view text) override { warnings.emplace_back(text); }
    int AskQuestion(std::string_view text, std::string_view) override {
        questions.emplace_back(text);
        if (cancelAtQuestion) *cancelAtQuestion = false;
        for (const auto& [id, answer] : answers) {
            if (LoadStringText(id) == text) return answer;
        }
        return kAnswerYes;
    }
    void PumpOneMessage() override {
        ++pumps;
        if (onPump) onPump(pumps);
    }
};

class DeploymentJobTest : public ::testing::Test {
protected:
    DeploymentJobTest() {
        fs::create_directories(payload);
        fs::create_directories(target);
        writeFileBytes(payload / "KMV.EXE", patternBytes(70001, 1));
        writeFileBytes(payload / "FLASH.IMG", patternBytes(300000, 2));
        writeFileBytes(payload / "RECOVERY.PDF", patternBytes(20000, 3));
    }

    int run(const DeploymentIo* io = nullptr) {
        return CopyDeploymentFiles(target.string(), payload, view, busy, io);
    }

    std::vector<std::string> targetNames() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(target)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    bool sameAsPayload(const std::string& name) const {
        return readFileBytes(target / name) == readFileBytes(payload / name);
    }

    TempDir temp;
    fs::path payload = temp / "payload";
    fs::path target = temp / "target";
    RecordingView view;
    std::atomic<bool> busy{true};
};

TEST_F(DeploymentJobTest, CopiesTheThreeFilesInOrderWithTheirStatus) {
    EXPECT_EQ(run(), kWorkDone);
    EXPECT_EQ(targetNames(), (std::vector<std::string>{"FLASH.IMG", "KMV.EXE", "RECOVERY.PDF"}));
    for (const char* name : {"KMV.EXE", "FLASH.IMG", "RECOVERY.PDF"}) EXPECT_TRUE(sameAsPayload(name)) << name;
    EXPECT_EQ(view.statuses, (std::vector<std::string>{std::string(LoadStringText(IDS_EXTRACTING_TOOL)),
                                                       std::string(LoadStringText(IDS_EXTRACTING_IMAGE)),
                                                       std::string(LoadStringText(IDS_EXTRACTING_DOCS))}));
    EXPECT_TRUE(view.questions.empty());
    EXPECT_TRUE(view.warnings.empty());
}

TEST_F(DeploymentJobTest, PayloadIsFoundRegardlessOfCaseAndOnlyTheImageKeepsItsSpelling) {
    fs::rename(payload / "KMV.EXE", payload / "kmv.exe");
    fs::rename(payload / "FLASH.IMG", payload / "flash.img");
    EXPECT_EQ(run(), kWorkDone);
    EXPECT_EQ(targetNames(), (std::vector<std::string>{"KMV.EXE", "RECOVERY.PDF", "flash.img"}));
}

TEST_F(DeploymentJobTest, EmptySourceGivesAnEmptyFileAndLeavesTheBarAtZero) {
    writeFileBytes(payload / "KMV.EXE", {});
    EXPECT_EQ(run(), kWorkDone);
    EXPECT_EQ(fs::file_size(target / "KMV.EXE"), 0u);
    EXPECT_EQ(view.positions[std::string(LoadStringText(IDS_EXTRACTING_TOOL))], std::vector<int>{0});
}

TEST_F(DeploymentJobTest, A64MiBImageMovesTheBarThroughEveryPercentage) {
    fs::resize_file(payload / "FLASH.IMG", 64u << 20);
    EXPECT_EQ(run(), kWorkDone);
    std::vector<int> expected{0};
    for (int p = 1; p <= 100; ++p) expected.push_back(p);
    EXPECT_EQ(view.positions[std::string(LoadStringText(IDS_EXTRACTING_IMAGE))], expected);
    EXPECT_TRUE(sameAsPayload("FLASH.IMG"));
}

// Existing files in the folder and the answers to the overwrite questions.
struct OverwriteCase {
    const char* name;
    std::vector<std::string> existing;  // files in the folder before the run ("old" content)
    std::map<StringId, int> answers;
    int result;
    std::vector<std::string> copied;  // files that must equal the payload afterwards
    std::vector<std::string> kept;    // files that must still hold "old"
    std::vector<std::string> absent;
};

class DeploymentOverwriteTest : public DeploymentJobTest, public ::testing::WithParamInterface<OverwriteCase> {};

TEST_P(DeploymentOverwriteTest, FollowsTheAnswer) {
    const OverwriteCase& c = GetParam();
    for (const std::string& name : c.existing) writeFileText(target / name, "old");
    view.answers = c.answers;
    EXPECT_EQ(run(), c.result);
    for (const std::string& name : c.copied) EXPECT_TRUE(sameAsPayload(name)) << name;
    for (const std::string& name : c.kept) {
        ASSERT_TRUE(fs::exists(target / name)) << name;
        EXPECT_EQ(readFileBytes(target / name), (std::vector<std::uint8_t>{'o', 'l', 'd'})) << name;
    }
    for (const std::string& name : c.absent) EXPECT_FALSE(fs::exists(target / name)) << name;
    EXPECT_EQ(view.questions.size(), c.existing.size());
    EXPECT_TRUE(view.warnings.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DeploymentOverwriteTest,
    ::testing::Values(
        OverwriteCase{"NoAtToolKeepsItAndGoesOn", {"KMV.EXE"}, {{IDS_CONFIRM_OVERWRITE_TOOL, kAnswerNo}}, kWorkDone,
                      {"FLASH.IMG", "RECOVERY.PDF"}, {"KMV.EXE"}, {}},
        OverwriteCase{"NoAtDocumentationEndsWithSuccess", {"RECOVERY.PDF"},
                      {{IDS_CONFIRM_OVERWRITE_DOCS, kAnswerNo}}, kWorkDone, {"KMV.EXE", "FLASH.IMG"},
                      {"RECOVERY.PDF"}, {}},
        OverwriteCase{"CancelAtImageDeletesTheCopiedTool", {"FLASH.IMG"},
                      {{IDS_CONFIRM_OVERWRITE_IMAGE, kAnswerCancel}}, kWorkCancelled, {}, {"FLASH.IMG"},
                      {"KMV.EXE", "RECOVERY.PDF"}},
        // A file the user agreed to replace stays as it was until the run completes.
        OverwriteCase{"YesAtToolThenCancelAtImageKeepsTheOldTool", {"KMV.EXE", "FLASH.IMG"},
                      {{IDS_CONFIRM_OVERWRITE_IMAGE, kAnswerCancel}}, kWorkCancelled, {}, {"KMV.EXE", "FLASH.IMG"},
                      {"RECOVERY.PDF"}},
        OverwriteCase{"YesAtToolAndImageThenCancelAtDocumentationKeepsBoth", {"KMV.EXE", "FLASH.IMG", "RECOVERY.PDF"},
                      {{IDS_CONFIRM_OVERWRITE_DOCS, kAnswerCancel}}, kWorkCancelled, {},
                      {"KMV.EXE", "FLASH.IMG", "RECOVERY.PDF"}, {}},
        OverwriteCase{"YesReplacesEveryFile", {"KMV.EXE", "FLASH.IMG", "RECOVERY.PDF"}, {}, kWorkDone,
                      {"KMV.EXE", "FLASH.IMG", "RECOVERY.PDF"}, {}, {}}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(DeploymentJobTest, ReadOnlyFileIsReplacedAfterYes) {
    writeFileText(target / "KMV.EXE", "old");
    fs::permissions(target / "KMV.EXE", fs::perms::owner_read | fs::perms::group_read);
    EXPECT_EQ(run(), kWorkDone);
    EXPECT_TRUE(sameAsPayload("KMV.EXE"));
}

TEST_F(DeploymentJobTest, FlashImageKeepsItsOwnNameAndACancelDeletesOnlyWhatThisRunWrote) {
    fs::remove(payload / "FLASH.IMG");
    writeFileBytes(payload / "FLASH.BIN", patternBytes(1 << 20, 4));
    writeFileText(target / "FLASH.IMG", "another image");
    // Cancel (as a confirmed Cancel does) in the middle of the flash image.
    const std::string imageStatus(LoadStringText(IDS_EXTRACTING_IMAGE));
    view.onPump = [&](int) {
        if (view.statuses.back() == imageStatus && view.positions[imageStatus].size() > 10) busy = false;
    };
    EXPECT_EQ(run(), kWorkCancelled);
    // The tool of this run and the unfinished FLASH.BIN are gone; the folder's other image stays.
    EXPECT_EQ(targetNames(), std::vector<std::string>{"FLASH.IMG"});

    busy = true;
    view.onPump = nullptr;
    fs::remove(target / "FLASH.IMG");
    EXPECT_EQ(run(), kWorkDone);
    EXPECT_EQ(targetNames(), (std::vector<std::string>{"FLASH.BIN", "KMV.EXE", "RECOVERY.PDF"}));
    EXPECT_TRUE(sameAsPayload("FLASH.BIN"));
}

// The flash image is chosen as the USB and ISO jobs choose it: FLASH.IMG first, else the first
// regular FLASH.* file by name.
TEST_F(DeploymentJobTest, FlashImageIsFlashImgFirstThenTheFirstRegularFile) {
    writeFileBytes(payload / "FLASH.BAK", patternBytes(1000, 7));
    fs::create_directories(payload / "FLASH.A");  // a folder before every file by name
    fs::create_directories(payload / "FLASH.D");
    EXPECT_EQ(run(), kWorkDone);
    EXPECT_EQ(targetNames(), (std::vector<std::string>{"FLASH.IMG", "KMV.EXE", "RECOVERY.PDF"}));

    fs::remove_all(target);
    fs::create_directories(target);
    fs::remove(payload / "FLASH.IMG");
    EXPECT_EQ(run(), kWorkDone);
    EXPECT_EQ(targetNames(), (std::vector<std::string>{"FLASH.BAK", "KMV.EXE", "RECOVERY.PDF"}));
}

TEST_F(DeploymentJobTest, PayloadDirectoryAsFolderKeepsItsFilesEvenAfterACancel) {
    const auto before = readFileBytes(payload / "KMV.EXE");
    // A cancel before the end: its clean-up must not take the payload's files for this run's.
    view.onPump = [&](int) { busy = false; };
    EXPECT_EQ(CopyDeploymentFiles(payload.string(), payload, view, busy), kWorkCancelled);
    EXPECT_TRUE(view.questions.empty());
    EXPECT_EQ(readFileBytes(payload / "KMV.EXE"), before);
    EXPECT_TRUE(fs::exists(payload / "FLASH.IMG"));
    EXPECT_TRUE(fs::exists(payload / "RECOVERY.PDF"));
}

TEST_F(DeploymentJobTest, MissingSourceFailsWithString6AndKeepsEarlierFiles) {
    fs::remove(payload / "FLASH.IMG");
    EXPECT_EQ(run(), kWorkFailed);
    // The box names the file looked for and the reason.
    EXPECT_EQ(view.warnings, std::vector<std::string>{std::string(LoadStringText(IDS_IMAGE_SOURCE_FAILED)) + "\r\n\r\n" +
                                                      (payload / "FLASH.*").string() + ": No such file or directory"});
    EXPECT_EQ(targetNames(), std::vector<std::string>{"KMV.EXE"});
}

TEST_F(DeploymentJobTest, FolderThatCannotTakeFilesFailsWithString14) {
    const fs::path missing = temp / "missing";
    EXPECT_EQ(CopyDeploymentFiles(missing.string(), payload, view, busy), kWorkFailed);
    EXPECT_EQ(view.warnings, std::vector<std::string>{std::string(LoadStringText(IDS_DEPLOYMENT_FAILED)) + "\r\n\r\n" +
                                                      missing.string() + ": No such file or directory"});
    EXPECT_FALSE(fs::exists(missing));
}

// Faults in the copy of the flash image: each ends with string 14 and result 3, leaves no
// file of that name (nor a temporary one) in the folder, and names the file and the reason.
struct FaultCase {
    const char* name;
    DeploymentIo io;
    bool sourceFault;    // the box names the payload's file, else the folder's
    const char* detail;  // the rest of the box's second paragraph
};

class DeploymentFaultTest : public DeploymentJobTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DeploymentFaultTest, IsAFailureNeverASuccess) {
    EXPECT_EQ(run(&GetParam().io), kWorkFailed);
    EXPECT_EQ(view.warnings, std::vector<std::string>{std::string(LoadStringText(IDS_DEPLOYMENT_FAILED)) + "\r\n\r\n" +
                                                      (GetParam().sourceFault ? payload.string() : target.string()) +
                                                      GetParam().detail});
    EXPECT_EQ(targetNames(), std::vector<std::string>{"KMV.EXE"});
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DeploymentFaultTest,
    ::testing::Values(
        FaultCase{"ReadError",
                  {[](const std::string& name, CFileHandle& file, std::span<BYTE> buffer) -> std::int64_t {
                       if (name == "FLASH.IMG" && ::lseek(file.Descriptor(), 0, SEEK_CUR) >= 65536) {
                           errno = EIO;
                           return -1;
                       }
                       return ::read(file.Descriptor(), buffer.data(), buffer.size());
                   },
                   nullptr},
                  true, "/FLASH.IMG: Input/output error"},
        FaultCase{"FullFileSystem",
                  {nullptr,
                   [](const std::string& name, CFileHandle& file, std::span<const BYTE> data) -> std::int64_t {
                       const int fd = file.Descriptor();
                       if (name != "FLASH.IMG" || ::lseek(fd, 0, SEEK_CUR) < 65536) return ::write(fd, data.data(), data.size());
                       errno = ENOSPC;
                       return -1;
                   }},
                  false, "/FLASH.IMG: No space left on device"},
        FaultCase{"ShortWrite",
                  {nullptr,
                   [](const std::string& name, CFileHandle& file, std::span<const BYTE> data) -> std::int64_t {
                       return ::write(file.Descriptor(), data.data(), name == "FLASH.IMG" ? data.size() / 2 : data.size());
                   }},
                  false, "/FLASH.IMG: Input/output error"},
        FaultCase{"ShortWriteOnAFullFileSystem",
                  {nullptr,
                   [](const std::string& name, CFileHandle& file, std::span<const BYTE> data) -> std::int64_t {
                       const int fd = file.Descriptor();
                       if (name != "FLASH.IMG" || ::lseek(fd, 0, SEEK_CUR) < 65536) return ::write(fd, data.data(), data.size());
                       if (::lseek(fd, 0, SEEK_CUR) % 0x8000 != 0) {
                           errno = ENOSPC;
                           return -1;
                       }
                       return ::write(fd, data.data(), 100);
                   }},
                  false, "/FLASH.IMG: No space left on device"},
        FaultCase{"WriteThatDoesNotReadBack",
                  {nullptr,
                   [](const std::string& name, CFileHandle& file, std::span<const BYTE> data) -> std::int64_t {
                       std::vector<BYTE> changed(data.begin(), data.end());
                       if (name == "FLASH.IMG") changed[0] ^= 1;
                       return ::write(file.Descriptor(), changed.data(), changed.size());
                   }},
                  false, "/FLASH.IMG: does not read back as written"}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

// A killed run leaves its hidden file behind; the next run into the folder removes exactly
// those: regular files of the pattern, older than the run, that no running job holds locked.
TEST_F(DeploymentJobTest, RemovesOnlyTheHiddenFilesOfKilledRuns) {
    const auto age = [](const fs::path& file, std::chrono::hours by) {
        fs::last_write_time(file, fs::file_time_type::clock::now() + by);
    };
    const auto file = [&](const fs::path& path, std::chrono::hours by) {
        writeFileText(path, "left over");
        age(path, by);
    };
    const std::chrono::hours earlier(-1);
    int lockedFd = -1;
    const struct {
        const char* name;
        std::function<void(const fs::path&)> make;
        bool removed;
    } entries[] = {
        {".FLASH.IMG.pellorin-a1b2c3", [&](const fs::path& p) { file(p, earlier); }, true},
        {".KMV.EXE.pellorin-zz9911", [&](const fs::path& p) { file(p, earlier); }, true},
        {".FLASH.IMG.pellorin-n0w000", [&](const fs::path& p) { file(p, std::chrono::hours(1)); }, false},
        {".RECOVERY.PDF.pellorin-l0cked",
         [&](const fs::path& p) {
             file(p, earlier);
             lockedFd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
             ASSERT_EQ(::flock(lockedFd, LOCK_EX | LOCK_NB), 0);
         },
         false},
        {".FLASH.IMG.pellorin-l1nk00",
         [&](const fs::path& p) {
             file(temp / "elsewhere", earlier);
             fs::create_symlink(temp / "elsewhere", p);
         },
         false},
        {".FLASH.IMG.pellorin-d1r000",
         [&](const fs::path& p) {
             fs::create_directory(p);
             age(p, earlier);
         },
         false},
        {".FLASH.IMG.a1b2c3", [&](const fs::path& p) { file(p, earlier); }, false},
        {"FLASH.IMG.pellorin-a1b2c3", [&](const fs::path& p) { file(p, earlier); }, false},
        {".FLASH.IMG.pellorin-ab", [&](const fs::path& p) { file(p, earlier); }, false},
    };
    for (const auto& entry : entries) entry.make(target / entry.name);

    EXPECT_EQ(run(), kWorkDone);
    for (const auto& entry : entries) {
        EXPECT_EQ(fs::exists(fs::symlink_status(target / entry.name)), !entry.removed) << entry.name;
    }
    EXPECT_TRUE(fs::exists(temp / "elsewhere"));
    EXPECT_TRUE(fs::exists(target / "FLASH.IMG"));
    ::close(lockedFd);
}

TEST(JoinPath, UsesOneSeparator) {
    struct Case {
        const char* folder;
        const char* expected;
    };
    for (const Case& c : {Case{"/media/share", "/media/share/KMV.EXE"}, Case{"/media/share/", "/media/share/KMV.EXE"},
                          Case{"/", "/KMV.EXE"}, Case{"", "KMV.EXE"}, Case{"relative", "relative/KMV.EXE"}}) {
        EXPECT_EQ(JoinPath(c.folder, "KMV.EXE"), c.expected) << c.folder;
    }
}

TEST_F(DeploymentJobTest, FolderWithATrailingSeparatorGetsTheSameFiles) {
    EXPECT_EQ(CopyDeploymentFiles(target.string() + "/", payload, view, busy), kWorkDone);
    EXPECT_EQ(targetNames(), (std::vector<std::string>{"FLASH.IMG", "KMV.EXE", "RECOVERY.PDF"}));
}

}  // namespace

namespace {

// New files get the process's umask like any file the user creates: never a fixed, wider mode.
TEST_F(DeploymentJobTest, FilesAreCreatedWithTheUmaskApplied) {
    for (const mode_t mask : {mode_t{077}, mode_t{022}}) {
        SCOPED_TRACE(mask);
        fs::remove_all(target);
        fs::create_directories(target);
        const mode_t old = ::umask(mask);
        const int result = run();
        ::umask(old);
        ASSERT_EQ(result, kWorkDone);
        for (const char* name : {"KMV.EXE", "FLASH.IMG", "RECOVERY.PDF"}) {
            struct stat st {};
            ASSERT_EQ(::stat((target / name).c_str(), &st), 0) << name;
            EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << name;
        }
    }
}

// The folder is swapped for a link to another folder after the first file: the rest still goes
// into the folder the run opened, and nothing at all lands in the other one.
TEST_F(DeploymentJobTest, AFolderSwappedMidRunCannotRedirectLaterFiles) {
    const fs::path moved = temp / "moved";
    const fs::path elsewhere = temp / "elsewhere";
    fs::create_directories(elsewhere);
    bool swapped = false;
    view.onPump = [&](int) {
        if (swapped || view.statuses.back() != LoadStringText(IDS_EXTRACTING_IMAGE)) return;
        fs::rename(target, moved);
        fs::create_directory_symlink(elsewhere, target);
        swapped = true;
    };
    ASSERT_EQ(run(), kWorkDone);
    ASSERT_TRUE(swapped);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    for (const char* name : {"KMV.EXE", "FLASH.IMG", "RECOVERY.PDF"}) {
        EXPECT_EQ(readFileBytes(moved / name), readFileBytes(payload / name)) << name;
    }
}

// Run as root, a payload link that another user placed is not followed: it could name a file
// that user may not read, whose copy would then be theirs to read.
TEST_F(DeploymentJobTest, AsRootAPayloadLinkOwnedByAnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own a link as another user";
    writeFileBytes(temp / "secret", patternBytes(100, 9));
    fs::remove(payload / "RECOVERY.PDF");
    fs::create_symlink(temp / "secret", payload / "RECOVERY.PDF");
    ASSERT_EQ(::lchown((payload / "RECOVERY.PDF").c_str(), 65534, 65534), 0);
    EXPECT_EQ(run(), kWorkFailed);
    EXPECT_FALSE(fs::exists(target / "RECOVERY.PDF"));
    ASSERT_EQ(view.warnings.size(), 1u);
    EXPECT_EQ(view.warnings[0], std::string(LoadStringText(IDS_IMAGE_SOURCE_FAILED)) + "\r\n\r\n" +
                                    (payload / "RECOVERY.PDF").string() + ": a link owned by another user");
    // Its own link is followed as before.
    ASSERT_EQ(::lchown((payload / "RECOVERY.PDF").c_str(), 0, 0), 0);
    view.warnings.clear();
    EXPECT_EQ(run(), kWorkDone);
    EXPECT_EQ(readFileBytes(target / "RECOVERY.PDF"), patternBytes(100, 9));
}

// A cancel confirmed while an overwrite question is open ends the run whatever the answer:
// no further question, and nothing of this run stays.
TEST_F(DeploymentJobTest, CancelDuringAQuestionAsksNoFurtherQuestion) {
    for (const int answer : {kAnswerNo, kAnswerYes}) {
        SCOPED_TRACE(answer);
        busy = true;
        view.questions.clear();
        writeFileText(target / "KMV.EXE", "old tool");
        writeFileText(target / "FLASH.IMG", "old image");
        view.answers = {{IDS_CONFIRM_OVERWRITE_TOOL, answer}};
        view.cancelAtQuestion = &busy;
        EXPECT_EQ(run(), kWorkCancelled);
        EXPECT_EQ(view.questions, std::vector<std::string>{std::string(LoadStringText(IDS_CONFIRM_OVERWRITE_TOOL))});
        EXPECT_EQ(targetNames(), (std::vector<std::string>{"FLASH.IMG", "KMV.EXE"}));
        const auto tool = readFileBytes(target / "KMV.EXE");
        EXPECT_EQ(std::string(tool.begin(), tool.end()), "old tool");
    }
}

}  // namespace
