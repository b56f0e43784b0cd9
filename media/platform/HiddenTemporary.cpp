#include "platform/HiddenTemporary.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <random>

namespace pellorin {

namespace {

constexpr std::string_view kMark = ".pellorin-";
constexpr std::size_t kSuffixLength = 6;

}  // namespace

std::string HiddenTemporaryName(std::string_view name) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::string suffix(kSuffixLength, 'x');
    for (char& c : suffix) c = kLetters[random() % (sizeof kLetters - 1)];
    return "." + std::string(name) + std::string(kMark) + suffix;
}

bool IsHiddenTemporaryName(std::string_view name) {
    const std::size_t mark = name.rfind(kMark);
    // A dot, a final name of at least one character, the mark, the suffix.
    if (name.size() < 2 || name[0] != '.' || mark == std::string_view::npos || mark < 2) return false;
    const std::string_view suffix = name.substr(mark + kMark.size());
    if (suffix.size() < kSuffixLength) return false;
    for (const char c : suffix) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

int RemoveStaleTemporaries(int folderFd, std::time_t runStarted) {
    // A listing of its own, so that the caller's descriptor keeps its position.
    const int listingFd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listingFd < 0) return 0;
    DIR* listing = ::fdopendir(listingFd);
    if (listing == nullptr) {
        ::close(listingFd);
        return 0;
    }
    int removed = 0;
    while (const dirent* entry = ::readdir(listing)) {
        if (!IsHiddenTemporaryName(entry->d_name)) continue;
        struct stat named {};
        if (::fstatat(folderFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode) ||
            named.st_mtime >= runStarted)
            continue;
        const int fd = ::openat(folderFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat opened {};
        // Still the file looked at, and no run holds it.
        if (::fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlinkat(folderFd, entry->d_name, 0) == 0)
            ++removed;
        ::close(fd);
    }
    ::closedir(listing);
    return removed;
}

}  // namespace pellorin
