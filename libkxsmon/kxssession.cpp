#include "kxssession.h"

#include "admin_error.h"
#include "kxerrno.h"
#include "kxsinit.h"
#include "user_session.h"
#include "utils.h"

#include <ctime>

namespace kx {

namespace {

// The code of the handle's status for a failed enumeration.
int enumeration_code(int result)
{
    switch (result) {
    case KX_EFILEACCESS:
    case KX_EPERM:
    case KX_ENOENT:
        return KXS_EFILE;
    case KX_ENOMEM:
        return KXS_ENOMEM;
    default:
        return KXS_ESYSTEM;
    }
}

void report_enumeration_failure(int result)
{
    note_failure(enumeration_code(result),
                 std::string("sessions could not be enumerated: ") + kx_err2str(result));
    switch (result) {
    case KX_EFILEACCESS:
        dprintf("kxs_countSessions(): Can not open display directory\n");
        break;
    case KX_EUNREACHABLE:
        dprintf("kxs_countSessions(): Server is not reachable\n");
        break;
    case KX_ENOMEM:
        dprintf("kxs_countSessions(): Memory allocation failed\n");
        break;
    case KX_EPERM:
        dprintf("kxs_countSessions(): No permission to access file\n");
        break;
    case KX_EINTERNAL:
        dprintf("kxs_countSessions(): Error getting Kestrel active sessions\n");
        break;
    default:
        dprintf("kxs_countSessions(): kx_setUserSessionEnt failed: %d\n", result);
        break;
    }
}

}  // namespace

int count_sessions(Handle *handle)
{
    const auto now = static_cast<uint32_t>(time(nullptr));
    if (!handle) {
        dlprintf("s", "kxs_countSessions: no entries for sessions\n");
        return -1;
    }
    if (now - kSessionsFreshSeconds < handle->sessionsRefreshed) {
        dlprintf("s", "kxs_countSessions: sessions fresh enough\n");
        return 0;
    }
    // The enumeration's only daemon is the authentication manager, which
    // tells which sessions a unit shows; the enumeration fails by its result.
    QueryStatus found;
    int result;
    {
        NoteRecorder recorder(found, false);
        result = kx_setUserSessionEnt(nullptr, nullptr);
        if (result != 0)
            report_enumeration_failure(result);
    }
    if (result != 0) {
        handle->sessionsStatus = found;
        return -1;
    }
    handle->sessionsStatus.clear();
    handle->activityStatus = found;
    uint32_t all = 0, idling = 0, detached = 0;
    UserSessionEnt *entry = nullptr;
    while (kx_getUserSessionEnt(&entry) == 0) {
        ++all;
        if (entry->state & KX_SESSION_IDLING)
            ++idling;
        else if (entry->state & KX_SESSION_DETACHED)
            ++detached;
        kx_freeUserSessionEnt(entry);
    }
    kx_endUserSessionEnt();
    const uint32_t total = all - idling;
    handle->totalSessions = static_cast<int32_t>(total);
    handle->activeSessions = total > detached ? static_cast<int32_t>(total - detached) : 0;
    handle->sessionsRefreshed = now;
    return 0;
}

void note_session_status(const Handle *handle, bool active)
{
    note_all(handle->sessionsStatus);
    if (active)
        note_all(handle->activityStatus);
}

}  // namespace kx

KXS_EXPORT int32_t kxs_countSessions(KXSHandle *handle) noexcept
{
    return kx::c_query(handle, "kxs_countSessions", -1, kx::FailureResult::AlwaysFailure,
                       [](kx::Handle *h) {
                           int result = kx::count_sessions(h);
                           if (!h)
                               return result;
                           // Counted without knowing which sessions are
                           // active: a partial count.
                           kx::note_session_status(h, result == 0);
                           if (result == 0 && h->activityStatus.failed())
                               kx::note_partial();
                           return result;
                       });
}
