#include "fat16/Trace.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace pellorin {
namespace {

// Runs `action` and returns what it wrote to the trace.
template <typename Action>
std::string CaptureTrace(Action action) {
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
}

TEST(DebugPrint, DropsLinesAboveTheLevelAndCutsLongLines) {
    ASSERT_EQ(DebugLevel, 1);
    EXPECT_EQ(CaptureTrace([] { DebugPrint(3, "hidden %d\n", 3); }), "");
    EXPECT_EQ(CaptureTrace([] { DebugPrint(1, "shown %d\n", 1); }), "shown 1\n");
    const std::string longText(2000, 'x');
    const std::string out = CaptureTrace([&] { DebugPrint(1, "%s", longText.c_str()); });
    EXPECT_EQ(out, std::string(1023, 'x'));
}

TEST(ReportError, FormatsContextAndSystemText) {
    const std::string text = std::strerror(ENOENT);
    struct Case {
        const char* context;
        std::string expected;
    };
    const Case cases[] = {
        {nullptr, "***ERROR*** " + text + "\n"},
        {"", "***ERROR*** " + text + "\n"},
        {"WriteMBR", "***ERROR*** WriteMBR: " + text + "\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CaptureTrace([&] { ReportError(c.context, ENOENT); }), c.expected)
            << (c.context ? c.context : "(null)");
    }
}

TEST(GetErrorText, CutsToTheBufferAndReturnsTheFullLength) {
    const std::string text = std::strerror(EACCES);  // "Permission denied", 17 characters
    ASSERT_GT(text.size(), 15u);
    char small[16];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(GetErrorText(EACCES, small, sizeof small), static_cast<int>(text.size()));
    EXPECT_EQ(std::string(small), text.substr(0, 15));

    char large[256];
    EXPECT_EQ(GetErrorText(EACCES, large, sizeof large), static_cast<int>(text.size()));
    EXPECT_EQ(std::string(large), text);
}

}  // namespace
}  // namespace pellorin
