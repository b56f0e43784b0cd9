#include "platform/Power.h"

#include "DorvixTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Sets or clears one environment variable for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) {
            m_old = old;
        }
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (m_old) {
            ::setenv(m_name, m_old->c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

TEST(ResetPlan, OnlyRootOnTheDevicesOwnDisksRestartsTheMachineACommandDecidesAlone) {
    using dorvix::ResetWay;
    const struct {
        const char* name;
        dorvix::ResetSituation situation;
        ResetWay way;
    } cases[] = {
        {"root, device table at its place", {nullptr, nullptr, true}, ResetWay::Logind},
        {"not root", {nullptr, nullptr, false}, ResetWay::None},
        {"a test's device table", {nullptr, "/tmp/devices", true}, ResetWay::None},
        {"empty command: no reset, even as root", {"", nullptr, true}, ResetWay::None},
        {"command", {"touch /tmp/x", "/tmp/devices", false}, ResetWay::Command},
    };
    for (const auto& c : cases) {
        const dorvix::ResetPlan plan = dorvix::planReset(c.situation);
        EXPECT_EQ(plan.way, c.way) << c.name;
        EXPECT_EQ(plan.command, c.way == ResetWay::Command ? "touch /tmp/x" : "") << c.name;
    }
}

TEST(ResetRequest, RunsTheConfiguredCommandOnceAndReportsItsFailure) {
    testsupport::TempDir dir;
    const std::string marker = (dir / "reset-requests").string();
    dorvixtest::ConsoleCapture console;
    EXPECT_TRUE(dorvix::requestSystemReset({dorvix::ResetWay::Command, "echo reset >> " + testsupport::shellQuote(marker)}));
    EXPECT_EQ(testsupport::readFileBytes(marker), (std::vector<std::uint8_t>{'r', 'e', 's', 'e', 't', '\n'}));
    EXPECT_FALSE(dorvix::requestSystemReset({dorvix::ResetWay::Command, "exit 3"}));
    EXPECT_FALSE(dorvix::requestSystemReset({}));
    EXPECT_EQ(console.output(), "");
}

TEST(ResetRequest, EnvironmentCommandIsThePlanOfThisProcess) {
    {
        ScopedEnv env("DORVIX_RESET_COMMAND", "true");
        EXPECT_EQ(dorvix::planSystemReset().way, dorvix::ResetWay::Command);
    }
    {
        ScopedEnv env("DORVIX_RESET_COMMAND", "");
        EXPECT_EQ(dorvix::planSystemReset().way, dorvix::ResetWay::None);
    }
}

// A test program never enabled the machine's reset: a plan for it, even one made up, ends
// before any call that could restart this machine. The environment says "no reset" as well,
// so that this test stays harmless should that guard ever break.
TEST(ResetRequest, TestProgramsCannotRestartTheMachine) {
    ScopedEnv command("DORVIX_RESET_COMMAND", "");
    ScopedEnv table("DORVIX_DEVICES", "/nonexistent/devices");
    EXPECT_FALSE(dorvix::requestSystemReset({dorvix::ResetWay::Logind, {}}));
}

TEST(Suspend, PreventAndAllowPairWithoutLogind) {
    // Without logind (or without permission) nothing is held; the calls still pair.
    EXPECT_EQ(dorvix::QZPreventSuspend(), 1);
    EXPECT_EQ(dorvix::QZPreventSuspend(), 1);  // a second block is the same block
    EXPECT_EQ(dorvix::QZAllowSuspend(), 1);
    EXPECT_EQ(dorvix::QZAllowSuspend(), 1);
}

}  // namespace
