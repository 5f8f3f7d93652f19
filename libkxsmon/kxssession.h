// Session counts, kept in the handle and refreshed at most every 10 seconds.
#pragma once

#include "kxsmon.h"

#include <cstdint>

namespace kx {

class Handle;

// How long counted sessions stay fresh, in seconds.
constexpr uint32_t kSessionsFreshSeconds = 10;

// Refreshes the handle's session counts unless they are fresh: 0 when they
// are fresh or were refreshed, -1 when the enumeration failed (the counts
// and their time stay as they were). What went wrong stays in the handle
// for the queries to note: sessionsStatus for the enumeration, and
// activityStatus for the source that tells active sessions.
int count_sessions(Handle *handle);

// The counts' outcome for the running query: the enumeration's, and with
// `active` the activity source's too.
void note_session_status(const Handle *handle, bool active);

}  // namespace kx
