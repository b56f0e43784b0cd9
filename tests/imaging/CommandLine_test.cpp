#include "front/CommandLine.h"

#include <gtest/gtest.h>

#include <vector>

using dorvix::Argument;
using dorvix::CommandOptions;
using dorvix::ImagingMode;
using dorvix::ParseOutcome;

namespace {

std::vector<std::string> splitAll(std::string_view line) {
    std::vector<std::string> words;
    for (;;) {
        Argument a = dorvix::nextArgument(line);
        if (a.kind == Argument::Kind::End) {
            return words;
        }
        words.push_back(a.kind == Argument::Kind::TooLong ? "<too long>" : a.text);
    }
}

TEST(NextArgument, SplitsOnSpacesAndHonoursQuotes) {
    struct Case {
        std::string line;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"", {}},
        {"     ", {}},
        {"-y  FLASH.IMG", {"-y", "FLASH.IMG"}},
        {"\"\\Hard Disk\\my image.kmv\"", {"\\Hard Disk\\my image.kmv"}},
        {"-icmbr:\"a b.bin\" x", {"-icmbr:a b.bin", "x"}},          // quotes inside an argument
        {"a\"\"b", {"ab"}},                                        // an empty quoted stretch
        {"\"\"", {""}},                                            // an empty argument
        {"a\tb c", {"a\tb", "c"}},                                 // tabs do not separate
        {"\"unterminated quote to the end", {"unterminated quote to the end"}},
        {std::string(99, 'x'), {std::string(99, 'x')}},
        {std::string(100, 'x') + " next", {"<too long>", "next"}},
        {"\"" + std::string(99, 'q') + "\"", {std::string(99, 'q')}},  // quotes are not counted
    };
    for (const Case& c : cases) {
        EXPECT_EQ(splitAll(c.line), c.words) << "line: [" << c.line << "]";
    }
}

TEST(DecimalValue, ConvertsLikeAStandardConversion) {
    const std::pair<const char*, std::int64_t> cases[] = {
        {"3", 3}, {"  12", 12}, {"+7", 7}, {"-2", -2}, {"9x", 9}, {"", 0}, {"x9", 0}, {"0x10", 0}, {"256", 256},
    };
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(dorvix::decimalValue(text), value) << text;
    }
}

struct ParseCase {
    const char* line;
    ParseOutcome outcome;
    void (*expect)(CommandOptions&);  // turns the defaults into the expected options
};

void expectOptions(const ParseCase& c) {
    const auto parsed = dorvix::parseCommandLine(c.line);
    EXPECT_EQ(parsed.outcome, c.outcome) << c.line;
    if (parsed.outcome != ParseOutcome::Run) {
        return;
    }
    CommandOptions want;
    c.expect(want);
    const CommandOptions& got = parsed.options;
    EXPECT_EQ(got.mode, want.mode) << c.line;
    EXPECT_EQ(got.targetDevice, want.targetDevice) << c.line;
    EXPECT_EQ(got.restart, want.restart) << c.line;
    EXPECT_EQ(got.imagePath, want.imagePath) << c.line;
    EXPECT_EQ(got.mbrCodePath, want.mbrCodePath) << c.line;
    EXPECT_EQ(got.bootCodePath, want.bootCodePath) << c.line;
    EXPECT_EQ(got.progressWindow, want.progressWindow) << c.line;
    EXPECT_EQ(got.debug, want.debug) << c.line;
    EXPECT_EQ(got.assumeYes, want.assumeYes) << c.line;
    EXPECT_EQ(got.skipBiosCheck, want.skipBiosCheck) << c.line;
    EXPECT_EQ(got.windowed, want.windowed) << c.line;
}

TEST(ParseCommandLine, OptionTableInItsOrder) {
    const ParseCase cases[] = {
        {"", ParseOutcome::Run, [](CommandOptions&) {}},
        {"-y -w", ParseOutcome::Run, [](CommandOptions& o) { o.assumeYes = o.windowed = true; }},
        {"/Y /W /D /xb", ParseOutcome::Run,
         [](CommandOptions& o) { o.assumeYes = o.windowed = o.debug = o.skipBiosCheck = true; }},
        // Single-letter keys match only when the key is exactly one character.
        {"-yes -dw -xbx", ParseOutcome::Run, [](CommandOptions&) {}},
        {"-imgwrite -flatimg", ParseOutcome::Run, [](CommandOptions&) {}},
        {"-FlatCopy", ParseOutcome::Run, [](CommandOptions& o) { o.mode = ImagingMode::FlatCopy; }},
        {"/WRITEFLAT", ParseOutcome::Run, [](CommandOptions& o) { o.mode = ImagingMode::WriteFlat; }},
        {"-imgcopy", ParseOutcome::Run, [](CommandOptions& o) { o.mode = ImagingMode::ImgCopy; }},
        {"-imgcopy -flatcopy", ParseOutcome::Run, [](CommandOptions& o) { o.mode = ImagingMode::FlatCopy; }},
        {"-noheader -NH", ParseOutcome::Run, [](CommandOptions&) {}},
        {"-norestart", ParseOutcome::Run, [](CommandOptions& o) { o.restart = false; }},
        {"/nor", ParseOutcome::Run, [](CommandOptions& o) { o.restart = false; }},
        {"-norestar", ParseOutcome::Run, [](CommandOptions&) {}},
        {"-TARGETDEV:3", ParseOutcome::Run, [](CommandOptions& o) { o.targetDevice = 3; }},
        {"/td:3", ParseOutcome::Run, [](CommandOptions& o) { o.targetDevice = 3; }},
        {"-td:3", ParseOutcome::Run, [](CommandOptions& o) { o.targetDevice = 3; }},
        {"/TARGETDEV:3", ParseOutcome::Run, [](CommandOptions& o) { o.targetDevice = 3; }},
        {"-TD: 7", ParseOutcome::Run,  // the blank ends the key: "7" is an image name
         [](CommandOptions& o) {
             o.targetDevice = 0;
             o.imagePath = "7";
         }},
        {"\"-td: 7\"", ParseOutcome::Run, [](CommandOptions& o) { o.targetDevice = 7; }},  // leading blank in value
        {"-td:12", ParseOutcome::Run, [](CommandOptions& o) { o.targetDevice = 12; }},
        {"-td:", ParseOutcome::Run, [](CommandOptions& o) { o.targetDevice = 0; }},
        {"-targetdev:disk", ParseOutcome::Run, [](CommandOptions& o) { o.targetDevice = 0; }},
        {"-td:258", ParseOutcome::Run, [](CommandOptions& o) { o.targetDevice = 2; }},  // low 8 bits
        {"-td:-1", ParseOutcome::Run, [](CommandOptions& o) { o.targetDevice = 255; }},
        {"-targetdev3", ParseOutcome::Run, [](CommandOptions&) {}},
        {"-pm:4711", ParseOutcome::Run, [](CommandOptions& o) { o.progressWindow = 4711; }},
        {"-icmbr:mbr.bin /ICPBR:pbr.bin", ParseOutcome::Run,
         [](CommandOptions& o) {
             o.mbrCodePath = "mbr.bin";
             o.bootCodePath = "pbr.bin";
         }},
        {"first.img second.img", ParseOutcome::Run, [](CommandOptions& o) { o.imagePath = "second.img"; }},
        {"\"\\Hard Disk\\Factory Image.kmv\" -y", ParseOutcome::Run,
         [](CommandOptions& o) {
             o.imagePath = "\\Hard Disk\\Factory Image.kmv";
             o.assumeYes = true;
         }},
        {"- / -unknown", ParseOutcome::Run, [](CommandOptions&) {}},
        // an absolute host path is an image path, not an ignored option; keys still win
        {"-imgcopy /media/usb/out.img", ParseOutcome::Run,
         [](CommandOptions& o) {
             o.mode = ImagingMode::ImgCopy;
             o.imagePath = "/media/usb/out.img";
         }},
        {"/icmbr:/boot/mbr.bin /unknown", ParseOutcome::Run,
         [](CommandOptions& o) { o.mbrCodePath = "/boot/mbr.bin"; }},
        {"/td:3/x", ParseOutcome::Run, [](CommandOptions& o) { o.targetDevice = 3; }},
        {"-h", ParseOutcome::Usage, nullptr},
        {"-y /? -td:3", ParseOutcome::Usage, nullptr},
        // the help words an operator tries first print the usage instead of going on to a restore
        {"--help", ParseOutcome::Usage, nullptr},
        {"-HELP", ParseOutcome::Usage, nullptr},
        {"/help -y", ParseOutcome::Usage, nullptr},
        {"-y FLASH.IMG --Help", ParseOutcome::Usage, nullptr},
        {"-helpme ---help", ParseOutcome::Run, [](CommandOptions&) {}},
        {"-td:3 -devdump -h", ParseOutcome::DeviceDump, nullptr},
        {"/DD", ParseOutcome::DeviceDump, nullptr},
        {"x -td:3", ParseOutcome::Run,
         [](CommandOptions& o) {
             o.imagePath = "x";
             o.targetDevice = 3;
         }},
    };
    for (const ParseCase& c : cases) {
        expectOptions(c);
    }
}

TEST(ParseCommandLine, KeysAfterDeviceDumpAreNeverSeen) {
    const std::string line = "-dd " + std::string(150, 'z');
    EXPECT_EQ(dorvix::parseCommandLine(line).outcome, ParseOutcome::DeviceDump);
}

TEST(ParseCommandLine, ArgumentLongerThan99CharactersIsRefusedNotCut) {
    const std::string path = "/images/" + std::string(95, 'a') + ".img";
    const auto parsed = dorvix::parseCommandLine("-y " + path);
    EXPECT_EQ(parsed.outcome, ParseOutcome::ArgumentTooLong);
    EXPECT_EQ(parsed.tooLong, path.substr(0, 99));
    // Usage before the long argument still wins: the rest of the line is never read.
    EXPECT_EQ(dorvix::parseCommandLine("-? " + path).outcome, ParseOutcome::Usage);
}

TEST(JoinArguments, ReassemblesArgumentsThatNextArgumentSplitsBack) {
    const std::vector<std::vector<const char*>> argvs = {
        {"dorvix"},
        {"dorvix", "-y", "FLASH.IMG"},
        {"dorvix", "my image.kmv", "-td:2"},
        {"dorvix", ""},
    };
    for (const auto& argv : argvs) {
        const std::string line = dorvix::joinArguments(static_cast<int>(argv.size()), argv.data());
        const std::vector<std::string> expected(argv.begin() + 1, argv.end());
        EXPECT_EQ(splitAll(line), expected) << line;
    }
}

}  // namespace
