// Engines that this build does not contain yet. Each says so and fails without touching a
// disk; an engine's own module replaces its definition here.

#include "front/Engines.h"
#include "front/StringTable.h"

namespace dorvix {

int captureFatImage(ProgressWindow window, std::uint8_t, const std::optional<std::string>&, const std::string&) {
    showError(window, text::kModeNotAvailable, text::kModeImgCopy);
    return -1;
}

std::optional<std::string> readTargetBiosList(std::uint8_t) { return std::nullopt; }

}  // namespace dorvix
