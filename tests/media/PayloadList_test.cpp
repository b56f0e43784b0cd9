// Finding the payload: list order, the FLASH.* fallback, missing files, the size sum and the
// block format the FAT16 writer takes.

#include "jobs/PayloadList.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using pellorin::BuildPayloadList;
using testsupport::TempDir;
using testsupport::writeFileBytes;

struct PayloadCase {
    const char* name;
    std::vector<std::pair<std::string, std::size_t>> present;  // file name, size
    std::vector<std::string> listed;                           // expected names in list order
    std::vector<std::string> missing;                          // expected missing candidates
};

TEST(BuildPayloadList, ListsWhatIsFoundInItsOrder) {
    const std::vector<std::pair<std::string, std::size_t>> all{
        {"FLASH.IMG", 3000}, {"KMV.EXE", 500}, {"RECOVERY.PDF", 70}, {"AUTOEXEC.BAT", 20},
        {"COMMAND.COM", 900}, {"KERNEL.SYS", 4500}};
    auto without = [&all](std::initializer_list<const char*> names) {
        auto files = all;
        for (const char* n : names) std::erase_if(files, [n](const auto& f) { return f.first == n; });
        return files;
    };
    auto with = [](auto files, std::vector<std::pair<std::string, std::size_t>> extra) {
        files.insert(files.end(), extra.begin(), extra.end());
        return files;
    };
    const PayloadCase cases[] = {
        {"all six", all,
         {"KERNEL.SYS", "COMMAND.COM", "AUTOEXEC.BAT", "RECOVERY.PDF", "KMV.EXE", "FLASH.IMG"}, {}},
        {"no RECOVERY.PDF", without({"RECOVERY.PDF"}),
         {"KERNEL.SYS", "COMMAND.COM", "AUTOEXEC.BAT", "KMV.EXE", "FLASH.IMG"}, {"RECOVERY.PDF"}},
        {"FLASH.BIN stands in for FLASH.IMG", with(without({"FLASH.IMG"}), {{"FLASH.BIN", 3000}}),
         {"KERNEL.SYS", "COMMAND.COM", "AUTOEXEC.BAT", "RECOVERY.PDF", "KMV.EXE", "FLASH.BIN"}, {}},
        {"the first FLASH.* by name", with(without({"FLASH.IMG"}), {{"FLASH.ZIP", 1}, {"FLASH.ABC", 3000}}),
         {"KERNEL.SYS", "COMMAND.COM", "AUTOEXEC.BAT", "RECOVERY.PDF", "KMV.EXE", "FLASH.ABC"}, {}},
        {"FLASH.IMG wins over FLASH.BIN", with(all, {{"FLASH.BIN", 1}}),
         {"KERNEL.SYS", "COMMAND.COM", "AUTOEXEC.BAT", "RECOVERY.PDF", "KMV.EXE", "FLASH.IMG"}, {}},
        {"no flash image at all", without({"FLASH.IMG"}),
         {"KERNEL.SYS", "COMMAND.COM", "AUTOEXEC.BAT", "RECOVERY.PDF", "KMV.EXE"}, {"FLASH.*"}},
        {"names in another case", {{"kernel.sys", 4500}, {"Command.Com", 900}, {"flash.bin", 3000}},
         {"kernel.sys", "Command.Com", "flash.bin"}, {"AUTOEXEC.BAT", "RECOVERY.PDF", "KMV.EXE"}},
        {"empty directory", {}, {}, {"KERNEL.SYS", "COMMAND.COM", "AUTOEXEC.BAT", "RECOVERY.PDF", "KMV.EXE", "FLASH.*"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::uint64_t expectedSum = 0;
        std::vector<std::uint64_t> expectedSizes;
        for (const auto& [name, size] : c.present) writeFileBytes(dir / name, std::vector<std::uint8_t>(size, 0x5A));
        for (const auto& name : c.listed) {
            for (const auto& [n, size] : c.present) {
                if (n == name) {
                    expectedSizes.push_back(size);
                    expectedSum += size;
                }
            }
        }

        testing::internal::CaptureStderr();
        const pellorin::PayloadList list = BuildPayloadList(dir.path());
        const std::string trace = testing::internal::GetCapturedStderr();

        std::vector<std::string> paths, missing, block;
        for (const auto& name : c.listed) paths.push_back((dir / name).string());
        for (const auto& name : c.missing) missing.push_back((dir / name).string());
        EXPECT_EQ(list.paths, paths);
        EXPECT_EQ(list.sizes, expectedSizes);
        EXPECT_EQ(list.totalSize, expectedSum);
        EXPECT_EQ(list.missing, missing);
        std::string expectedBlock;
        for (const auto& p : paths) expectedBlock.append(p).push_back('\0');
        expectedBlock.push_back('\0');
        EXPECT_EQ(list.files, expectedBlock);
        for (const auto& m : missing) EXPECT_NE(trace.find("***ERROR*** " + m + ": "), std::string::npos) << trace;
    }
}

// Entries under a payload name that cannot be read as regular files are neither listed nor
// "missing": they are unusable, with the system's own reason on the trace.
TEST(BuildPayloadList, EntriesThatAreNoReadableFilesAreUnusable) {
    namespace fs = std::filesystem;
    const struct {
        const char* name;
        std::function<void(const fs::path&)> make;  // makes KMV.EXE
        const char* reason;
    } cases[] = {
        {"a directory", [](const fs::path& p) { fs::create_directory(p); }, "Is a directory"},
        {"a FIFO is not opened for long", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         "not a regular file"},
        {"a device", [](const fs::path& p) { fs::create_symlink("/dev/null", p); }, "not a regular file"},
        {"a dangling link", [](const fs::path& p) { fs::create_symlink("nowhere", p); },
         "No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFileBytes(dir / "KERNEL.SYS", std::vector<std::uint8_t>(10, 1));
        c.make(dir / "KMV.EXE");
        testing::internal::CaptureStderr();
        const auto list = BuildPayloadList(dir.path());
        const std::string trace = testing::internal::GetCapturedStderr();
        EXPECT_EQ(list.paths, std::vector<std::string>{(dir / "KERNEL.SYS").string()});
        ASSERT_EQ(list.unusable.size(), 1u);
        EXPECT_EQ(list.unusable[0].path, (dir / "KMV.EXE").string());
        EXPECT_EQ(list.unusable[0].reason, c.reason);
        EXPECT_NE(trace.find("***ERROR*** " + (dir / "KMV.EXE").string() + ": " + c.reason + "\n"), std::string::npos)
            << trace;
        EXPECT_EQ(std::count(list.missing.begin(), list.missing.end(), (dir / "KMV.EXE").string()), 0);
    }
}

TEST(BuildPayloadList, UnreadableFileIsNamedWithTheRealError) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file; the system test covers this as another user";
    TempDir dir;
    writeFileBytes(dir / "FLASH.IMG", std::vector<std::uint8_t>(10, 1));
    std::filesystem::permissions(dir / "FLASH.IMG", std::filesystem::perms::none);
    testing::internal::CaptureStderr();
    const auto list = BuildPayloadList(dir.path());
    const std::string trace = testing::internal::GetCapturedStderr();
    ASSERT_EQ(list.unusable.size(), 1u);
    EXPECT_EQ(list.unusable[0].reason, "Permission denied");
    EXPECT_NE(trace.find((dir / "FLASH.IMG").string() + ": Permission denied\n"), std::string::npos) << trace;
}

TEST(BuildPayloadList, FlashFallbackSkipsEntriesThatAreNoRegularFiles) {
    namespace fs = std::filesystem;
    TempDir dir;
    fs::create_directory(dir / "FLASH.AAA");
    ASSERT_EQ(::mkfifo((dir / "FLASH.BBB").c_str(), 0600), 0);
    fs::create_symlink("nowhere", dir / "FLASH.CCC");
    writeFileBytes(dir / "FLASH.DDD", std::vector<std::uint8_t>(77, 1));
    testing::internal::CaptureStderr();
    const auto list = BuildPayloadList(dir.path());
    testing::internal::GetCapturedStderr();
    ASSERT_FALSE(list.paths.empty());
    EXPECT_EQ(list.paths.back(), (dir / "FLASH.DDD").string());
    EXPECT_EQ(list.sizes.back(), 77u);
    EXPECT_TRUE(list.unusable.empty());
}

TEST(BuildPayloadList, SizesAreSixtyFourBits) {
    TempDir dir;
    writeFileBytes(dir / "FLASH.IMG", {});
    std::filesystem::resize_file(dir / "FLASH.IMG", (std::uint64_t{4} << 30) + 1048576);  // sparse
    testing::internal::CaptureStderr();
    const auto list = BuildPayloadList(dir.path());
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(list.sizes, std::vector<std::uint64_t>{(std::uint64_t{4} << 30) + 1048576});
    EXPECT_EQ(list.totalSize, (std::uint64_t{4} << 30) + 1048576);
}

TEST(BuildPayloadList, LongPathsAreNeitherCutNorLimited) {
    TempDir dir;
    std::filesystem::path deep = dir.path();
    for (int i = 0; i < 12; ++i) deep /= std::string(40, static_cast<char>('a' + i));
    std::filesystem::create_directories(deep);
    for (const char* name : pellorin::kPayloadNames) writeFileBytes(deep / name, {1, 2, 3});
    const auto list = BuildPayloadList(deep);
    ASSERT_EQ(list.paths.size(), 6u);
    EXPECT_GT(list.files.size(), 1560u);
    EXPECT_EQ(list.paths.back(), (deep / "FLASH.IMG").string());
}

}  // namespace
