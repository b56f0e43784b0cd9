// The command line without a command opens the application, on the folder of --payload when
// given; a --payload before a command stands for the command's own.

#include "app/CommandLine.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pellorin;

int run(std::vector<std::string> args, std::optional<fs::path>& opened) {
    args.insert(args.begin(), "pellorin");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return RunCommandLine(static_cast<int>(args.size()), argv.data(), [&opened](const fs::path& payload) {
        opened = payload;
        return 0;
    });
}

TEST(CommandLine, WithoutACommandOpensTheApplicationOnItsPayload) {
    testsupport::TempDir temp;
    std::optional<fs::path> opened;
    EXPECT_EQ(run({"--payload", temp.path().string()}, opened), kExitDone);
    EXPECT_EQ(opened, temp.path());

    // A folder that does not exist is a wrong argument; the application is not opened.
    opened.reset();
    EXPECT_EQ(run({"--payload", (temp / "nowhere").string()}, opened), kExitUsage);
    EXPECT_FALSE(opened);

    // Before a command, the payload is the command's (the program's own folder has none).
    testsupport::writeFileBytes(temp / "KERNEL.SYS", testsupport::patternBytes(1000, 1));
    testsupport::writeFileBytes(temp / "FLASH.IMG", testsupport::patternBytes(3000, 2));
    const fs::path iso = temp / "out.iso";
    EXPECT_EQ(run({"--payload", temp.path().string(), "iso", iso.string(), "--yes"}, opened), kExitDone);
    EXPECT_FALSE(opened);
    EXPECT_TRUE(fs::exists(iso));
}

}  // namespace
