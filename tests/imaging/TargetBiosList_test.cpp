// The KMVBIOS key of IMAGE.INI: the tokenizer on texts, and the root scan on volumes made by mtools.

#include "fat/TargetBiosList.h"

#include <gtest/gtest.h>

#include <string>

#include "FatTestDisk.h"
#include "TestSupport.h"
#include "VolumeFixtures.h"

namespace dorvix {
namespace {

using namespace testsupport;
using testing::TestVolume;

TEST(KmvBiosValue, FromIniTexts) {
    std::string longValue;  // 17 codes, 101 characters
    for (int i = 0; i < 17; ++i) longValue += (i ? "," : "") + std::string("KQ5C") + char('A' + i);
    const std::string tenCodes = longValue.substr(0, 10 * 6 - 1);
    const std::string longLine = "KMVBIOS=" + std::string(600, 'Q');
    struct Case {
        const char* name;
        std::string text;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"plain", "[Image]\r\nModDate=01/02/2006 03:04\r\nKMVBIOS=KQ7B2,KQ3A1\r\n", "KQ7B2,KQ3A1"},
        {"key in lower case", "kmvbios=KQ1\n", "KQ1"},
        {"blanks around = and after commas are dropped", "  KMVBIOS = KQ7B2, KQ3A1 ,KQ3A0\n", "KQ7B2,KQ3A1,KQ3A0"},
        {"last line without line end", "X=1\nKMVBIOS=KQ9", "KQ9"},
        {"only the first matching line counts", "KMVBIOS=ONE\nKMVBIOS=TWO\n", "ONE"},
        {"empty value is an empty string", "KMVBIOS=\r\n", ""},
        {"longer key that begins with the key", "KMVBIOSX=KQ1\n", std::nullopt},
        {"key without =", "KMVBIOS KQ1\n", std::nullopt},
        {"no key", "[Image]\nModDate=01/02/2006 03:04\n", std::nullopt},
        {"empty text", "", std::nullopt},
        {"value longer than its 64-byte buffer ends after its last whole code", "KMVBIOS=" + longValue + "\n",
         tenCodes},
        {"a single code longer than the buffer leaves nothing", longLine + "\n", ""},
        {"over-long key is passed over", std::string(200, 'K') + "=X\nKMVBIOS=OK\n", "OK"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(findKmvBiosValue(c.text), c.expected) << c.name;
    }
}

TEST(KmvBiosValue, TokenizerPositions) {
    char line[kIniLineBytes];
    const std::string text = "\r\n  a b=c \r\n\n d\n";
    auto next = nextIniLine(text, 0, line);
    ASSERT_TRUE(next);
    EXPECT_STREQ(line, "ab=c");
    EXPECT_EQ(text[*next], '\r');
    next = nextIniLine(text, *next, line);
    ASSERT_TRUE(next);
    EXPECT_STREQ(line, "d");
    EXPECT_FALSE(nextIniLine(text, *next, line));

    char token[8];
    const std::string_view keyLine = "key=value";
    const auto afterKey = nextIniToken(keyLine, 0, token, "=");
    ASSERT_TRUE(afterKey);
    EXPECT_STREQ(token, "key");
    EXPECT_EQ(*afterKey, 4u);
    EXPECT_FALSE(nextIniToken(keyLine, *afterKey, token, "\r\n"));  // the line ended
    EXPECT_STREQ(token, "value");
    EXPECT_FALSE(nextIniToken("=x", 0, token, "="));                 // nothing before the delimiter
    EXPECT_TRUE(nextIniToken("abcdefghijkl=x", 0, token, "="));      // cut to 7 characters
    EXPECT_STREQ(token, "abcdefg");
    EXPECT_EQ(*nextIniToken("first second", 0, token, nullptr), 6u);  // blanks delimit by default
}

class ImageIniScan : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(makeFatDisk(disk)); }
    void putText(const std::string& path, const std::string& text) {
        ASSERT_TRUE(putFile(disk, 32, path, std::vector<std::uint8_t>(text.begin(), text.end())));
    }
    std::optional<std::string> scan() {
        TestVolume tv;
        EXPECT_TRUE(tv.openAndMount(disk));
        return scanTargetBiosList(tv.volume);
    }
    TempDir dir;
    std::filesystem::path disk = dir / "disk.img";
};

TEST_F(ImageIniScan, FindsTheKeyInTheRootFile) {
    putText("::/README.TXT", "KMVBIOS=WRONG\n");
    // A file of several clusters with the key in its last cluster.
    putText("::/IMAGE.INI", "[Image]\r\nModDate=12/31/2006 23:59\r\n" + std::string(5000, ';') + "\r\nKMVBIOS=KQ1,KQ2\r\n");
    EXPECT_EQ(scan(), std::optional<std::string>("KQ1,KQ2"));
}

TEST_F(ImageIniScan, FileInASubdirectoryOrUnderAnotherLongNameIsNotFound) {
    ASSERT_TRUE(mtoolsOk(disk, 32, "mmd", "::/SUB"));
    putText("::/SUB/IMAGE.INI", "KMVBIOS=KQ1\n");
    putText("::/IMAGE.INI.OLD", "KMVBIOS=KQ1\n");
    EXPECT_EQ(scan(), std::nullopt);
}

TEST_F(ImageIniScan, FileWithoutTheKeyOrWithAnEmptyValue) {
    putText("::/image.ini", "[Image]\nModDate=12/31/2006 23:59\n");
    EXPECT_EQ(scan(), std::nullopt);
    putText("::/image.ini", "KMVBIOS=\n");
    EXPECT_EQ(scan(), std::optional<std::string>(""));
}

TEST_F(ImageIniScan, UnreadableFileGivesNone) {
    putText("::/IMAGE.INI", "KMVBIOS=KQ1\n");
    TestVolume tv;
    ASSERT_TRUE(tv.openAndMount(disk));
    for (std::uint32_t s = tv.volume.dataStart; s < tv.volume.dataStart + 64u; ++s) {
        tv.disk.failingSectors.insert(s);
    }
    EXPECT_EQ(scanTargetBiosList(tv.volume), std::nullopt);
}

}  // namespace
}  // namespace dorvix
