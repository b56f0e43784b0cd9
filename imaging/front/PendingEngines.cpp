// Engines that this build does not contain yet. Each says so and fails without touching a
// disk; an engine's own module replaces its definition here.

#include "front/Engines.h"
#include "front/StringTable.h"

namespace dorvix {

int restoreFatImage(ProgressWindow window, const std::string&, std::uint8_t, const std::optional<std::string>&,
                    const std::optional<std::string>&) {
    showError(window, text::kModeNotAvailable, text::kModeRestore);
    return -1;
}

int captureFatImage(ProgressWindow window, std::uint8_t, const std::optional<std::string>&, const std::string&) {
    showError(window, text::kModeNotAvailable, text::kModeImgCopy);
    return -1;
}

int writeFlatImage(ProgressWindow window, const std::string&, std::uint8_t) {
    showError(window, text::kModeNotAvailable, text::kModeWriteFlat);
    return 4;
}

int captureFlatImage(ProgressWindow window, std::uint8_t, const std::string&) {
    showError(window, text::kModeNotAvailable, text::kModeFlatCopy);
    return 3;
}

std::optional<std::string> readTargetBiosList(std::uint8_t) { return std::nullopt; }

}  // namespace dorvix
