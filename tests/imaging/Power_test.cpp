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

TEST(ResetRequest, NeverRestartsThisMachineUnlessConfigured) {
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        ScopedEnv env("DORVIX_RESET_COMMAND", value);
        dorvixtest::ConsoleCapture console;
        dorvix::requestSystemReset();
        EXPECT_NE(console.output().find("The device must now be restarted"), std::string::npos);
    }
}

TEST(ResetRequest, RunsTheConfiguredCommandOnce) {
    testsupport::TempDir dir;
    const std::string marker = (dir / "reset-requests").string();
    ScopedEnv env("DORVIX_RESET_COMMAND", ("echo reset >> " + testsupport::shellQuote(marker)).c_str());
    dorvixtest::ConsoleCapture console;
    dorvix::requestSystemReset();
    EXPECT_EQ(testsupport::readFileBytes(marker), (std::vector<std::uint8_t>{'r', 'e', 's', 'e', 't', '\n'}));
    EXPECT_EQ(console.output(), "");
}

TEST(ResetRequest, FailingCommandIsReported) {
    ScopedEnv env("DORVIX_RESET_COMMAND", "exit 3");
    dorvixtest::ConsoleCapture console;
    dorvix::requestSystemReset();
    EXPECT_NE(console.output().find("reset command failed"), std::string::npos);
}

}  // namespace
