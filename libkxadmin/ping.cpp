#include "ping.h"

#include "descriptor.h"
#include "exchange.h"
#include "hostname.h"
#include "platform/ping.h"
#include "platform/spawner.h"
#include "utils.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

namespace kx {

namespace {

// Waits for one event on `fd` until `deadline`. A signal does not restart
// the wait with its whole time: each round waits only for what is left.
// Returns poll's result: 0 when the deadline passed.
int poll_until(int fd, short events, Deadline deadline)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        int rc = poll(&entry, 1, milliseconds_left(deadline));
        if (rc >= 0 || errno != EINTR)
            return rc;
    }
}

int set_blocking(int fd, bool blocking)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags);
}

void report_socket_failure(const OpenerStyle &style, const char *what, const char *logWhat)
{
    const std::string reason = kx::error_text(errno);
    dprintf("%s(): Could not %s - %s\n", style.name, what, reason.c_str());
    if (style.logAdmin)
        log_admin("socket", "Error %s - %s.", logWhat, reason.c_str());
}

}  // namespace

Deadline deadline_in(int ms, Deadline deadline)
{
    return std::min(deadline, Clock::now() + std::chrono::milliseconds(ms));
}

int milliseconds_left(Deadline deadline)
{
    if (deadline == kNoDeadline)
        return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// ---- reachability probe -------------------------------------------------------

int execping(const char *host)
{
    platform::close_descriptors_from(3);
    int devNull = open("/dev/null", O_RDWR);
    if (devNull < 0)
        return errno;
    for (int fd = 0; fd <= 2; ++fd)
        if (dup2(devNull, fd) < 0)
            return errno;
    if (devNull > 2)
        close(devNull);
    return platform::exec_ping(host);
}

namespace {

// The host's ping waits kPingWaitSeconds for the answer; past this margin
// the probe is killed.
constexpr std::chrono::milliseconds kProbeBound{(platform::kPingWaitSeconds + 2) * 1000};

// The probe's bound: kProbeBound, or what is left until `deadline` if that
// is sooner (zero when nothing is).
std::chrono::milliseconds probe_bound(Deadline deadline)
{
    const int left = milliseconds_left(deadline);
    return left < 0 ? kProbeBound : std::min(kProbeBound, std::chrono::milliseconds(left));
}

// How the probe ended is unknown (the process that watched it was killed):
// only its output can tell whether the host answered.
int probe_result_without_status(const char *host, const platform::SpawnResult &probe)
{
    bool answered = platform::ping_output_shows_answer(probe.output);
    dprintf("ping_host(): the exit status of the probe of %s was lost: the process that "
            "watched it was killed. Its output says the host %s.\n",
            host, answered ? "answered" : "did not answer");
    return answered ? 0 : ECHILD;
}

int probe_result(platform::EchoState state)
{
    switch (state) {
    case platform::EchoState::Answered:
        return kProbeAnswered;
    case platform::EchoState::Waiting:
    case platform::EchoState::Unreachable:
        return kProbeUnanswered;
    case platform::EchoState::CannotTell:
        break;
    }
    return kProbeCannotTell;
}

// The probe of `host`, looked up at `address`, by `probeBound`.
int probe_address(const char *host, in_addr address, Deadline probeBound, Deadline deadline)
{
    platform::EchoProbe probe(address);
    if (!probe.has_socket())
        return ping_host_by_program(host, deadline);
    while (probe.state() == platform::EchoState::Waiting &&
           poll_until(probe.fd(), POLLIN, probeBound) > 0)
        probe.on_readable();
    return probe_result(probe.state());
}

}  // namespace

Deadline probe_wait(Deadline deadline)
{
    return deadline_in(platform::kPingWaitSeconds * 1000, deadline);
}

int ping_host(const char *host, Deadline deadline)
{
    if (!host)
        return 0;
    if (!*host)
        return EINVAL;
    const Deadline probeBound = probe_wait(deadline);
    in_addr address{};
    if (!platform::resolve_ipv4(host, address, probeBound))
        return kProbeCannotTell;
    return probe_address(host, address, probeBound, deadline);
}

int ping_host_by_program(const char *host, Deadline deadline)
{
    if (!host)
        return 0;
    if (!*host)
        return EINVAL;
    const std::chrono::milliseconds bound = probe_bound(deadline);
    if (bound.count() <= 0)  // no time left to run a probe
        return ETIMEDOUT;
    platform::SpawnResult probe = platform::run_ping(host, bound);
    if (!probe.reaped)
        dprintf("ping_host(): the probe of %s was killed but its watcher not yet reaped\n", host);
    switch (probe.end) {
    case platform::ChildEnd::NotStarted:
        return probe.error;
    case platform::ChildEnd::StatusLost:
        return probe_result_without_status(host, probe);
    case platform::ChildEnd::Stopped:
        return 3;
    case platform::ChildEnd::TimedOut:
    case platform::ChildEnd::OutputBound:
    case platform::ChildEnd::HeldOpen:
        dprintf("ping_host(): the probe of %s was killed: it ran past %lld ms, printed too "
                "much or left its output open\n",
                host, static_cast<long long>(bound.count()));
        return 4;
    case platform::ChildEnd::Finished:
        break;
    }
    if (WIFEXITED(probe.waitStatus))
        return WEXITSTATUS(probe.waitStatus);
    return WIFSIGNALED(probe.waitStatus) ? 4 : 3;
}

// ---- openers --------------------------------------------------------------------

const OpenerStyle kPlainOpener{"open_socket", false, true, false};
const OpenerStyle kBoundOpener{"kxs_open_socket", true, false, true};

void report_connect_failure(const OpenerStyle &style, int error)
{
    errno = error;
    if (style.quietConnect)
        dlprintf("s", "%s(): Could not connect - %s\n", style.name, kx::error_text(error).c_str());
    else
        report_socket_failure(style, "connect", "connecting");
}

void report_lookup_failure(const OpenerStyle &style, const char *host)
{
    const char *shown = host ? host : "(null)";
    if (style.logAdmin) {
        dprintf("%s(): Could not get host by name (%s)\n", style.name, shown);
        log_admin("socket", "Error getting host by name (%s).", shown);
    } else {
        dprintf("%s(): Could not gethostbyname(%s)\n", style.name, shown);
    }
}

int begin_connect(const OpenerStyle &style, in_addr host, int port, bool &inProgress, int &error)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr = host;
    // Close-on-exec from the start: a child that another thread of the host
    // starts must not inherit the connection.
    platform::Descriptor fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        error = errno;
        report_socket_failure(style, "open socket", "opening socket");
        return -1;
    }
    if (style.bindFirst) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(fd.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
            error = errno;
            report_socket_failure(style, "bind", "binding");
            return -1;
        }
    }
    const auto *target = reinterpret_cast<const sockaddr *>(&address);
    inProgress = connect(fd.get(), target, sizeof address) < 0;
    if (inProgress && errno != EINPROGRESS && errno != EINTR) {
        error = errno;
        report_connect_failure(style, error);
        return -1;
    }
    return fd.release();
}

bool finish_connect(const OpenerStyle &style, int fd, int &error)
{
    error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
        error = errno;
    if (error != 0) {
        report_connect_failure(style, error);
        return false;
    }
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0)
        report_socket_failure(style, "set SO_KEEPALIVE", "setting SO_KEEPALIVE");
    return true;
}

namespace {

// Connects to `address` on TCP `port` by `deadline`, as open_daemon_socket;
// `error` tells why it did not.
int connect_to(const OpenerStyle &style, in_addr address, int port, Deadline deadline, int &error)
{
    bool inProgress = false;
    platform::Descriptor fd(begin_connect(style, address, port, inProgress, error));
    if (!fd)
        return -1;
    if (inProgress) {
        int ready = poll_until(fd.get(), POLLOUT, deadline);
        if (ready <= 0) {
            error = ready == 0 ? ETIMEDOUT : errno;
            report_connect_failure(style, error);
            return -1;
        }
    }
    if (!finish_connect(style, fd.get(), error))
        return -1;
    if (set_blocking(fd.get(), true) < 0) {
        error = errno;
        return -1;
    }
    return fd.release();
}

}  // namespace

int open_daemon_socket(const OpenerStyle &style, const char *host, int port, Deadline deadline,
                       int *error)
{
    int ignored = 0;
    int &why = error ? *error : ignored;
    in_addr address{};
    if (!platform::resolve_ipv4(host, address, deadline)) {
        report_lookup_failure(style, host);
        why = kLookupFailed;
        return -1;
    }
    return connect_to(style, address, port, deadline, why);
}

int open_socket(const char *host, int port)
{
    return open_daemon_socket(kPlainOpener, host, port, deadline_in(reply_limits().connectMs));
}

}  // namespace kx
