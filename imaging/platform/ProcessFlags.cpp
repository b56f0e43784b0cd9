#include "platform/ProcessFlags.h"

namespace dorvix {

ProcessFlags& processFlags() {
    static ProcessFlags flags;
    return flags;
}

}  // namespace dorvix
