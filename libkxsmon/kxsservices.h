// The monitored services: their records, the handle's services array and the
// check routines that a services file block can name.
#pragma once

#include "kxsprocess.h"
#include "ping.h"

#include <cstdint>

struct KXSService;
namespace kx {
class Handle;
}

using KXSCheckRoutine = int (*)(kx::Handle *, KXSService *);

// KXSService::flags
constexpr uint32_t KXS_SVC_CRITICAL = 0x1;  // counts against the up time
constexpr uint32_t KXS_SVC_EXCLUDED = 0x2;  // does not apply on this server
// KXSService::state
constexpr int32_t KXS_SVC_UNKNOWN = -1;  // never refreshed
constexpr int32_t KXS_SVC_UP = 1;
constexpr int32_t KXS_SVC_DOWN = 2;

struct KXSService {
    char *name;
    char *procname;     // executable name; the very `name` string when not configured
    char *argexp;       // substring the arguments must hold, or NULL
    char *netname;      // TCP service name of the port, or NULL
    char *adminconf;    // administration configuration key of the port, or NULL
    KXSCheckRoutine check;
    int32_t port;       // TCP port probed on localhost, 0 for none
    uint32_t flags;
    int32_t state;
    int32_t prevState;
    uint32_t stime;     // earliest start of the matched processes
    uint32_t prevStime;
    uint32_t changetm;  // last change seen by a refresh
    int32_t instances;
    int32_t prevInstances;
    char *netcommand;   // written to the port after connecting, or NULL
    char *description;
};

namespace kx {

constexpr const char *kServicesPath = "/etc/opt/ZARNkx/kxsservices.cfg";

// Reads the services file into the handle: 1 when it could be opened, else 0.
int kxs_initServices(Handle *handle);
void kxs_addService(Handle *handle, const char *name, const char *procname, const char *argexp,
                    const char *netname, const char *adminconf, KXSCheckRoutine check, int port,
                    int critical, const char *netcommand, const char *description);
void kxs_freeServices(Handle *handle);

// The check routine named by a "check" value (any case), or NULL.
KXSCheckRoutine find_check_routine(const char *value);
int _check_dtlogin(Handle *handle, KXSService *service);
int _check_kxscreventd(Handle *handle, KXSService *service);

// ---- service state -----------------------------------------------------------------

// Results of a refresh are reused for this many seconds.
constexpr uint32_t kServicesFreshSeconds = 10;
// A port probe waits at most this long for its connection to "localhost" to
// be accepted (the opener's bound); a port that takes longer counts as not
// answering.
constexpr int kProbeTimeoutMs = kConnectTimeoutMs;

// Scans the process table, probes the ports and runs the check routines, at
// most once every 10 seconds per handle. 0, or -1 when the process table
// cannot be listed (every service is then down).
int kxs_refreshServices(Handle *handle);
// Counts one process for the first service it matches.
void checkService(const char *pid, Handle *handle, const PsInfo *info);
void checkServicePorts(Handle *handle);
void checkRoutine(Handle *handle);

}  // namespace kx
