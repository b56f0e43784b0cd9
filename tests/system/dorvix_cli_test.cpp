// The built dorvix driven through its command line and the device table, on image files
// partitioned and formatted by mtools and mkfs.fat.

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using testsupport::CommandResult;
using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;

namespace {

// The usage names the keys the parser knows, each with what it does.
const std::string kUsage =
    "\nUsage: dorvix -devdump\r\n\t\tTo print disk device number and associated CHS parameters.\r\n\r\n"
    "\tdorvix [-targetdev:n] [-y] [-w] [<imgfile>]\r\n\t\tTo image a disk with an KMV style file (the default).\r\n\r\n"
    "\tdorvix -writeflat [-targetdev:n] [-y] [-w] [<imgfile>]\r\n\t\tTo image a disk with a flat KMV style file.\r\n\r\n"
    "\tdorvix -imgcopy [-targetdev:n] [<imgfile>]\r\n\t\tTo copy a disk to an KMV style file.\r\n\r\n"
    "\tdorvix -flatcopy [-targetdev:n] [<imgfile>]\r\n\t\tTo copy a disk to a flat KMV style file.\r\n\r\n"
    "[Optional] Parameter Definitions:\r\n"
    "-icmbr:<file>\t\tinserts MBR code from specified bin file.\r\n"
    "-icpbr:<file>\t\tinserts PBR code from specified bin file.\r\n"
    "-targetdev:n\t\tWhere n=1 (default) thru 9, Sets the disk device number to image.\r\n"
    "-y\t\t\t\t\tSuppresses confirmation prompts.\r\n-w\t\t\t\t\tWindowed mode.\r\n"
    "<imgfile>\t\t\tSpecifies the image file name [FLASH.IMG] (written by -imgcopy and -flatcopy).\r\n\r\n";

std::string noDevice(int n) { return "DSK" + std::to_string(n) + ": <no device>\r\n"; }

class DorvixProgram : public ::testing::Test {
protected:
    TempDir dir;

    // Runs dorvix in the scratch directory with the given table; `stdoutOnly` keeps the
    // debug output (standard error) out of the result.
    CommandResult run(const std::string& arguments, const std::string& input = "", bool stdoutOnly = true) {
        std::string command = "cd " + shellQuote(dir.path().string()) + " && DORVIX_DEVICES=" +
                              shellQuote((dir / "devices").string()) + " DORVIX_RESET_COMMAND= " +
                              shellQuote(DORVIX_PROGRAM) + " " + arguments + " < " +
                              shellQuote((dir / "stdin").string());
        testsupport::writeFileText(dir / "stdin", input);
        if (stdoutOnly) {
            command = "(" + command + " 2>/dev/null)";
        }
        return runCommand(command);
    }

    void table(const std::string& text) { testsupport::writeFileText(dir / "devices", text); }

    // A disk image partitioned by mpartition (first partition at `sectorsPerTrack`) whose
    // first partition holds a FAT16 volume made by mkfs.fat.
    std::filesystem::path partitionedDisk(const std::string& name, unsigned megabytes, unsigned heads,
                                          unsigned sectorsPerTrack) {
        const auto image = dir / name;
        const auto rc = dir / (name + ".mtoolsrc");
        testsupport::writeFileText(rc, "drive x: file=\"" + image.string() + "\" partition=1\nmtools_skip_check=1\n");
        const std::string env = "MTOOLSRC=" + shellQuote(rc.string()) + " MTOOLS_SKIP_CHECK=1 ";
        EXPECT_EQ(runCommand("truncate -s " + std::to_string(megabytes) + "M " + shellQuote(image.string())).exitCode,
                  0);
        EXPECT_EQ(runCommand(env + "mpartition -I x:").exitCode, 0);
        const auto made = runCommand(env + "mpartition -c -T 0x06 -h " + std::to_string(heads) + " -s " +
                                     std::to_string(sectorsPerTrack) + " x:");
        EXPECT_EQ(made.exitCode, 0) << made.output;
        // The partition's length as mpartition wrote it into the first table entry.
        const auto sector0 = testsupport::readFileBytes(image);
        const std::uint32_t partitionSectors = static_cast<std::uint32_t>(sector0.at(458)) |
                                               (static_cast<std::uint32_t>(sector0.at(459)) << 8) |
                                               (static_cast<std::uint32_t>(sector0.at(460)) << 16) |
                                               (static_cast<std::uint32_t>(sector0.at(461)) << 24);
        const std::string sectors = std::to_string(sectorsPerTrack);
        const auto formatted = runCommand("mkfs.fat -F 16 --offset " + sectors + " -h " + sectors + " " +
                                          shellQuote(image.string()) + " " + std::to_string(partitionSectors / 2));
        EXPECT_EQ(formatted.exitCode, 0) << formatted.output;
        return image;
    }

    void SetUp() override {
        if (!testsupport::haveProgram("mpartition") || !testsupport::haveProgram("mkfs.fat")) {
            GTEST_SKIP() << "mtools and dosfstools are needed (scripts/setup installs them)";
        }
    }
};

TEST_F(DorvixProgram, UsageTextByteForByte) {
    for (const char* key : {"-?", "/h", "-H", "-y -? -devdump"}) {
        const auto result = run(key);
        EXPECT_EQ(result.exitCode, 0) << key;
        EXPECT_EQ(result.output, kUsage) << key;
    }
}

// An operator's first try at help, on a device where the default restore would find both its
// image and its disk: the usage, exit code 0, no question asked and the disk untouched.
TEST_F(DorvixProgram, HelpWordsPrintTheUsageAndLeaveTheDiskAlone) {
    const auto disk = dir / "flash.img";
    testsupport::writeFileBytes(disk, std::vector<std::uint8_t>(1u << 20, 0x5A));
    testsupport::writeFileBytes(dir / "FLASH.IMG", std::vector<std::uint8_t>(4096, 0));
    table("DSK1: " + disk.string() + "\n");
    for (const char* key : {"--help", "-help", "/help", "-y --HELP"}) {
        const auto result = run(key, "YES\n", false);
        EXPECT_EQ(result.exitCode, 0) << key;
        EXPECT_EQ(result.output, kUsage) << key;
    }
    EXPECT_EQ(testsupport::readFileBytes(disk), std::vector<std::uint8_t>(1u << 20, 0x5A));
}

TEST_F(DorvixProgram, DeviceDumpWithoutTableListsNineAbsentDevices) {
    const auto result = run("-devdump", "", false);
    EXPECT_EQ(result.exitCode, 0);
    for (int n = 1; n <= 9; ++n) {
        EXPECT_NE(result.output.find(noDevice(n)), std::string::npos) << n;
    }
    EXPECT_NE(result.output.find("cannot read the device table"), std::string::npos);
    EXPECT_EQ(result.output.find("QZ Keldan"), std::string::npos);  // no banner
}

TEST_F(DorvixProgram, DeviceDumpShowsDerivedGeometryAndWritesNothing) {
    const auto disk63 = partitionedDisk("flash63.img", 32, 255, 63);
    const auto disk32 = partitionedDisk("flash32.img", 20, 16, 32);
    const auto blank = dir / "blank.img";
    testsupport::writeFileBytes(blank, std::vector<std::uint8_t>(8u << 20, 0));
    const auto small = dir / "small.img";
    testsupport::writeFileBytes(small, std::vector<std::uint8_t>(4u << 20, 0));
    const auto before63 = testsupport::readFileBytes(disk63);
    table("# test rig\n"
          "DSK1: " + disk63.string() + "\n" +
          "DSK3: " + disk32.string() + " sectors=63\n" +           // the partition table wins
          "DSK4: " + blank.string() + " heads=16 sectors=32\n" +   // the driver's geometry
          "DSK5: " + small.string() + "\n" +                       // 0/0: 255 x 63, less than a cylinder
          "DSK6: " + blank.string() + " total=40000\n" +           // 0/0: 255 x 63, cut to 2 cylinders
          "DSK7: " + disk63.string() + " cylinders=3\n" +          // malformed: left out
          "DSK10: " + blank.string() + "\n");                      // never listed
    const auto result = run("-dd");
    EXPECT_EQ(result.exitCode, 0);
    const std::string systemLines =
        "\\DSK1: TS:0000FB04 BS:0200 CYLS:0004 TRKS:FF SECS:3F\r\n" + noDevice(2) +
        "\\DSK3: TS:00009F60 BS:0200 CYLS:0005 TRKS:FF SECS:20\r\n" +
        "\\DSK4: TS:00004000 BS:0200 CYLS:0020 TRKS:10 SECS:20\r\n" +
        "\\DSK5: TS:00000000 BS:0200 CYLS:0000 TRKS:FF SECS:3F\r\n" +
        "\\DSK6: TS:00007D82 BS:0200 CYLS:0002 TRKS:FF SECS:3F\r\n" + noDevice(7) + noDevice(8) + noDevice(9);
    EXPECT_EQ(result.output.substr(0, systemLines.size()), systemLines);
    // After them: where the table came from and what stands behind each device.
    const std::string details = result.output.substr(std::min(systemLines.size(), result.output.size()));
    EXPECT_EQ(details.rfind("\r\nDevices from the device table named by DORVIX_DEVICES: " + (dir / "devices").string() +
                                ":\r\n",
                            0),
              0u)
        << details;
    EXPECT_NE(details.find("DSK1: " + disk63.string() + ", image file, 33554432 bytes (0.0 GiB), CHS 4/255/63\r\n"),
              std::string::npos)
        << details;
    EXPECT_NE(details.find("DSK4: " + blank.string() + ", image file, 8388608 bytes (0.0 GiB), CHS 32/16/32\r\n"),
              std::string::npos)
        << details;
    EXPECT_EQ(details.find("DSK7:"), std::string::npos) << details;
    EXPECT_EQ(testsupport::readFileBytes(disk63), before63);

    const auto withDebug = run("-dd", "", false);
    EXPECT_NE(withDebug.output.find(":7: unknown setting"), std::string::npos) << withDebug.output;
}

// Without a table file the devices are this machine's whole disks; listing them only reads.
TEST_F(DorvixProgram, DeviceDumpWithoutTableListsTheMachinesDisks) {
    if (std::filesystem::exists("/etc/dorvix/devices")) {
        GTEST_SKIP() << "this machine has a device table";
    }
    const auto result = runCommand("(env -u DORVIX_DEVICES " + shellQuote(DORVIX_PROGRAM) + " -devdump </dev/null 2>/dev/null)");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.output.find("Devices from the machine's whole disks, fixed ones first, from /sys/block:"),
              std::string::npos)
        << result.output;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/block")) {
        const std::string name = entry.path().filename().string();
        const bool listed = result.output.find(": /dev/" + name + ", ") != std::string::npos;
        if (name.rfind("loop", 0) == 0 || name.rfind("zram", 0) == 0 || name.rfind("ram", 0) == 0 ||
            name.rfind("sr", 0) == 0) {
            EXPECT_FALSE(listed) << name;
        }
    }
    // Each disk that could be opened is shown with its geometry line as well (a sandbox may
    // refuse the open: the detail line then says why).
    for (int n = 1; n <= 9; ++n) {
        const std::size_t at = result.output.find("\nDSK" + std::to_string(n) + ": /dev/");
        if (at != std::string::npos &&
            result.output.substr(at, result.output.find('\n', at + 1) - at).find(", block device") != std::string::npos) {
            EXPECT_NE(result.output.find("\\DSK" + std::to_string(n) + ": TS:"), std::string::npos) << result.output;
        }
    }
}

TEST_F(DorvixProgram, WriteModesRefuseBeforeAnyEngineRuns) {
    table("");
    testsupport::writeFileBytes(dir / "FLASH.IMG", std::vector<std::uint8_t>(4096, 0));
    struct Case {
        std::string arguments;
        std::string input;
        int exitCode;
        const char* tail;
    };
    const Case cases[] = {
        {"-y missing.img", "", 1, "ERROR: The image file does not exist."},
        {"-writeflat -y missing.img", "", 1, "ERROR: The image file does not exist."},
        {"", "no\n", 1, "Type NO to exit, or YES to continue: "},
        {"", "maybe\nNO\n", 1, "Type NO to exit, or YES to continue: "},
        {"", "", 1, "Type NO to exit, or YES to continue: "},  // end of input counts as no
        {"-y " + std::string(100, 'f'), "", 1, "...\n"},
    };
    for (const Case& c : cases) {
        const auto result = run(c.arguments, c.input);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments;
        EXPECT_TRUE(result.output.ends_with(c.tail)) << c.arguments << "\n" << result.output;
    }
}

// Without a disk every mode fails with its own result and never resets.
TEST_F(DorvixProgram, ModesWithoutDiskFailAndNeverReset) {
    table("");
    testsupport::writeFileBytes(dir / "FLASH.IMG", std::vector<std::uint8_t>(4096, 0));
    struct Case {
        std::string arguments;
        std::string input;
        int exitCode;
        std::string message;
    };
    const Case cases[] = {
        {"", "yes\n", 255, "ERROR: The target device could not be accessed."},
        {"-writeflat -y", "", 3, ""},
        {"-flatcopy out.kmv", "", 3, ""},
        {"-imgcopy out.kmv", "", 255, "ERROR: The target device could not be accessed."},
    };
    for (const Case& c : cases) {
        const auto result = run(c.arguments, c.input);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find("rebooted"), std::string::npos);
        EXPECT_EQ(result.output.find("must now be restarted"), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "out.kmv"));
}

TEST_F(DorvixProgram, QuotedImagePathWithSpacesIsOneArgument) {
    table("");
    testsupport::writeFileBytes(dir / "my image.kmv", std::vector<std::uint8_t>(512, 0));
    // The shell passes one argument with a space; dorvix finds the file and asks.
    const auto found = run("-writeflat " + shellQuote("my image.kmv"), "no\n");
    EXPECT_EQ(found.exitCode, 1);
    EXPECT_TRUE(found.output.ends_with("Type NO to exit, or YES to continue: ")) << found.output;
    const auto split = run("-writeflat my image.kmv", "no\n");  // two arguments: "image.kmv" wins
    EXPECT_TRUE(split.output.ends_with("ERROR: The image file does not exist.")) << split.output;
}

}  // namespace
