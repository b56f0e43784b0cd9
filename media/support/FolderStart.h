#pragma once
// Where the folder picker opens, on Linux: the prefix walk of the desktop's directory path
// class applied to POSIX paths. Paths are case-sensitive here, so the folder keeps its
// spelling; a network path (two leading slashes or backslashes) is an ordinary path.

#include <functional>
#include <string>
#include <string_view>

namespace pellorin {

// The picker's start folder for `text`:
// - empty, or refused (it holds a control character) -> `currentDirectory`;
// - relative -> taken below `currentDirectory`;
// - an existing folder -> itself; otherwise its largest existing ancestor, found by walking its
//   prefixes from the root and stopping at the first one that does not exist.
std::string ResolveStartFolder(std::string_view text, const std::string& currentDirectory,
                               const std::function<bool(const std::string&)>& isDirectory);

// The same over the real file system and the process's current directory.
std::string ResolveStartFolder(std::string_view text);

}  // namespace pellorin
