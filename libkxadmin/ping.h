// The reachability probe and the connection opener that the clients of the
// product's daemons share. The exchange that follows the connection is
// exchange.h's.
#pragma once

#include <chrono>

#include <netinet/in.h>

namespace kx {

// ---- time -----------------------------------------------------------------------

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;
constexpr Deadline kNoDeadline = Deadline::max();

// The sooner of `deadline` and `ms` milliseconds from now.
Deadline deadline_in(int ms, Deadline deadline = kNoDeadline);
// What is left until `deadline` in whole milliseconds (rounded up), for
// poll: -1 for no deadline, 0 once it has passed.
int milliseconds_left(Deadline deadline);

// ---- reachability probe -----------------------------------------------------

// The probe's results: 0 when the host answered one ICMP echo within 5
// seconds (the name's lookup included) and by `deadline`, 1 when it did not
// (or the network said it cannot be reached), 2 when the echo could not be
// sent (a host name that did not resolve in that time, no route to send
// on). 0 for a NULL host; EINVAL for an empty one. The echo is sent from the
// process itself; only where the host gives it no ICMP socket does the probe
// fall back to the host's ping (ping_host_by_program).
constexpr int kProbeAnswered = 0;
constexpr int kProbeUnanswered = 1;
constexpr int kProbeCannotTell = 2;
int ping_host(const char *host, Deadline deadline = kNoDeadline);
// The probe through the host's ping, as a bounded child: 0 when it answered;
// otherwise errno when the probe could not be started (ETIMEDOUT, and no
// child, when `deadline` has passed), the ping's exit status, 4 when it was
// killed by a signal or killed at its bound (7 seconds, or what is left
// until `deadline` if that is sooner), 3 when it stopped (it is then killed,
// so that the probe never waits without end). When another part of the
// process reaped the probe, its output decides: 0 when it shows the answer,
// ECHILD otherwise.
int ping_host_by_program(const char *host, Deadline deadline = kNoDeadline);
// What ping_host_by_program's child runs, for a caller that forked a child
// itself: every descriptor above 2 closed, /dev/null on 0 to 2, then the
// host's ping. Returns only on failure, with errno.
int execping(const char *host);
// The bound of a probe: the name's lookup and the echo share its wait.
Deadline probe_wait(Deadline deadline);

// ---- openers ----------------------------------------------------------------

// How an opener names itself and reports. The two openers of the library
// differ only in these points.
struct OpenerStyle {
    const char *name;      // "<name>(): Could not ..."
    bool bindFirst;        // bind to any local address and port before connecting
    bool logAdmin;         // also log each failure under the tag "socket" (and
                           // say "get host by name" rather than "gethostbyname")
    bool quietConnect;     // a refused connection is an "s" trace only
};
// open_socket's style, and kxs_open_socket's.
extern const OpenerStyle kPlainOpener;
extern const OpenerStyle kBoundOpener;

// The bound of a connection unless the caller sets another (ReplyLimits).
constexpr int kConnectTimeoutMs = 5000;

// The error of a connection that failed because the host's name could not
// be looked up.
constexpr int kLookupFailed = -1;

// Connects to `host` (a dotted IPv4 address or a name) on TCP `port` by
// `deadline`, with keep-alive set and close-on-exec. Returns the descriptor
// in blocking mode, or -1 after reporting the failure in `style`, with the
// errno of the failure (kLookupFailed when the name did not resolve) in
// `*error` when given.
int open_daemon_socket(const OpenerStyle &style, const char *host, int port, Deadline deadline,
                       int *error = nullptr);

// Connects to `host` on TCP `port` within ReplyLimits::connectMs, with the
// messages of the plain opener (dprintf and, under the tag "socket",
// log_admin).
int open_socket(const char *host, int port);

// The opener's steps, for the exchange that connects many hosts under one
// poll. begin_connect makes the socket and starts connecting it without
// waiting: the non-blocking descriptor (`inProgress` when the connection is
// not made yet), or -1 after reporting the failure. Once the socket is
// writable, finish_connect tells whether it connected and sets keep-alive;
// false after reporting the failure.
int begin_connect(const OpenerStyle &style, in_addr host, int port, bool &inProgress, int &error);
bool finish_connect(const OpenerStyle &style, int fd, int &error);
// The messages of a connection that failed with `error`, and of a host
// name that did not resolve.
void report_connect_failure(const OpenerStyle &style, int error);
void report_lookup_failure(const OpenerStyle &style, const char *host);

}  // namespace kx
