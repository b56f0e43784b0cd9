// pellorin's bash completion script, sourced by bash and asked as the shell asks it: the words
// offered after each part of a command line.

#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class BashCompletion : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        if (std::system("command -v bash >/dev/null 2>&1") != 0) GTEST_SKIP() << "bash is needed";
        dir = fs::temp_directory_path() / ("pellorin-completion-" + std::to_string(::getpid()));
        fs::create_directories(dir / "images");
        std::ofstream(dir / "images" / "recovery.iso") << "x";
        std::ofstream(dir / "completion") << pellorin::BashCompletionScript();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // The words the completion offers for `line` with the cursor at its end, sorted, in dir.
    std::string Complete(const std::string& line) {
        const std::string script = "cd '" + dir.string() + "' && source ./completion && read -ra COMP_WORDS <<< '" +
                                   line + "' && " + (line.ends_with(' ') ? "COMP_WORDS+=('') && " : "") +
                                   "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && _pellorin && "
                                   "printf '%s\\n' \"${COMPREPLY[@]}\" | sort | paste -sd' '";
        const fs::path scriptFile = dir / "ask.sh";
        std::ofstream(scriptFile) << script;
        std::string output;
        if (std::FILE* pipe = ::popen(("bash " + scriptFile.string()).c_str(), "r")) {
            char buffer[512];
            while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
            ::pclose(pipe);
        }
        if (!output.empty() && output.back() == '\n') output.pop_back();
        return output;
    }
};

TEST_F(BashCompletion, OffersTheCommandsOptionsAndValuesTheParserKnows) {
    const struct {
        const char* line;
        const char* offered;
    } cases[] = {
        {"pellorin ", "--help -h deploy drives iso usb"},
        {"pellorin d", "deploy drives"},
        {"pellorin iso --", "--help --payload --yes"},
        {"pellorin deploy -", "--help --no-overwrite --payload --yes -h -n -y"},
        {"pellorin usb --", "--help --no-verify --payload --yes"},
        // the fake sysfs and mount views of the tests stay hidden
        {"pellorin drives --", "--help"},
        {"pellorin iso images/r", "images/recovery.iso"},
        {"pellorin iso out.iso --payload im", "images"},
        {"pellorin deploy --payload images ", "images"},
    };
    for (const auto& c : cases) EXPECT_EQ(Complete(c.line), c.offered) << c.line;
}

}  // namespace
