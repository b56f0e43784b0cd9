// The path classes with the desktop's rules, and the folder picker's start folder under
// those rules and under Linux's. A made-up file system stands behind both.

#include "support/FolderStart.h"
#include "support/PathSpec.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

namespace {

using namespace pellorin;

// A drive C: on which only the given directories exist (upper-case names, as the desktop
// compares them without regard to case), with C:\WORK as the current directory.
CPathSystem fakeDrive(std::set<std::string> directories, std::string current = "C:\\WORK") {
    return CPathSystem{[current] { return current; }, [directories](const std::string& path) {
                           std::string key = path;
                           for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                           return directories.count(key) > 0;
                       }};
}

TEST(COXDirSpec, SettersFollowTheDesktopRules) {
    struct Case {
        const char* call;  // "drive", "sub" or "dir"
        const char* text;
        BOOL accepted;
        const char* drive;  // afterwards (the object starts as D: \OLD)
        const char* subdirectory;
    };
    const Case cases[] = {
        {"dir", "c:\\Temp\\Sub", TRUE, "C:", "\\TEMP\\SUB"},
        {"dir", "c:", TRUE, "C:", ""},
        {"dir", "c:\\Temp\\", FALSE, "D:", "\\OLD"},
        {"dir", "\\\\server\\share", TRUE, "", "\\\\SERVER\\SHARE"},
        {"dir", "", TRUE, "D:", ""},
        {"dir", "7:\\x", FALSE, "D:", "\\OLD"},
        {"drive", "7:", FALSE, "D:", "\\OLD"},
        {"drive", "dX", TRUE, "D:", "\\OLD"},
        {"drive", "e", TRUE, "E:", "\\OLD"},
        {"drive", "", TRUE, "", "\\OLD"},
        {"sub", "\\a?b", FALSE, "D:", "\\OLD"},
        {"sub", "\\a*b", FALSE, "D:", "\\OLD"},
        {"sub", "\\a\x01", FALSE, "D:", "\\OLD"},
        {"sub", "\\", TRUE, "D:", "\\"},
        {"sub", "\\a\\", FALSE, "D:", "\\OLD"},
        {"sub", "\\dir with space\\x.y", TRUE, "D:", "\\DIR WITH SPACE\\X.Y"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " " + c.text);
        COXDirSpec dir;
        ASSERT_TRUE(dir.SetDirectory("d:\\old"));
        const std::string call = c.call;
        const BOOL result = call == "drive" ? dir.SetDrive(c.text) : call == "sub" ? dir.SetSubdirectory(c.text)
                                                                                    : dir.SetDirectory(c.text);
        EXPECT_EQ(result, c.accepted);
        EXPECT_EQ(dir.GetDrive(), c.drive);
        EXPECT_EQ(dir.GetSubdirectory(), c.subdirectory);
    }
}

TEST(COXFileSpec, NamesAreLowerCasedCheckedAndLimited) {
    struct Case {
        const char* call;  // "name", "base" or "ext", applied to "old.txt"
        std::string text;
        BOOL accepted;
        const char* name;
    };
    const Case cases[] = {
        {"name", "Junk.XXX", TRUE, "junk.xxx"},
        {"name", "a/b.txt", FALSE, "old.txt"},
        {"name", "a\\b.txt", FALSE, "old.txt"},
        {"name", "a:b", FALSE, "old.txt"},
        {"name", "what?.txt", TRUE, "what?.txt"},  // '?' is refused in directories only
        {"name", std::string(255, 'a'), TRUE, nullptr},
        {"name", std::string(256, 'a'), FALSE, "old.txt"},
        {"base", "New", TRUE, "new.txt"},
        {"base", "a|b", FALSE, "old.txt"},
        {"ext", "PDF", TRUE, "old.pdf"},
        {"ext", "", TRUE, "old"},
        {"ext", std::string(251, 'x'), TRUE, nullptr},
        {"ext", std::string(252, 'x'), FALSE, "old.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " " + c.text.substr(0, 20));
        COXFileSpec file("old.txt");
        const std::string call = c.call;
        const BOOL result = call == "name" ? file.SetFileName(c.text) : call == "base" ? file.SetBaseName(c.text)
                                                                                        : file.SetExtension(c.text);
        EXPECT_EQ(result, c.accepted);
        if (c.name) {
            EXPECT_EQ(file.GetFileName(), c.name);
        }
    }
    EXPECT_EQ(COXFileSpec("a<b").GetFileName(), "");  // a refused name leaves the name empty
}

TEST(COXPathSpec, JoinsAndSplitsPaths) {
    struct Case {
        const char* directory;
        const char* file;
        const char* path;
    };
    for (const Case& c : {Case{"C:\\", "x.y", "C:\\x.y"}, Case{"C:\\A", "x.y", "C:\\A\\x.y"}, Case{"", "x.y", "x.y"},
                          Case{"C:\\A", "", "C:\\A"}}) {
        COXPathSpec path;
        ASSERT_TRUE(path.SetDirectory(c.directory));
        ASSERT_TRUE(path.SetFileName(c.file));
        EXPECT_EQ(path.GetPath(), c.path);
    }
    COXPathSpec path;
    ASSERT_TRUE(path.SetPath("c:\\Data\\Sub\\Report.PDF"));
    EXPECT_EQ(path.GetDirectory(), "C:\\DATA\\SUB");
    EXPECT_EQ(path.GetFileName(), "report.pdf");
    EXPECT_EQ(path.GetPath(), "C:\\DATA\\SUB\\report.pdf");
    EXPECT_FALSE(path.SetPath("c:\\a?b\\x.y"));
    EXPECT_EQ(path.GetPath(), "C:\\DATA\\SUB\\report.pdf");
}

TEST(FullPath, CompletesPathsWithTheDesktopRules) {
    struct Case {
        const char* path;
        const char* full;
    };
    for (const Case& c : {Case{"x.y", "C:\\WORK\\x.y"}, Case{"..\\x.y", "C:\\x.y"}, Case{"\\A\\.\\B\\..\\x.y", "C:\\A\\x.y"},
                          Case{"D:x.y", "D:\\x.y"}, Case{"c:sub\\x.y", "c:\\WORK\\sub\\x.y"},
                          Case{"\\\\server\\share\\a\\..\\x.y", "\\\\server\\share\\x.y"}, Case{"C:\\..\\..", "C:\\"}}) {
        std::string full;
        ASSERT_TRUE(FullPath(c.path, "C:\\WORK", full)) << c.path;
        EXPECT_EQ(full, c.full) << c.path;
    }
    std::string full = "unchanged";
    EXPECT_FALSE(FullPath("C:\\" + std::string(300, 'a'), "C:\\WORK", full));
    EXPECT_EQ(full, "unchanged");
}

TEST(COXDirSpec, ReducesToTheLargestExistingPrefix) {
    struct Case {
        std::set<std::string> existing;
        const char* directory;
        const char* reduced;
    };
    const Case cases[] = {
        {{"C:\\A"}, "C:\\A\\B\\C", "C:\\A"},
        {{}, "C:\\A\\B\\C", "C:\\"},
        {{"C:\\A", "C:\\A\\B", "C:\\A\\B\\C"}, "c:\\a\\b\\c", "C:\\A\\B\\C"},
        {{"C:\\A\\B"}, "C:\\A\\B\\C", "C:\\"},  // the walk stops at the first missing prefix
        {{"C:\\WORK", "C:\\WORK\\SUB"}, "sub\\deeper", "C:\\WORK\\SUB"},  // relative: below the current one
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.directory);
        COXDirSpec dir;
        ASSERT_TRUE(dir.SetDirectory(c.directory));
        EXPECT_TRUE(dir.ReduceToLargestExisting(fakeDrive(c.existing)));
        EXPECT_EQ(dir.GetDirectory(), c.reduced);
    }
}

TEST(FolderPickerStart, DesktopRules) {
    const CPathSystem drive = fakeDrive({"C:\\WORK", "C:\\DATA", "C:\\USERS", "C:\\USERS\\ME", "C:\\USERS\\ME\\DESKTOP"});
    auto reachable = [](const std::string& path) { return path == "\\\\up\\share" || path == "\\\\half"; };
    struct Case {
        const char* text;
        const char* start;
    };
    for (const Case& c : {Case{"C:\\Users\\Me\\Desktop", "C:\\USERS\\ME\\DESKTOP"},
                          Case{"C:\\Data\\Missing\\Deeper", "C:\\DATA"}, Case{"C:\\Da?ta", "C:\\WORK"},
                          Case{"", "C:\\WORK"}, Case{"\\\\up\\share", "\\\\up\\share"},
                          Case{"\\\\half\\share", "\\\\half"}, Case{"\\\\down\\share", "\\"}}) {
        // Unreached, a network path walks its prefixes like any other and ends at the root.
        EXPECT_EQ(ResolveStartFolderWindows(c.text, drive, reachable), c.start) << c.text;
    }
}

TEST(FolderPickerStart, LinuxPrefixWalkKeepsTheSpelling) {
    const std::set<std::string> directories{"/", "/home", "/home/Me", "/home/Me/Desktop", "/srv", "/work"};
    auto isDirectory = [&](const std::string& path) { return directories.count(path) > 0; };
    struct Case {
        const char* text;
        const char* start;
    };
    for (const Case& c : {Case{"/home/Me/Desktop", "/home/Me/Desktop"}, Case{"/home/Me/Desktop/", "/home/Me/Desktop"},
                          Case{"/home/Me/Missing/Deeper", "/home/Me"}, Case{"/home/me/Desktop", "/home"},
                          Case{"/nowhere/at/all", "/"}, Case{"", "/work"}, Case{"bad\x01name", "/work"},
                          Case{"Missing", "/work"}, Case{"//srv/share", "/srv"}, Case{"\\\\srv\\share", "/srv"},
                          Case{"/home/Me/Desk\\top", "/home/Me"}}) {
        EXPECT_EQ(ResolveStartFolder(c.text, "/work", isDirectory), c.start) << c.text;
    }
}

TEST(FolderPickerStart, LinuxOnTheRealFileSystem) {
    testsupport::TempDir temp;
    std::filesystem::create_directories(temp / "Data");
    EXPECT_EQ(ResolveStartFolder((temp / "Data" / "Missing" / "Deeper").string()), (temp / "Data").string());
    EXPECT_EQ(ResolveStartFolder((temp / "Data").string()), (temp / "Data").string());
}

// Only a current directory that cannot be read makes SetToCurrentDirectory fail; a part its
// setters refuse is left as it was.
TEST(COXDirSpec, SetToCurrentDirectoryFailsOnlyWhenTheDirectoryCannotBeRead) {
    struct Case {
        const char* current;
        BOOL result;
        const char* directory;
    };
    const Case cases[] = {
        {"C:\\WORK\\TOOLS", TRUE, "C:\\WORK\\TOOLS"},
        {"D:\\BAD|NAME", TRUE, "D:\\OLD"},  // '|' is refused in a directory
        {"", FALSE, "E:\\OLD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.current);
        COXDirSpec spec;
        ASSERT_TRUE(spec.SetDirectory("E:\\OLD"));
        CPathSystem system;
        system.currentDirectory = [&c] { return std::string(c.current); };
        EXPECT_EQ(spec.SetToCurrentDirectory(system), c.result);
        EXPECT_EQ(spec.GetDirectory(), c.directory);
    }
}

}  // namespace
