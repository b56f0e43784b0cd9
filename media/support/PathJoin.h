#pragma once
// Joining a folder and a name with the platform's separator.

#include <string>
#include <string_view>

namespace pellorin {

// "folder/name"; a folder that already ends in a separator gets none added, and an empty
// folder gives the name alone.
std::string JoinPath(std::string_view folder, std::string_view name);

}  // namespace pellorin
