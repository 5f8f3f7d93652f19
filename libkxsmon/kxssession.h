// Session counts, kept in the handle and refreshed at most every 10 seconds.
#pragma once

#include "kxsmon.h"

#include <cstdint>

namespace kx {

// How long counted sessions stay fresh, in seconds.
constexpr uint32_t kSessionsFreshSeconds = 10;

// Refreshes the handle's session counts unless they are fresh: 0 when they
// are fresh or were refreshed, -1 when the enumeration failed (the counts
// and their time stay as they were).
int count_sessions(KXSHandle *handle);

}  // namespace kx
