#include "IsoHeaderResource.h"

extern const unsigned char resource_ISOHDR[];
extern const std::size_t resource_ISOHDR_size;

namespace pellorin {

std::span<const std::uint8_t> IsoHeaderTemplate() {
    return {resource_ISOHDR, resource_ISOHDR_size};
}

}  // namespace pellorin
