// The progress lines of the elevated child, as the dialog reads them: any line the child (or
// whatever pkexec started) prints gives a percentage or none, and never an exception. And the
// elevated job itself, run through /bin/sh on a script that plays the child: its progress, its
// messages and its exit code become the job's result.

#include "app/ElevatedFormat.h"

#include "TestSupport.h"
#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace pellorin;

TEST(ElevatedFormat, ReadsPercentagesAndNothingElse) {
    const struct {
        std::string line;
        int percent;
    } cases[] = {
        {"Formatting: 40%.", 40},
        {"Formatting: 0%.", 0},
        {"Formatting: 100%.", 100},
        {"[#####     ]  17% Formatting: 17%.", 17},
        {"Formatting: 101%.", -1},
        {"Formatting: 99999999999999999999999999999999999999%.", -1},  // would overflow an int
        {std::string(100000, '9') + "%", -1},
        {"%", -1},
        {"no percent here", -1},
        {"50 %", -1},
        {"", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 60));
        EXPECT_NO_THROW(EXPECT_EQ(PercentOfLine(c.line), c.percent));
    }
}

class ChildView : public CIsoJobView {
public:
    std::vector<int> positions;
    std::vector<std::string> warnings;
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int nPos) override { positions.push_back(nPos); }
    void SetStatusText(std::string_view) override {}
    void ShowWarning(std::string_view text) override { warnings.emplace_back(text); }
    void PumpOneMessage() override {}
};

TEST(ElevatedFormat, TheChildsOutputAndExitCodeMakeTheResult) {
    const std::string openFailed(LoadStringText(IDS_USB_OPEN_FAILED));
    const std::string prefix = std::string(kAppName) + ": ";
    const struct {
        const char* name;
        std::string script;
        int result;
        std::vector<int> positions;
        std::vector<std::string> warnings;
    } cases[] = {
        // Progress lines count while the pipe is open: each script lingers after them.
        {"done", "printf 'Formatting: 40%%.\\nFormatting: 100%%.\\n'; sleep 0.3; exit 0", kWorkDone, {40, 100}, {}},
        {"its message is the warning",
         "printf '" + prefix + "The disk is busy.\\nTry again.\\n'; exit 1", kWorkFailed, {},
         {"The disk is busy.\r\nTry again."}},
        {"a last line without its line end", "printf '" + prefix + "No line end.'; exit 1", kWorkFailed, {},
         {"No line end."}},
        {"interrupted", "printf 'Formatting: 10%%.\\n'; sleep 0.3; exit 2", kWorkCancelled, {10}, {}},
        {"not authorized", "exit 126", kWorkFailed, {}, {openFailed}},
        {"killed", "kill -9 $$", kWorkFailed, {}, {openFailed}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        testsupport::writeFileText(dir / "child.sh", c.script + "\n");
        ChildView view;
        const UsbFormatWorker worker = MakeElevatedWorker("/bin/sh", (dir / "child.sh").string());
        UsbFormatRequest request;
        request.device = "/dev/null";
        request.payloadDirectory = dir.path();
        EXPECT_EQ(worker(request, view), c.result);
        EXPECT_EQ(view.positions, c.positions);
        EXPECT_EQ(view.warnings, c.warnings);
        EXPECT_FALSE(g_bFormatBusy);
    }
}

TEST(ElevatedFormat, ALauncherThatCannotStartFails) {
    ChildView view;
    UsbFormatRequest request;
    request.device = "/dev/null";
    const int result = MakeElevatedWorker("/nonexistent/launcher", "pellorin")(request, view);
    EXPECT_EQ(result, kWorkFailed);
    EXPECT_EQ(view.warnings, std::vector<std::string>{std::string(LoadStringText(IDS_USB_OPEN_FAILED))});
}

}  // namespace
