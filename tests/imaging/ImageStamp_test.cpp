// The "ModDate=" stamp of IMAGE.INI: search, parsing and rewriting of the first 256 bytes, on a
// host file and inside a volume made by mtools.

#include "disk/ImageStamp.h"
#include "fat/ImageIniStamp.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "FatTestDisk.h"
#include "TestSupport.h"
#include "VolumeFixtures.h"

namespace dorvix {
namespace {

using namespace testsupport;
using testing::TestVolume;

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}
std::string textOf(const std::vector<std::uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

SystemTime date(std::uint16_t month, std::uint16_t day, std::uint16_t year, std::uint16_t hour, std::uint16_t minute) {
    SystemTime t;
    t.month = month;
    t.day = day;
    t.year = year;
    t.hour = hour;
    t.minute = minute;
    t.second = 42;
    return t;
}

TEST(ModDateText, FindNoCase) {
    EXPECT_EQ(findNoCase("abc\nmodDATE=1", "\nModDate="), std::optional<std::size_t>(3));
    EXPECT_EQ(findNoCase("ModDate=1", "\nModDate="), std::nullopt);
    EXPECT_EQ(findNoCase(std::string_view("x\0\nModDate=", 11), "\nModDate="), std::nullopt);  // text ends at NUL
    EXPECT_EQ(findNoCase("", "k"), std::nullopt);
}

TEST(ModDateText, ParseStamps) {
    struct Case {
        const char* name;
        std::string text;
        bool ok;
        SystemTime expected;
    };
    const Case cases[] = {
        {"full stamp", "[Image]\nModDate=12/31/2006 23:59\n", true, date(12, 31, 2006, 23, 59)},
        {"mixed-case key", "x\r\nmodDATE=01/02/2006 03:04\r\n", true, date(1, 2, 2006, 3, 4)},
        {"no leading zeros", "x\nModDate=1/2/2006 3:04\n", true, date(1, 2, 2006, 3, 4)},
        {"first line has no line feed before it", "ModDate=12/31/2006 23:59\n", false, {}},
        {"missing minute", "x\nModDate=12/31/2006 23\n", false, date(12, 31, 2006, 23, 0)},
    };
    for (const Case& c : cases) {
        SystemTime parsed;
        parsed.second = 42;
        EXPECT_EQ(parseModDate(bytesOf(c.text), parsed), c.ok) << c.name;
        EXPECT_EQ(parsed.month, c.expected.month) << c.name;
        EXPECT_EQ(parsed.day, c.expected.day) << c.name;
        EXPECT_EQ(parsed.year, c.expected.year) << c.name;
        EXPECT_EQ(parsed.hour, c.expected.hour) << c.name;
        if (c.ok) {
            EXPECT_EQ(parsed.minute, c.expected.minute) << c.name;
            EXPECT_EQ(parsed.second, 0) << c.name;
        }
    }
}

TEST(ModDateText, ApplyStamps) {
    struct Case {
        const char* name;
        std::string before;
        bool found;
        std::string after;
    };
    const SystemTime when = date(3, 4, 2027, 5, 6);
    const Case cases[] = {
        {"in place", "[I]\nModDate=12/31/2006 23:59\nX=1\n", true, "[I]\nModDate=03/04/2027 05:06\nX=1\n"},
        {"mixed-case key keeps its spelling", "[I]\nmodDATE=01/02/2006 03:04\n", true,
         "[I]\nmodDATE=03/04/2027 05:06\n"},
        {"short old value: the new one covers the line end", "a\nModDate=1/2/2006 3:04\nX=1\n", true,
         "a\nModDate=03/04/2027 05:061\n"},
        {"stamp near the end: cut at the bytes read", "a\nModDate=12/31", true, "a\nModDate=03/04"},
        {"first line", "ModDate=12/31/2006 23:59\n", false, "ModDate=12/31/2006 23:59\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> head = bytesOf(c.before);
        EXPECT_EQ(applyModDate(head, when), c.found) << c.name;
        EXPECT_EQ(textOf(head), c.after) << c.name;
    }
}

TEST(ModDateHostFile, ReadOnlyFileIsWrittenAndStaysReadOnly) {
    TempDir dir;
    const auto ini = dir / "IMAGE.INI";
    const std::string tail(300, '#');
    writeFileText(ini, "[Image]\nModDate=01/02/2006 03:04\n" + tail);
    std::filesystem::permissions(ini, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    const auto mode = std::filesystem::status(ini).permissions();

    StampLocation where{ini, nullptr};
    SystemTime kept;
    ASSERT_TRUE(readModDate(where, kept));
    EXPECT_EQ(kept.year, 2006);
    writeModDate(where, date(11, 12, 2026, 13, 14));
    EXPECT_EQ(textOf(readFileBytes(ini)), "[Image]\nModDate=11/12/2026 13:14\n" + tail);
    EXPECT_EQ(std::filesystem::status(ini).permissions(), mode);

    // A stamp that starts behind byte 256 is not seen.
    writeFileText(ini, std::string(250, ';') + "\nModDate=01/02/2006 03:04\n");
    SystemTime unseen;
    EXPECT_FALSE(readModDate(where, unseen));
    // A missing file: nothing read, nothing created.
    StampLocation missing{dir / "NONE.INI", nullptr};
    EXPECT_FALSE(readModDate(missing, unseen));
    writeModDate(missing, date(1, 1, 2000, 0, 0));
    EXPECT_FALSE(std::filesystem::exists(dir / "NONE.INI"));
}

TEST(ModDateVolume, StampInsideAVolumeIsRewrittenInPlace) {
    TempDir dir;
    const auto disk = dir / "disk.img";
    ASSERT_TRUE(makeFatDisk(disk));
    const std::string text = "[Image]\r\nModDate=01/02/2006 03:04\r\nKMVBIOS=KQ1\r\n" + std::string(3000, 'z');
    ASSERT_TRUE(putFile(disk, 32, "::/IMAGE.INI", bytesOf(text)));
    ASSERT_TRUE(mtoolsOk(disk, 32, "mattrib", "+r ::/IMAGE.INI"));

    TestVolume tv;
    ASSERT_TRUE(tv.openAndMount(disk));
    StampLocation where{{}, &tv.volume};
    SystemTime kept;
    ASSERT_TRUE(readModDate(where, kept));
    EXPECT_EQ(kept.month, 1);
    EXPECT_EQ(kept.minute, 4);
    writeModDate(where, date(9, 8, 2026, 7, 6));

    bool ok = false;
    const std::vector<std::uint8_t> back = getFile(disk, 32, "::/IMAGE.INI", ok);
    ASSERT_TRUE(ok);
    std::string expected = text;
    expected.replace(expected.find("01/02/2006 03:04"), 16, "09/08/2026 07:06");
    EXPECT_EQ(textOf(back), expected);
    const CommandResult attributes = mtools(disk, 32, "mattrib", "::/IMAGE.INI");
    EXPECT_NE(attributes.output.find("R"), std::string::npos) << attributes.output;
}

// The whole value of the ModDate= line is replaced, whatever its length; nothing else changes.
TEST(ModDateText, ValueOfTheLineIsReplaced) {
    const SystemTime when = date(9, 8, 2026, 7, 6);
    struct Case {
        const char* name;
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"16-character value", "[I]\r\nModDate=01/02/2006 03:04\r\nK=1\r\n", "[I]\r\nModDate=09/08/2026 07:06\r\nK=1\r\n"},
        {"shorter value", "[I]\r\nModDate=1/2/2006 3:04\r\nK=1\r\n", "[I]\r\nModDate=09/08/2026 07:06\r\nK=1\r\n"},
        {"word", "[I]\nmoddate=unknown\nK=1\n", "[I]\nmoddate=09/08/2026 07:06\nK=1\n"},
        {"longer value", "[I]\nModDate=01/02/2006 03:04:05 PM\nK=1", "[I]\nModDate=09/08/2026 07:06\nK=1"},
        {"empty value at the end", "[I]\nModDate=", "[I]\nModDate=09/08/2026 07:06"},
        {"key on the first line", "ModDate=x\nK=1", "ModDate=09/08/2026 07:06\nK=1"},
        {"no key", "[I]\nK=1\n", "[I]\nK=1\n"},
        {"key inside another key", "[I]\nXModDate=1\n", "[I]\nXModDate=1\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(textOf(withModDate(bytesOf(c.text), when)), c.expected) << c.name;
    }
}

// Inside a volume (an image's copy) the file grows or shrinks across cluster boundaries: the
// chain gains or loses clusters and the volume stays consistent for fsck.fat.
TEST(ModDateVolume, StampOfAnotherLengthResizesTheFile) {
    for (const std::size_t pad : {2030u, 2041u, 2000u}) {
        SCOPED_TRACE(pad);
        TempDir dir;
        const auto disk = dir / "disk.img";
        ASSERT_TRUE(makeFatDisk(disk));
        // Around the 2 KiB cluster: "x" becomes 16 characters, the file grows past or within it;
        // a 40-character value shrinks it back below.
        const std::string text = std::string(pad, ';') + "\nModDate=" + (pad == 2000 ? std::string(40, 'v') : "x") + "\nEnd\n";
        ASSERT_TRUE(putFile(disk, 32, "::/IMAGE.INI", bytesOf(text)));
        ASSERT_TRUE(putFile(disk, 32, "::/AFTER.BIN", patternBytes(5000, 3)));
        {
            TestVolume tv;
            ASSERT_TRUE(tv.openAndMount(disk));
            EXPECT_TRUE(stampVolumeIni(tv.volume, date(9, 8, 2026, 7, 6)));
        }
        bool ok = false;
        EXPECT_EQ(textOf(getFile(disk, 32, "::/IMAGE.INI", ok)), textOf(withModDate(bytesOf(text), date(9, 8, 2026, 7, 6))));
        EXPECT_TRUE(ok);
        EXPECT_TRUE(getFile(disk, 32, "::/AFTER.BIN", ok) == patternBytes(5000, 3));
        const auto volume = dir / "volume.img";
        std::vector<std::uint8_t> bytes = readFileBytes(disk);
        bytes.erase(bytes.begin(), bytes.begin() + 32 * 512);
        writeFileBytes(volume, bytes);
        const CommandResult fsck = runCommand("fsck.fat -n " + shellQuote(volume.string()));
        EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
    }
}

// A value that grows the file past its cluster on a volume without a free cluster: refused as
// such, and nothing written.
TEST(ModDateVolume, FullVolumeHasNoRoomForALongerStamp) {
    TempDir dir;
    const auto disk = dir / "disk.img";
    ASSERT_TRUE(makeFatDisk(disk));
    const std::string text = std::string(2030, ';') + "\nModDate=x\nEnd\n";
    ASSERT_TRUE(putFile(disk, 32, "::/IMAGE.INI", bytesOf(text)));
    ASSERT_TRUE(fillVolume(disk, 32, "::/FILL.BIN"));
    const std::vector<std::uint8_t> before = readFileBytes(disk);
    TestVolume tv;
    ASSERT_TRUE(tv.openAndMount(disk));
    bool noRoom = false;
    EXPECT_FALSE(stampVolumeIni(tv.volume, date(9, 8, 2026, 7, 6), &noRoom));
    EXPECT_TRUE(noRoom);
    EXPECT_TRUE(readFileBytes(disk) == before);
}

}  // namespace
}  // namespace dorvix
