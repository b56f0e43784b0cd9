// The built dorvix with -w where no window can be shown: one notice line, then the run goes on
// on the console as without -w (banner, console confirmation). This holds as well for a build
// without windows.

#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;

struct NoWindowCase {
    const char* name;
    const char* environment;
    const char* options;
    bool banner;  // not with a named window (here standard output, which gets its lines)
};

class WindowedWithoutDisplay : public ::testing::TestWithParam<NoWindowCase> {};

TEST_P(WindowedWithoutDisplay, SaysSoOnceAndAsksOnTheConsole) {
    TempDir dir;
    testsupport::writeFileText(dir / "FLASH.IMG", "only its existence is checked before the question");
    const std::string notice = "dorvix: no window can be shown";
    const auto r = runCommand("cd " + shellQuote(dir.path().string()) +
                              " && echo no | env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + GetParam().environment +
                              " DORVIX_DEVICES=/nonexistent " + shellQuote(DORVIX_PROGRAM) + " " + GetParam().options + " FLASH.IMG");
    EXPECT_EQ(r.exitCode, 1) << r.output;
    const auto first = r.output.find(notice);
    ASSERT_NE(first, std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(notice, first + 1), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("QZ Keldan Imaging Tool, Version 3.03.000\n") != std::string::npos, GetParam().banner)
        << r.output;
    EXPECT_NE(r.output.find("Type NO to exit, or YES to continue: "), std::string::npos) << r.output;
}

INSTANTIATE_TEST_SUITE_P(Environments, WindowedWithoutDisplay,
                         ::testing::Values(NoWindowCase{"NoDisplayNamed", "", "-w", true},
                                           NoWindowCase{"DisplayThatCannotBeReached", "DISPLAY=:97", "-w", true},
                                           NoWindowCase{"NamedWindowTooNoDisplay", "", "-w -pm:1", false}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
