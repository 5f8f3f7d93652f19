// Helpers of the group-manager status client.
#pragma once

#include <cstdint>

namespace kx {

// Writes `address` (most significant byte first) as "a.b.c.d" into a 16-byte
// buffer. Returns 0, or -1 when it would not fit.
int convert_to_dotted_format(uint32_t address, char *buffer);

}  // namespace kx
