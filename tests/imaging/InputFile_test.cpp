#include "platform/InputFile.h"

#include "TestSupport.h"

#include <cerrno>
#include <chrono>
#include <functional>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

struct PathCase {
    const char* name;
    std::function<void(const fs::path&)> make;  // makes the thing at the path
    bool opens;                                 // openInputFile succeeds
    int error;                                  // errno when it does not
    dorvix::PathKind kind;
    bool replaceable;
};

// Every kind of path an input or a capture's output may name; a FIFO must not block the open.
TEST(InputFile, OnlyRegularFilesAreReadAndOnlyFilesOrLinksReplaced) {
    const PathCase cases[] = {
        {"regular file", [](const fs::path& p) { testsupport::writeFileText(p, "image"); }, true, 0,
         dorvix::PathKind::Regular, true},
        {"absent", [](const fs::path&) {}, false, ENOENT, dorvix::PathKind::Absent, true},
        {"FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, false, ENXIO,
         dorvix::PathKind::Other, false},
        {"directory", [](const fs::path& p) { fs::create_directory(p); }, false, ENXIO, dorvix::PathKind::Other,
         false},
        {"link to a character device", [](const fs::path& p) { fs::create_symlink("/dev/null", p); }, false, ENXIO,
         dorvix::PathKind::SymbolicLink, true},
        {"link to a regular file",
         [](const fs::path& p) {
             testsupport::writeFileText(p.string() + ".target", "image");
             fs::create_symlink(p.string() + ".target", p);
         },
         true, 0, dorvix::PathKind::SymbolicLink, true},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        const fs::path path = dir / "FLASH.IMG";
        c.make(path);
        const auto started = std::chrono::steady_clock::now();
        errno = 0;
        std::FILE* file = dorvix::openInputFile(path.string());
        const int error = errno;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
        EXPECT_EQ(file != nullptr, c.opens);
        if (file != nullptr) {
            char first[5] = {};
            EXPECT_EQ(std::fread(first, 1, 5, file), 5u);  // an ordinary blocking stream again
            std::fclose(file);
        } else {
            EXPECT_EQ(error, c.error);
        }
        EXPECT_EQ(dorvix::isRegularFile(path.string()), c.opens);
        EXPECT_EQ(dorvix::pathKind(path.string()), c.kind);
        EXPECT_EQ(dorvix::outputPathReplaceable(path.string()), c.replaceable);
    }
}

}  // namespace
