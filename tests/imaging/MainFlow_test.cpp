#include "front/MainFlow.h"

#include "DorvixTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using dorvix::MainFlowServices;
using dorvix::ProgressWindow;
using dorvixtest::ConsoleCapture;
using dorvixtest::FakeWindow;
using dorvixtest::ScopedFlags;

namespace {

const std::string kBanner = "QZ Keldan Imaging Tool, Version 3.03.000\n";

// Services that record every call as one word of a log, with a scripted engine result.
struct Recorder {
    std::vector<std::string> calls;
    int engineResult = 0;
    bool imageExists = true;
    FakeWindow dialog;
    FakeWindow named;
    bool dialogAvailable = true;
    bool resetPossible = true;
    bool resetWorks = true;
    std::optional<std::string> biosList = std::string("KQ9Z9");
    std::optional<dorvix::FailedRead> biosListFailure;

    MainFlowServices services() {
        MainFlowServices s;
        s.preventSuspend = [this] { calls.push_back("prevent"); return 1; };
        s.allowSuspend = [this] { calls.push_back("allow"); return 1; };
        s.imageExists = [this](const std::string& path) {
            calls.push_back("exists " + path);
            return imageExists;
        };
        s.startProgressDialog = [this]() -> ProgressWindow {
            calls.push_back("dialog");
            return dialogAvailable ? &dialog : nullptr;
        };
        s.attachProgressWindow = [this](std::int64_t id) -> ProgressWindow {
            calls.push_back("attach " + std::to_string(id));
            return &named;
        };
        s.dumpDevices = [this] { calls.push_back("dump"); };
        s.preResetCall = [this] { calls.push_back("pre-reset"); };
        s.resetPossible = [this] { return resetPossible; };
        s.requestReset = [this] {
            calls.push_back("reset");
            return resetWorks;
        };
        s.restoreFatImage = [this](ProgressWindow w, const std::string& path, std::uint8_t dev,
                                   const std::optional<std::string>& mbr, const std::optional<std::string>& pbr) {
            calls.push_back("restore " + windowName(w) + " " + path + " " + std::to_string(dev) + " " +
                            mbr.value_or("-") + " " + pbr.value_or("-"));
            return engineResult;
        };
        s.captureFatImage = [this](ProgressWindow w, std::uint8_t dev, const std::optional<std::string>& list,
                                   const std::string& path) {
            calls.push_back("imgcopy " + windowName(w) + " " + std::to_string(dev) + " " + list.value_or("-") + " " +
                            path);
            return engineResult;
        };
        s.writeFlatImage = [this](ProgressWindow w, const std::string& path, std::uint8_t dev) {
            calls.push_back("writeflat " + windowName(w) + " " + path + " " + std::to_string(dev));
            return engineResult;
        };
        s.captureFlatImage = [this](ProgressWindow w, std::uint8_t dev, const std::string& path) {
            calls.push_back("flatcopy " + windowName(w) + " " + std::to_string(dev) + " " + path);
            return engineResult;
        };
        s.readTargetBiosList = [this](std::uint8_t dev, std::optional<dorvix::FailedRead>& failed) {
            calls.push_back("bioslist " + std::to_string(dev));
            failed = biosListFailure;
            return biosList;
        };
        return s;
    }

    std::string windowName(ProgressWindow w) const {
        return w == &dialog ? "dialog" : w == &named ? "named" : w == nullptr ? "console" : "?";
    }
};

struct FlowCase {
    const char* name;
    std::string commandLine;
    std::string input;  // the operator's answers on standard input
    int engineResult;
    bool imageExists;
    int exitCode;
    std::vector<std::string> calls;
};

void PrintTo(const FlowCase& c, std::ostream* os) { *os << c.name; }

class MainFlow : public ::testing::TestWithParam<FlowCase> {};

TEST_P(MainFlow, RunsTheStepsInOrder) {
    const FlowCase& c = GetParam();
    ScopedFlags keep({});
    Recorder recorder;
    recorder.engineResult = c.engineResult;
    recorder.imageExists = c.imageExists;
    ConsoleCapture console(c.input);
    EXPECT_EQ(dorvix::runMainFlow(c.commandLine, recorder.services()), c.exitCode);
    EXPECT_EQ(recorder.calls, c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, MainFlow,
    ::testing::Values(
        FlowCase{"DefaultRestoreConfirmedAndRebooted", "", "yes\n\n", 0, true, 0,
                 {"exists FLASH.IMG", "prevent", "restore console FLASH.IMG 1 - -", "allow", "pre-reset", "reset"}},
        FlowCase{"DeclinedConfirmationRunsNothing", "", "no\n", 0, true, 1, {"exists FLASH.IMG"}},
        FlowCase{"EndOfInputDuringConfirmationIsNo", "", "", 0, true, 1, {"exists FLASH.IMG"}},
        FlowCase{"MissingImageRunsNothing", "-y gone.img", "", 0, false, 1, {"exists gone.img"}},
        FlowCase{"FailedEngineNeverResets", "-y", "", -1, true, -1,
                 {"exists FLASH.IMG", "prevent", "restore console FLASH.IMG 1 - -", "allow"}},
        FlowCase{"NoRestartAfterSuccess", "-y -norestart", "", 0, true, 0,
                 {"exists FLASH.IMG", "prevent", "restore console FLASH.IMG 1 - -", "allow"}},
        FlowCase{"UnknownImgwriteIsRestore", "-imgwrite -y -td:2 -icmbr:m.bin -icpbr:p.bin", "", 0, true, 0,
                 {"exists FLASH.IMG", "prevent", "restore console FLASH.IMG 2 m.bin p.bin", "allow", "pre-reset",
                  "reset"}},
        FlowCase{"WriteFlatChecksAndAsks", "-writeflat flat.img", "YES\n\n", 4, true, 4,
                 {"exists flat.img", "prevent", "writeflat console flat.img 1", "allow"}},
        FlowCase{"FlatCaptureNeedsNoImageNorConfirmation", "-flatcopy /TARGETDEV:3 out.kmv", "\n", 0, false, 0,
                 {"prevent", "flatcopy console 3 out.kmv", "allow", "pre-reset", "reset"}},
        FlowCase{"FatCaptureReadsTheBiosListFirst", "-imgcopy -nor -td:0 out.kmv", "", 0, false, 0,
                 {"prevent", "bioslist 0", "imgcopy console 0 KQ9Z9 out.kmv", "allow"}},
        FlowCase{"CaptureFailureResult", "-flatcopy", "", 5, false, 5, {"prevent", "flatcopy console 1 FLASH.IMG", "allow"}},
        FlowCase{"DeviceDumpEndsParsing", "-td:3 -devdump -flatcopy", "", 0, true, 0, {"dump"}},
        FlowCase{"UsageEndsParsing", "-? -devdump", "", 0, true, 0, {}},
        FlowCase{"TooLongArgumentRunsNothing", "-y " + std::string(100, 'p'), "", 0, true, 1, {}}),
    [](const ::testing::TestParamInfo<FlowCase>& param) { return std::string(param.param.name); });

// A source whose BIOS list could not be read is not captured with the default list in its place.
TEST(MainFlowConsole, UnreadableBiosListEndsTheFatCaptureBeforeItStarts) {
    ScopedFlags keep({});
    Recorder recorder;
    recorder.biosListFailure = dorvix::FailedRead{33, 1};
    ConsoleCapture console;
    EXPECT_EQ(dorvix::runMainFlow("-imgcopy -nor -td:2 out.kmv", recorder.services()), -1);
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"prevent", "bioslist 2", "allow"}));
    EXPECT_NE(console.output().find("***ERROR*** Couldn't mount source volume..."), std::string::npos)
        << console.output();
}

TEST(MainFlowConsole, BannerConfirmationAndRebootTexts) {
    ScopedFlags keep({});
    Recorder recorder;
    ConsoleCapture console("yes\n\n");
    ASSERT_EQ(dorvix::runMainFlow("", recorder.services()), 0);
    const std::string out = console.output();
    EXPECT_EQ(out.substr(0, kBanner.size()), kBanner);
    EXPECT_NE(out.find("Type NO to exit, or YES to continue: "), std::string::npos);
    EXPECT_TRUE(out.ends_with("Press <enter> to continue...")) << out;
}

// The reboot is announced only when a reset will follow; otherwise, and when the reset request
// fails, the operator is told to restart the device by hand, on the console or in a box.
TEST(MainFlowReset, AnnouncedOnlyWhenItFollows) {
    const std::string byHand = "The device must now be restarted by hand.";
    const std::string failed = "The restart failed; the device must now be restarted by hand.";
    const struct {
        const char* name;
        std::string commandLine;
        bool possible;
        bool works;
        std::vector<std::string> resetCalls;  // after the engine
        std::string consoleTail;              // what the console ends with
        std::string boxText;                  // the box in windowed mode, if any
    } cases[] = {
        {"console, reset follows", "", true, true, {"pre-reset", "reset"}, "Press <enter> to continue...", ""},
        {"console, no reset", "", false, true, {}, "\n" + byHand + "\n", ""},
        {"console, reset fails", "", true, false, {"pre-reset", "reset"}, "\n" + failed + "\n", ""},
        {"-norestart: nothing said", "-nor", false, true, {}, "Type NO to exit, or YES to continue: ", ""},
        {"windowed, no reset", "-w", false, true, {}, "", byHand},
        {"windowed, reset fails", "-w", true, false, {"pre-reset", "reset"}, "", failed},
        {"windowed with -y, no reset: console only", "-w -y", false, true, {}, "\n" + byHand + "\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedFlags keep({});
        Recorder recorder;
        recorder.resetPossible = c.possible;
        recorder.resetWorks = c.works;
        ConsoleCapture console("yes\n\n");
        ASSERT_EQ(dorvix::runMainFlow(c.commandLine, recorder.services()), 0);
        const auto allow = std::find(recorder.calls.begin(), recorder.calls.end(), "allow");
        ASSERT_NE(allow, recorder.calls.end());
        EXPECT_EQ(std::vector<std::string>(allow + 1, recorder.calls.end()), c.resetCalls);
        const std::string out = console.output();
        EXPECT_TRUE(out.ends_with(c.consoleTail)) << out;
        if (!c.possible) {
            EXPECT_EQ(out.find("rebooted"), std::string::npos);
        }
        std::vector<std::string> boxTexts;
        for (const auto& box : recorder.dialog.boxes) {
            if (box.title != "QZ Keldan Imaging Tool, Version 3.03.000") boxTexts.push_back(box.text);
        }
        if (c.boxText.empty()) {
            EXPECT_TRUE(boxTexts.empty() || c.possible);
        } else {
            ASSERT_FALSE(boxTexts.empty());
            EXPECT_EQ(boxTexts.back(), c.boxText);
            EXPECT_EQ(recorder.dialog.boxes.back().icon, dorvix::MessageBoxIcon::Information);
            EXPECT_EQ(recorder.dialog.boxes.back().buttons, dorvix::MessageBoxButtons::Ok);
        }
    }
}

TEST(MainFlowConsole, UsageAndDeviceDumpPrintNoBanner) {
    for (const char* line : {"-h", "-dd"}) {
        ScopedFlags keep({});
        Recorder recorder;
        ConsoleCapture console;
        ASSERT_EQ(dorvix::runMainFlow(line, recorder.services()), 0);
        EXPECT_EQ(console.output().find("QZ Keldan"), std::string::npos) << line;
    }
}

TEST(MainFlowConsole, MissingImageAndLongArgumentSayWhy) {
    {
        ScopedFlags keep({});
        Recorder recorder;
        recorder.imageExists = false;
        ConsoleCapture console;
        dorvix::runMainFlow("-y", recorder.services());
        const std::string out = console.output();
        EXPECT_TRUE(out.ends_with("ERROR: The image file does not exist.")) << out;
    }
    {
        ScopedFlags keep({});
        Recorder recorder;
        ConsoleCapture console;
        dorvix::runMainFlow(std::string(120, 'a'), recorder.services());
        EXPECT_NE(console.output().find("ERROR: Argument longer than 99 characters"), std::string::npos);
    }
}

TEST(MainFlowWindowed, YesAndWindowedResetWithoutQuestions) {
    ScopedFlags keep({});
    Recorder recorder;
    ConsoleCapture console;
    ASSERT_EQ(dorvix::runMainFlow("-y -w", recorder.services()), 0);
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"dialog", "exists FLASH.IMG", "prevent",
                                                         "restore dialog FLASH.IMG 1 - -", "allow", "pre-reset",
                                                         "reset"}));
    EXPECT_TRUE(recorder.dialog.boxes.empty());
    ASSERT_EQ(recorder.dialog.messages.size(), 1u);
    EXPECT_EQ(recorder.dialog.messages[0].message, dorvix::UM_CLOSEPROGRESS);
    EXPECT_EQ(console.output(), "");  // no banner in windowed mode
}

TEST(MainFlowWindowed, CancelledConfirmationClosesTheDialog) {
    ScopedFlags keep({});
    Recorder recorder;
    recorder.dialog.answer = dorvix::MessageBoxResult::Cancel;
    ConsoleCapture console;
    EXPECT_EQ(dorvix::runMainFlow("-w", recorder.services()), 1);
    ASSERT_EQ(recorder.dialog.boxes.size(), 1u);
    ASSERT_EQ(recorder.dialog.messages.size(), 1u);
    EXPECT_EQ(recorder.dialog.messages[0].message, dorvix::UM_CLOSEPROGRESS);
}

TEST(MainFlowWindowed, MissingImageIsShownInTheWindowAndClosesIt) {
    ScopedFlags keep({});
    Recorder recorder;
    recorder.imageExists = false;
    ConsoleCapture console;
    EXPECT_EQ(dorvix::runMainFlow("-w -y \"/media/usb stick/FLASH.IMG\"", recorder.services()), 1);
    ASSERT_EQ(recorder.dialog.boxes.size(), 1u);
    EXPECT_EQ(recorder.dialog.boxes[0].text, "ERROR: The image file does not exist.\r\n\r\n/media/usb stick/FLASH.IMG");
    EXPECT_EQ(recorder.dialog.boxes[0].icon, dorvix::MessageBoxIcon::Error);
    EXPECT_EQ(recorder.dialog.messages.back().message, dorvix::UM_CLOSEPROGRESS);
}

TEST(MainFlowWindowed, DialogThatCannotBeCreatedFallsBackToTheConsole) {
    ScopedFlags keep({});
    Recorder recorder;
    recorder.dialogAvailable = false;
    ConsoleCapture console("yes\n\n");
    EXPECT_EQ(dorvix::runMainFlow("-w", recorder.services()), 0);
    const std::string out = console.output();
    EXPECT_EQ(out.substr(0, kBanner.size()), kBanner);
    EXPECT_NE(out.find("Type NO to exit"), std::string::npos);
    EXPECT_EQ(recorder.calls.back(), "reset");
}

TEST(MainFlowNamedWindow, StatusGoesToTheWindowQuestionsStayOnConsole) {
    ScopedFlags keep({});
    Recorder recorder;
    ConsoleCapture console("yes\n\n");
    EXPECT_EQ(dorvix::runMainFlow("-pm:77 -td:2", recorder.services()), 0);
    EXPECT_EQ(recorder.calls.front(), "attach 77");
    EXPECT_EQ(recorder.calls.at(3), "restore named FLASH.IMG 2 - -");
    EXPECT_TRUE(recorder.named.boxes.empty());
    EXPECT_EQ(recorder.named.messages.back().message, dorvix::UM_CLOSEPROGRESS);
    const std::string out = console.output();
    EXPECT_EQ(out.find("QZ Keldan"), std::string::npos);  // no banner with a named window
    EXPECT_NE(out.find("Type NO to exit"), std::string::npos);
}

TEST(MainFlowFlags, ProcessWideSwitchesAreSetForTheEngines) {
    ScopedFlags keep({});
    Recorder recorder;
    ConsoleCapture console;
    dorvix::ProcessFlags seen;
    auto services = recorder.services();
    services.captureFlatImage = [&](ProgressWindow, std::uint8_t, const std::string&) {
        seen = dorvix::processFlags();
        return 0;
    };
    dorvix::runMainFlow("-flatcopy -d -xb -nor", services);
    EXPECT_TRUE(seen.debug);
    EXPECT_TRUE(seen.skipBiosCheck);
    EXPECT_FALSE(seen.windowed);
}

}  // namespace
