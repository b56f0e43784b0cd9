#include "IsoHeaderResource.h"

extern const unsigned char pellorin_isohdr_bytes[];
extern const std::size_t pellorin_isohdr_bytes_size;

namespace pellorin {

std::span<const std::uint8_t> IsoHeaderTemplate() {
    return {pellorin_isohdr_bytes, pellorin_isohdr_bytes_size};
}

}  // namespace pellorin
