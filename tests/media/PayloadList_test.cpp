// Finding the payload: list order, the FLASH.* fallback, missing files, the size sum and the
// block format the FAT16 writer takes.

#include "jobs/PayloadList.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

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
        std::vector<std::uint32_t> expectedSizes;
        for (const auto& [name, size] : c.present) writeFileBytes(dir / name, std::vector<std::uint8_t>(size, 0x5A));
        for (const auto& name : c.listed) {
            for (const auto& [n, size] : c.present) {
                if (n == name) {
                    expectedSizes.push_back(static_cast<std::uint32_t>(size));
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

TEST(BuildPayloadList, DirectoryOfAPayloadNameCountsNoSize) {
    TempDir dir;
    std::filesystem::create_directory(dir / "KMV.EXE");
    writeFileBytes(dir / "FLASH.IMG", std::vector<std::uint8_t>(1000, 1));
    testing::internal::CaptureStderr();
    const auto list = BuildPayloadList(dir.path());
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(list.paths.size(), 2u);
    EXPECT_EQ(list.sizes, (std::vector<std::uint32_t>{0, 1000}));
    EXPECT_EQ(list.totalSize, 1000u);
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
