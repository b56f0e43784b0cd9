#pragma once
// The hidden names under which pellorin writes a file into a folder before it takes its own name,
// and the sweep that removes what a killed run (SIGKILL, a crash, a power cut) left under them.
// The name is "." + the final name + ".pellorin-" + six letters and digits; a run holds its file
// locked (flock) while it writes it.

#include <ctime>
#include <string>
#include <string_view>

namespace pellorin {

// ".NAME.pellorin-xxxxxx" with six random letters and digits.
std::string HiddenTemporaryName(std::string_view name);

// True for names of that pattern (six or more letters and digits after the mark).
bool IsHiddenTemporaryName(std::string_view name);

// Removes from the open folder `folderFd` the hidden temporaries of earlier runs: regular files
// of the pattern (never a link, a folder or another kind of file), last changed before
// `runStarted`, and locked by no run that is still writing them. Returns how many were removed.
int RemoveStaleTemporaries(int folderFd, std::time_t runStarted);

}  // namespace pellorin
