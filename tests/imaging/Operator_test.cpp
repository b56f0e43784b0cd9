#include "platform/Operator.h"

#include "DorvixTestSupport.h"

#include <gtest/gtest.h>

using dorvix::MessageBoxButtons;
using dorvix::MessageBoxResult;
using dorvixtest::ConsoleCapture;
using dorvixtest::FakeWindow;
using dorvixtest::ScopedFlags;

namespace {

const std::string kConfirmText =
    "This utility will FORMAT your flash disk and ERASE ALL DATA currently on the\r\ndisk. It will then RESTORE the "
    "operating system to the state captured in the\r\nKeldan image file (*.KMV).\r\n\r\nAre you sure you want to do "
    "this?.\r\n\r\n";
const std::string kPrompt = "Type NO to exit, or YES to continue: ";

TEST(ConfirmRestoreOnConsole, AnswersAndRepeatedPrompts) {
    struct Case {
        std::string input;
        bool result;
        int prompts;
    };
    const Case cases[] = {
        {"YES\n", true, 1},
        {"yes\n", true, 1},
        {"No\n", false, 1},
        {"y\nyes\n", true, 2},
        {"\nmaybe\nNO\n", false, 3},
        {" yes\nyes\n", true, 2},                       // a blank before the word is another answer
        {"yes", false, 2},                              // last line without its end, then end of input
        {"", false, 1},                                 // end of input: no, never a loop
        {"abcdefghijklmnopq\nyes\n", true, 3},          // 15 characters, then the rest, then yes
        {"y\ny\ny\n", false, 4},
    };
    for (const Case& c : cases) {
        ScopedFlags flags({});
        ConsoleCapture console(c.input);
        EXPECT_EQ(dorvix::confirmRestore(nullptr), c.result) << c.input;
        std::string expected = kConfirmText;
        for (int i = 0; i < c.prompts; ++i) {
            expected += kPrompt;
        }
        EXPECT_EQ(console.output(), expected) << c.input;
    }
}

TEST(ConfirmRestoreWindowed, MessageBoxDecides) {
    for (const auto answer : {MessageBoxResult::Ok, MessageBoxResult::Cancel}) {
        ScopedFlags flags({.windowed = true});
        FakeWindow window;
        window.answer = answer;
        ConsoleCapture console;
        EXPECT_EQ(dorvix::confirmRestore(&window), answer == MessageBoxResult::Ok);
        ASSERT_EQ(window.boxes.size(), 1u);
        EXPECT_EQ(window.boxes[0].title, "QZ Keldan Imaging Tool, Version 3.03.000");
        EXPECT_EQ(window.boxes[0].buttons, MessageBoxButtons::OkCancel);
        EXPECT_EQ(window.boxes[0].text.substr(0, 9), "WARNING! ");
        EXPECT_EQ(window.boxes[0].icon, dorvix::MessageBoxIcon::Question);
        EXPECT_EQ(console.output(), "");
    }
}

TEST(ConfirmRestoreWindowed, NamedWindowWithoutWindowedFlagAsksOnConsole) {
    ScopedFlags flags({});
    FakeWindow window;
    ConsoleCapture console("yes\n");
    EXPECT_TRUE(dorvix::confirmRestore(&window));
    EXPECT_TRUE(window.boxes.empty());
}

TEST(AnnounceReboot, AlwaysTrue) {
    {
        ScopedFlags flags({});
        ConsoleCapture console("\n");
        EXPECT_TRUE(dorvix::announceReboot(nullptr));
        EXPECT_EQ(console.output(), "The system will now be rebooted.\r\n\r\nPress <enter> to continue...");
    }
    {
        ScopedFlags flags({});
        ConsoleCapture console("");  // end of input: nothing to wait for
        EXPECT_TRUE(dorvix::announceReboot(nullptr));
    }
    {
        ScopedFlags flags({.windowed = true});
        FakeWindow window;
        window.answer = MessageBoxResult::Cancel;
        EXPECT_TRUE(dorvix::announceReboot(&window));
        ASSERT_EQ(window.boxes.size(), 1u);
        EXPECT_EQ(window.boxes[0].title, "QZ Tarvex Thin Client Imaging Tool, Version 3.03.000");
        EXPECT_EQ(window.boxes[0].text, "The system will now be rebooted.\r\n\r\nPress OK to continue...");
        EXPECT_EQ(window.boxes[0].icon, dorvix::MessageBoxIcon::Information);
    }
}

TEST(StatusAndErrors, ErrorBoxIconFollowsTheTextsOwnMark) {
    using dorvix::MessageBoxIcon;
    const struct {
        const char* text;
        MessageBoxIcon icon;
    } cases[] = {
        {"***ERROR*** The system is not supported by the image!\n", MessageBoxIcon::Error},
        {"ERROR: The image file does not exist.", MessageBoxIcon::Error},
        {"\r\n***ERROR*** Failed to write sector!", MessageBoxIcon::Error},  // leading line ends
        {"WARNING: Header signature not present, assuming NOHEADER!", MessageBoxIcon::Warning},
        {"BIOS = (KQ3A3), ih.targetBIOS = KQ3A3,KQ3A0\n", MessageBoxIcon::Information},
        {"", MessageBoxIcon::Information},
    };
    for (const auto& c : cases) {
        FakeWindow window;
        dorvix::showError(&window, "%s", c.text);
        ASSERT_EQ(window.boxes.size(), 1u);
        EXPECT_EQ(window.boxes[0].icon, c.icon) << c.text;
    }
}

TEST(StatusAndErrors, ConsoleGetsTextAsItStands) {
    ConsoleCapture console;
    dorvix::showStatus(nullptr, "Copying %d of %s", 3, "FLASH.IMG");
    dorvix::showProgress(nullptr, 42);
    dorvix::showProgress(nullptr, 100);
    dorvix::showError(nullptr, "***ERROR*** Failed to open image file (%s) for read!\n", "x.img");
    dorvix::showHeading(nullptr, "ignored without a window");
    dorvix::closeProgress(nullptr);
    EXPECT_EQ(console.output(),
              "Copying 3 of FLASH.IMG\r42% completed.\r100% completed."
              "***ERROR*** Failed to open image file (x.img) for read!\n");
}

TEST(StatusAndErrors, WindowGetsMessagesAndBoxes) {
    FakeWindow window;
    ConsoleCapture console;
    dorvix::showStatus(&window, "Sizing %s", "volume");
    dorvix::showProgress(&window, 7);
    dorvix::showHeading(&window, "Copying volume to KMV file, one moment please...");
    dorvix::showError(&window, "ERROR: %s", "bad");
    dorvix::closeProgress(&window);
    EXPECT_EQ(console.output(), "");
    ASSERT_EQ(window.messages.size(), 4u);
    EXPECT_EQ(window.messages[0].message, 0x465u);
    EXPECT_EQ(window.messages[0].text, "Sizing volume");
    EXPECT_EQ(window.messages[1].message, 0x464u);
    EXPECT_EQ(window.messages[1].wParam, 7u);
    EXPECT_EQ(window.messages[2].message, 0x466u);
    EXPECT_EQ(window.messages[3].message, 0x46Eu);
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, "ERROR: bad");
    EXPECT_EQ(window.boxes[0].title, "QZ Tarvex Thin Client Imaging Tool, Version 3.03.000");
    EXPECT_EQ(window.boxes[0].buttons, MessageBoxButtons::Ok);
}

TEST(StatusAndErrors, WindowTextsAreCutTo511CharactersButConsoleIsNot) {
    const std::string longText(700, 'L');
    FakeWindow window;
    ConsoleCapture console;
    dorvix::showStatus(&window, "%s", longText.c_str());
    dorvix::showError(&window, "%s", longText.c_str());
    dorvix::showStatus(nullptr, "%s", longText.c_str());
    EXPECT_EQ(window.messages.at(0).text, std::string(511, 'L'));
    EXPECT_EQ(window.boxes.at(0).text, std::string(511, 'L'));
    EXPECT_EQ(console.output(), longText);
}

TEST(StatusAndErrors, WindowTextsAreCutAtWholeUtf8Characters) {
    const std::string euro = "\xE2\x82\xAC";  // three bytes, one character
    const auto euros = [&](int n) {
        std::string t;
        for (int i = 0; i < n; ++i) t += euro;
        return t;
    };
    struct Case {
        const char* name;
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"short text stays", "abc" + euro, "abc" + euro},
        {"511 characters stay", std::string(510, 'a') + euro, std::string(510, 'a') + euro},
        {"multi-byte character cut whole", std::string(511, 'a') + euro, std::string(511, 'a')},
        {"cut counts characters, not bytes", euros(600), euros(511)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dorvix::cutWindowText(c.text), c.expected) << c.name;
        FakeWindow window;
        dorvix::showStatus(&window, "%s", c.text.c_str());
        EXPECT_EQ(window.messages.at(0).text, c.expected) << c.name;
    }
}

}  // namespace
