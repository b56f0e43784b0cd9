// The terminal face of the ISO job: the progress line, message texts, the replace answer, and
// Ctrl-C served as the confirmed Cancel.

#include "app/TerminalView.h"

#include "fat16/Trace.h"
#include "jobs/StringTable.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <sstream>
#include <string>

namespace {

using namespace pellorin;

TEST(RenderProgressLine, FillsTheBarByPercentage) {
    const struct {
        int percent;
        const char* line;
    } cases[] = {
        {0, "[          ]   0% s"},   {45, "[####      ]  45% s"}, {99, "[######### ]  99% s"},
        {100, "[##########] 100% s"}, {-3, "[          ]   0% s"}, {250, "[##########] 100% s"},
    };
    for (const auto& c : cases) EXPECT_EQ(RenderProgressLine(c.percent, "s", 10), c.line) << c.percent;
}

TEST(TerminalText, LineBreaksOfTheTableBecomeNewlines) {
    EXPECT_EQ(TerminalText("a\r\n\r\nb\r"), "a\n\nb\r");
    EXPECT_EQ(TerminalText(LoadStringText(IDS_CONFIRM_CANCEL_ISO)),
              "Creation of the ISO image file is not yet complete.  Are you\nsure you want to cancel the operation?");
}

TEST(ReadYesAnswer, OnlyAYesReplaces) {
    const struct {
        const char* input;
        bool yes;
    } cases[] = {{"y\n", true},   {"YES\n", true}, {" Yes \n", true}, {"yes", true},
                 {"n\n", false},  {"no\n", false}, {"\n", false},     {"", false},
                 {"yess\n", false}, {"maybe yes\n", false}};
    for (const auto& c : cases) {
        std::istringstream in(c.input);
        EXPECT_EQ(ReadYesAnswer(in), c.yes) << '"' << c.input << '"';
    }
}

struct CapturedStream {
    std::FILE* file = std::tmpfile();
    ~CapturedStream() { std::fclose(file); }
    std::string text() {
        std::fflush(file);
        std::rewind(file);
        std::string s;
        for (int c; (c = std::fgetc(file)) != EOF;) s.push_back(static_cast<char>(c));
        return s;
    }
};

TEST(TerminalIsoView, WithoutATerminalStatusesAreLoggedOncePerTenth) {
    CapturedStream err;
    CTerminalIsoView view(err.file, false);
    view.SetStatusText(LoadStringText(IDS_CALCULATING_HEADER));
    view.SetProgressRange(0, 100);
    for (int p : {0, 0, 1, 9, 10, 19, 50, 50, 55, 99, 100}) {
        view.SetProgressPos(p);
        view.SetStatusText(FormatPercentText(static_cast<unsigned>(p)));
        view.PumpOneMessage();
    }
    // A new phase at the same position is a line of its own, even within the tenth.
    view.SetStatusText(usbtext::kVerifying);
    view.PumpOneMessage();
    view.Finish();
    EXPECT_EQ(err.text(), "Calculating header information...\nFormatting: 0%.\nFormatting: 10%.\n"
                          "Formatting: 50%.\nFormatting: 99%.\nFormatting: 100%.\nVerifying...\n");
}

// The deployment's steps: each starts its bar again at 0, and each step's status has its line
// even when it falls in the tenth of the previous line, or the step is drawn only at the end.
TEST(TerminalIsoView, WithoutATerminalEveryStepsStatusHasItsLine) {
    CapturedStream err;
    CTerminalIsoView view(err.file, false);
    view.SetProgressRange(0, 100);
    view.SetStatusText(LoadStringText(IDS_EXTRACTING_IMAGE));
    view.SetProgressPos(0);
    view.SetProgressPos(1);
    view.PumpOneMessage();
    view.SetProgressPos(100);
    view.PumpOneMessage();
    view.SetStatusText(LoadStringText(IDS_EXTRACTING_DOCS));  // an empty file: no pump
    view.SetProgressPos(0);
    view.Finish();
    EXPECT_EQ(err.text(), "Extracting the flash image.\nExtracting the restore documentation.\n");
}

// Past the commit an interrupt is too late: it is not taken as a cancel.
TEST(TerminalIsoView, AnInterruptAfterTheCommitIsIgnored) {
    CapturedStream err;
    CTerminalIsoView view(err.file, false);
    CInterruptGuard guard;
    g_bIsoBusy = true;
    view.BeginCommit();
    CInterruptGuard::RaiseInterrupt();
    view.PumpOneMessage();
    EXPECT_TRUE(g_bIsoBusy);
    EXPECT_EQ(err.text(), "");
    g_bIsoBusy = false;
}

TEST(TerminalIsoView, OnATerminalTheBarIsRedrawnInPlace) {
    CapturedStream err;
    CTerminalIsoView view(err.file, true);
    view.SetStatusText("Calculating header information...");
    view.SetProgressRange(0, 100);
    view.SetProgressPos(0);
    view.SetStatusText("Formatting: 0%.");
    view.PumpOneMessage();
    view.SetProgressPos(40);
    view.SetStatusText("Formatting: 40%.");
    view.PumpOneMessage();
    view.Finish();
    const std::string text = err.text();
    const std::string first = "Calculating header information...\n";
    ASSERT_EQ(text.substr(0, first.size()), first) << "a status before the bar is a line of its own";
    const std::string bar = text.substr(first.size());
    EXPECT_EQ(bar.front(), '\r');
    EXPECT_EQ(bar.back(), '\n');
    EXPECT_NE(bar.find("\r" + RenderProgressLine(40, "Formatting: 40%.", 30)), std::string::npos);
    EXPECT_EQ(bar, "\r" + RenderProgressLine(0, "Formatting: 0%.", 30) + "\r" +
                       RenderProgressLine(40, "Formatting: 40%.", 30) + "\n")
        << "one line, redrawn once per step";
}

// Trace lines share the terminal with the bar: one never runs on from the other, and a trace
// line left open (the re-enumeration's) is ended before what follows.
TEST(TerminalIsoView, TraceLinesAndTheBarEachKeepTheirOwnLines) {
    CapturedStream captured;
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);
    ::dup2(::fileno(captured.file), STDERR_FILENO);
    {
        CTerminalIsoView view(stderr, true);
        view.SetProgressRange(0, 100);
        view.SetProgressPos(100);
        view.SetStatusText("Formatting: 100%.");
        view.PumpOneMessage();
        DebugPrint(1, "***ERROR*** Could not re-enum [/dev/sdb]!\n");
        DebugPrint(1, "Removing 6:0:0:0...");
        DebugPrint(1, "\t...successfully done!");
        EXPECT_TRUE(TraceLineOpen());
        view.Finish();
        EXPECT_FALSE(TraceLineOpen());
        std::fputs("The USB flash device has been formatted successfully.\n", stderr);
    }
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    EXPECT_EQ(captured.text(), "\r" + RenderProgressLine(100, "Formatting: 100%.", 30) +
                                   "\n***ERROR*** Could not re-enum [/dev/sdb]!\n"
                                   "Removing 6:0:0:0...\t...successfully done!\n"
                                   "The USB flash device has been formatted successfully.\n");
}

TEST(TerminalIsoView, AnInterruptIsServedAsAConfirmedCancel) {
    CapturedStream err;
    CTerminalIsoView view(err.file, false);
    CInterruptGuard guard;

    g_bIsoBusy = true;
    view.PumpOneMessage();
    EXPECT_TRUE(g_bIsoBusy) << "nothing pending";

    CInterruptGuard::RaiseInterrupt();
    view.PumpOneMessage();
    EXPECT_FALSE(g_bIsoBusy);
    EXPECT_EQ(err.text(), "Cancelled.\n");

    // A real Ctrl-C, a hang-up, a termination or a closed output pipe only marks the interrupt
    // while the guard lives; a file-size limit does not kill the process either.
    for (int signal : {SIGINT, SIGHUP, SIGTERM, SIGPIPE}) {
        SCOPED_TRACE(signal);
        std::raise(signal);
        EXPECT_TRUE(CInterruptGuard::TakeInterrupt());
        EXPECT_FALSE(CInterruptGuard::TakeInterrupt()) << "taken once";
    }
    std::raise(SIGXFSZ);
    EXPECT_FALSE(CInterruptGuard::TakeInterrupt());
}

TEST(TerminalIsoView, MissingPayloadFilesAreNamedOnTheirOwnLine) {
    CapturedStream err;
    CTerminalIsoView view(err.file, false);
    view.ShowMissingPayload("/payload/RECOVERY.PDF");
    EXPECT_EQ(err.text(), std::string(kAppName) + ": warning: not found, the medium is built without /payload/RECOVERY.PDF\n");
}

}  // namespace
