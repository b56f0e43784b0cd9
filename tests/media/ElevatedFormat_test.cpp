// The progress lines of the elevated child, as the dialog reads them: any line the child (or
// whatever pkexec started) prints gives a percentage or none, and never an exception.

#include "app/ElevatedFormat.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using pellorin::PercentOfLine;

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

}  // namespace
