// Administration-mode check and the child-command runner.
#pragma once

#include <cstdint>
#include <cstdio>

struct KXSHandle;

namespace kx {

int kxs_checkAdminMode(KXSHandle *handle);

// Runs `command` under /bin/ksh with one end of a pipe as its standard output
// (mode "r...") or input (any other mode). One child at a time per process:
// NULL while another is outstanding, or when the child could not be started.
FILE *kxs_safe_popen(const char *command, const char *mode);
// Closes the stream (NULL accepted) and waits for the child: its raw wait
// status, or -1 when there is no child or the wait failed.
int kxs_safe_pclose(FILE *stream);

// ---- the daemons ------------------------------------------------------------

// Connects to `host` (a dotted IPv4 address or a name) on TCP `port` from any
// local port, with keep-alive set and close-on-exec; the attempt is bounded
// by ReplyLimits::connectMs (ping.h). Returns the descriptor in blocking mode, or -1
// after reporting the failure.
int kxs_open_socket(const char *host, int port);

// The authentication manager's status: released by the caller with free().
struct AMStatus {
    uint32_t starttime;  // "starttime": start time, seconds since the epoch; 0 when not reported
    int32_t desktops;    // "desktops"
};

// Asks the authentication manager on `host` with "amstatus". `*out` must be
// NULL on entry. Returns 0 with a new record in *out, or KX_EUNREACHABLE,
// KX_ENOMEM, KX_ESOCKET, KX_ESOCKWRITE, KX_EAMTIMEOUT with no record left in
// *out. A read error keeps what was parsed and returns 0.
int kxs_get_amstatus(const char *host, AMStatus **out);

// Applies one reply line; 1 when it held a known key, 0 otherwise.
int _parse_amstatus_line(const char *line, AMStatus *status);

}  // namespace kx
