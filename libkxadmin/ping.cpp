#include "ping.h"

#include "hostname.h"
#include "kxerrno.h"
#include "platform/ping.h"
#include "platform/spawner.h"
#include "query_status.h"
#include "utils.h"

#include "kxsmon.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

namespace kx {

namespace {

ReplyLimits gReplyLimits;

int milliseconds_left(Deadline deadline)
{
    if (deadline == kNoDeadline)
        return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

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

// The whole command in one write. MSG_NOSIGNAL: a daemon that has already
// closed its end must not raise SIGPIPE in the caller's process.
bool write_command(int fd, std::string_view command)
{
    ssize_t written;
    while ((written = send(fd, command.data(), command.size(), MSG_NOSIGNAL)) < 0 &&
           errno == EINTR) {
    }
    return written == static_cast<ssize_t>(command.size());
}

void report_socket_failure(const OpenerStyle &style, const char *what, const char *logWhat)
{
    const std::string reason = kx::error_text(errno);
    dprintf("%s(): Could not %s - %s\n", style.name, what, reason.c_str());
    if (style.logAdmin)
        log_admin("socket", "Error %s - %s.", logWhat, reason.c_str());
}

// The transport over real sockets: probe, open, exchange, close.
class SocketTransport : public DaemonTransport {
public:
    DaemonReply ask(const DaemonRequest &request, const LineHandler &onLine) override
    {
        LineSink sink(*request.client, onLine);
        return ask_into(request, sink);
    }
    DaemonReply ask_into(const DaemonRequest &request, ReplySink &sink) override;
    void ask_all(const std::vector<DaemonRequest> &requests, const std::vector<ReplySink *> &sinks,
                 std::vector<DaemonReply> &replies) override;
};

// One read buffer of a request, with room for the NUL behind the last line.
std::unique_ptr<char[]> read_buffer()
{
    return std::make_unique<char[]>(kReadChunkSize + 1);
}

SocketTransport gSocketTransport;
std::atomic<DaemonTransport *> gTransport{nullptr};

// What people call the daemon behind a service.
const char *daemon_title(const char *service)
{
    if (std::strcmp(service, kAuthMgrService) == 0)
        return "authentication manager";
    if (std::strcmp(service, kSessionMgrService) == 0)
        return "session manager";
    return service;
}

// "authentication manager on srv1:7010"
std::string daemon_place(const char *service, const char *host, int port)
{
    return std::string(daemon_title(service)) + " on " + (host ? host : "(null)") + ":" +
           std::to_string(port);
}

// The code and the line for people of a failed exchange.
std::pair<int, std::string> failure_of(DaemonReply reply, const ReplyLimits &limits)
{
    switch (reply.outcome) {
    case Outcome::Complete:
        break;
    case Outcome::Unreachable:
        if (reply.error == kLookupFailed)
            return {KXS_ENOHOST, ": host name could not be resolved"};
        return {KXS_ETIMEDOUT, ": host did not answer the reachability probe within " +
                                   seconds_text(platform::kPingWaitSeconds * 1000)};
    case Outcome::OpenFailed:
        if (reply.error == kLookupFailed)
            return {KXS_ENOHOST, ": host name could not be resolved"};
        if (reply.error == ETIMEDOUT)
            return {KXS_ETIMEDOUT,
                    " did not accept the connection within " + seconds_text(limits.connectMs)};
        if (reply.error == ECONNREFUSED)
            return {KXS_EREFUSED, " refused the connection"};
        return {KXS_EREFUSED, ": could not connect: " + error_text(reply.error)};
    case Outcome::WriteFailed:
        return {KXS_EREFUSED, " dropped the connection before the command was sent"};
    case Outcome::TimedOut:
        return {KXS_ETIMEDOUT, " did not answer within " + seconds_text(limits.firstDataMs)};
    case Outcome::ReadError:
        if (reply.error == ETIMEDOUT)
            return {KXS_ETIMEDOUT, " stopped answering in the middle of its reply"};
        return {KXS_EREPLY, ": reply could not be read: " + error_text(reply.error)};
    case Outcome::TooLarge:
        return {KXS_EREPLY,
                " sent a reply larger than " + std::to_string(limits.maxBytes >> 20) + " MiB"};
    }
    return {KXS_OK, {}};
}

// Tells the running query that one of its daemons failed.
void note_exchange_failure(const DaemonClient &client, const char *host, int port,
                           DaemonReply reply)
{
    auto [code, what] = failure_of(reply, gReplyLimits);
    if (code == KXS_OK)
        return;
    note_failure(code, daemon_place(client.service, host, port) + what);
}

void report_outcome(const DaemonClient &client, const char *host, int port, DaemonReply reply)
{
    note_exchange_failure(client, host, port, reply);
    const char *name = client.name;
    host = host ? host : "(null)";
    if (reply.recalled) {
        dlprintf(client.debugCategory, "%s(): %s:%d did not answer in time lately; not asked\n",
                 name, host, port);
        return;
    }
    switch (reply.outcome) {
    case Outcome::Complete:
        break;
    case Outcome::Unreachable:
        dprintf("%s(): No response from host %s:%d\n", name, host, port);
        break;
    case Outcome::OpenFailed:
        if (client.quietFailures)
            dlprintf("s", "%s(): Could not open socket to %s:%d\n", name, host, port);
        else
            dprintf("%s(): Could not open socket to %s:%d\n", name, host, port);
        break;
    case Outcome::WriteFailed:
        if (client.capitalised)
            dprintf("%s(): Write command failed\n", name);
        else
            dprintf("%s(): write command failed\n", name);
        break;
    case Outcome::TimedOut:
        if (client.quietFailures)
            dlprintf("s", "%s(): poll timed out\n", name);
        else
            dprintf(client.capitalised ? "%s(): Poll timed out\n" : "%s(): poll timed out\n", name);
        break;
    case Outcome::ReadError:
    case Outcome::TooLarge:
        dprintf("%s(): read error - %s\n", name, kx::error_text(reply.error).c_str());
        break;
    }
}

}  // namespace

int outcome_error(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Unreachable:
        return KX_EUNREACHABLE;
    case Outcome::OpenFailed:
        return KX_ESOCKET;
    case Outcome::WriteFailed:
        return KX_ESOCKWRITE;
    case Outcome::TimedOut:
        return KX_EAMTIMEOUT;
    case Outcome::Complete:
    case Outcome::ReadError:
    case Outcome::TooLarge:
        break;
    }
    return 0;
}

Deadline deadline_in(int ms, Deadline deadline)
{
    return std::min(deadline, Clock::now() + std::chrono::milliseconds(ms));
}

ReplyLimits reply_limits()
{
    return gReplyLimits;
}

void set_reply_limits(const ReplyLimits &limits)
{
    gReplyLimits = limits;
}

std::size_t max_reply_records()
{
    return std::max<std::size_t>(1, gReplyLimits.maxBytes / kMinRecordBytes);
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

}  // namespace

namespace {

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

// The bound of a probe: the name's lookup and the echo share its wait.
Deadline probe_wait(Deadline deadline)
{
    return deadline_in(platform::kPingWaitSeconds * 1000, deadline);
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

// ping_host for a host that is not NULL, with the address it looked up.
int probe_host(const char *host, in_addr &address, Deadline deadline)
{
    if (!*host)
        return EINVAL;
    const Deadline probeBound = probe_wait(deadline);
    if (!platform::resolve_ipv4(host, address, probeBound))
        return kProbeCannotTell;
    return probe_address(host, address, probeBound, deadline);
}

}  // namespace

int ping_host(const char *host, Deadline deadline)
{
    if (!host)
        return 0;
    in_addr address{};
    return probe_host(host, address, deadline);
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

namespace {

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

// The address of `host` by `deadline`; false after reporting the failure.
bool resolve_host(const OpenerStyle &style, const char *host, in_addr &address, Deadline deadline)
{
    if (platform::resolve_ipv4(host, address, deadline))
        return true;
    report_lookup_failure(style, host);
    return false;
}

// Makes the socket and starts connecting it to `host` without waiting.
// Returns the non-blocking descriptor (`inProgress` when the connection is
// not made yet), or -1 after reporting the failure.
int begin_connect(const OpenerStyle &style, in_addr host, int port, bool &inProgress, int &error)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr = host;
    // Close-on-exec from the start: a child that another thread of the host
    // starts must not inherit the connection.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = errno;
        report_socket_failure(style, "open socket", "opening socket");
        return -1;
    }
    if (style.bindFirst) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
            error = errno;
            report_socket_failure(style, "bind", "binding");
            close(fd);
            return -1;
        }
    }
    const auto *target = reinterpret_cast<const sockaddr *>(&address);
    inProgress = connect(fd, target, sizeof address) < 0;
    if (inProgress && errno != EINPROGRESS && errno != EINTR) {
        error = errno;
        report_connect_failure(style, error);
        close(fd);
        return -1;
    }
    return fd;
}

// Once the socket is writable: whether it connected, and keep-alive on.
// False after reporting the failure.
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

// Connects to `address` on TCP `port` by `deadline`, as open_daemon_socket;
// `error` tells why it did not.
int connect_to(const OpenerStyle &style, in_addr address, int port, Deadline deadline, int &error)
{
    bool inProgress = false;
    int fd = begin_connect(style, address, port, inProgress, error);
    if (fd < 0)
        return -1;
    if (inProgress) {
        int ready = poll_until(fd, POLLOUT, deadline);
        if (ready <= 0) {
            error = ready == 0 ? ETIMEDOUT : errno;
            report_connect_failure(style, error);
            close(fd);
            return -1;
        }
    }
    if (!finish_connect(style, fd, error)) {
        close(fd);
        return -1;
    }
    if (set_blocking(fd, true) < 0) {
        error = errno;
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int open_daemon_socket(const OpenerStyle &style, const char *host, int port, Deadline deadline,
                       int *error)
{
    int ignored = 0;
    int &why = error ? *error : ignored;
    in_addr address{};
    if (!resolve_host(style, host, address, deadline)) {
        why = kLookupFailed;
        return -1;
    }
    return connect_to(style, address, port, deadline, why);
}

int open_socket(const char *host, int port)
{
    return open_daemon_socket(kPlainOpener, host, port, deadline_in(gReplyLimits.connectMs));
}

DaemonReply SocketTransport::ask_into(const DaemonRequest &request, ReplySink &sink)
{
    const DaemonClient &client = *request.client;
    const OpenerStyle &style = client.opener == Opener::Bound ? kBoundOpener : kPlainOpener;
    DaemonMemory *memory = running_daemon_memory();
    // The name is looked up once, for the probe and the connection. As
    // ping_host: no host to probe, the opener reports it.
    const bool probed = client.probe && request.host;
    const Deadline lookupBound = probed ? probe_wait(request.deadline)
                                        : deadline_in(gReplyLimits.connectMs, request.deadline);
    in_addr address{};
    if (probed && !*request.host)
        return {Outcome::Unreachable};
    if (probed ? !platform::resolve_ipv4(request.host, address, lookupBound)
               : !resolve_host(style, request.host, address, lookupBound))
        return {probed ? Outcome::Unreachable : Outcome::OpenFailed, kLookupFailed};
    if (const DaemonReply *remembered = memory ? memory->recall(address, request.port) : nullptr)
        return *remembered;
    auto remember = [&](DaemonReply reply) {
        return memory ? memory->remember(address, request.port, reply) : reply;
    };
    if (probed && probe_address(request.host, address, lookupBound, request.deadline) != 0)
        return remember({Outcome::Unreachable});
    const char *shown = request.host ? request.host : "(null)";
    dlprintf(client.debugCategory, "opening %s:%d\n", shown, request.port);
    const Deadline connectBound = deadline_in(gReplyLimits.connectMs, request.deadline);
    int error = 0;
    int fd = connect_to(style, address, request.port, connectBound, error);
    if (fd < 0)
        return remember({Outcome::OpenFailed, error});
    DaemonReply reply = exchange_command(client, fd, request.command, sink, request.deadline);
    close(fd);
    return remember(reply);
}

// ---- daemons that did not answer -------------------------------------------------

bool timed_out(const DaemonReply &reply)
{
    switch (reply.outcome) {
    case Outcome::Unreachable:
        return reply.error != kLookupFailed;
    case Outcome::TimedOut:
        return true;
    case Outcome::OpenFailed:
    case Outcome::ReadError:
        return reply.error == ETIMEDOUT;
    case Outcome::Complete:
    case Outcome::WriteFailed:
    case Outcome::TooLarge:
        break;
    }
    return false;
}

const DaemonReply *DaemonMemory::recall(in_addr address, int port)
{
    const auto now = Clock::now();
    std::erase_if(entries_, [now](const Entry &entry) { return entry.until <= now; });
    for (const Entry &entry : entries_)
        if (entry.address == address.s_addr && entry.port == port)
            return &entry.reply;
    return nullptr;
}

DaemonReply DaemonMemory::remember(in_addr address, int port, DaemonReply reply)
{
    if (!timed_out(reply) || reply.recalled)
        return reply;
    const auto now = Clock::now();
    std::erase_if(entries_, [&](const Entry &entry) {
        return entry.until <= now || (entry.address == address.s_addr && entry.port == port);
    });
    if (entries_.size() < kMaxEntries) {
        DaemonReply kept = reply;
        kept.recalled = true;
        entries_.push_back({address.s_addr, port, now + std::chrono::seconds(kDaemonMemorySeconds),
                            kept});
    }
    return reply;
}

// ---- the exchange -------------------------------------------------------------

DaemonTransport &socket_transport()
{
    return gSocketTransport;
}

DaemonTransport &daemon_transport()
{
    if (DaemonTransport *installed = gTransport.load())
        return *installed;
    return gSocketTransport;
}

void set_daemon_transport(DaemonTransport *transport)
{
    gTransport.store(transport);
}

void note_reply_fault(const char *service, int fallbackPort, const char *host,
                      const std::string &what)
{
    int port = platform::service_port(service, "tcp");
    note_failure(KXS_EREPLY, daemon_place(service, host, port > 0 ? port : fallbackPort) + " " +
                                 what);
}

int daemon_port(const DaemonClient &client)
{
    int port = platform::service_port(client.service, "tcp");
    if (port > 0)
        return port;
    dprintf("%s(): Could not find service (%s)\n", client.name, client.service);
    dprintf("%s(): Using hard-coded port (%d)\n", client.name, client.fallbackPort);
    return client.fallbackPort;
}

DaemonReply DaemonTransport::ask_into(const DaemonRequest &request, ReplySink &sink)
{
    return ask(request, [&sink](std::string_view line) { return sink.line(line); });
}

void DaemonTransport::ask_all(const std::vector<DaemonRequest> &requests,
                              const std::vector<ReplySink *> &sinks,
                              std::vector<DaemonReply> &replies)
{
    replies.assign(requests.size(), DaemonReply{Outcome::Complete});
    for (std::size_t i = 0; i < requests.size(); ++i)
        replies[i] = ask_into(requests[i], *sinks[i]);
}

std::vector<Outcome> ask_daemons(const DaemonClient &client, const std::vector<const char *> &hosts,
                                 std::string_view command, const std::vector<ReplySink *> &sinks,
                                 Deadline deadline)
{
    int port = daemon_port(client);
    std::vector<DaemonRequest> requests;
    requests.reserve(hosts.size());
    for (const char *host : hosts)
        requests.push_back({&client, host, port, command, deadline});
    std::vector<DaemonReply> replies;
    daemon_transport().ask_all(requests, sinks, replies);
    std::vector<Outcome> outcomes;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        DaemonReply reply = i < replies.size() ? replies[i] : DaemonReply{Outcome::OpenFailed};
        report_outcome(client, hosts[i], port, reply);
        outcomes.push_back(reply.outcome);
    }
    return outcomes;
}

Outcome ask_daemon(const DaemonClient &client, const char *host, std::string_view command,
                   const LineHandler &onLine, Deadline deadline)
{
    int port = daemon_port(client);
    DaemonReply reply = daemon_transport().ask({&client, host, port, command, deadline}, onLine);
    report_outcome(client, host, port, reply);
    return reply.outcome;
}

Outcome ask_daemon_into(const DaemonClient &client, const char *host, std::string_view command,
                        ReplySink &sink, Deadline deadline)
{
    int port = daemon_port(client);
    DaemonReply reply = daemon_transport().ask_into({&client, host, port, command, deadline}, sink);
    report_outcome(client, host, port, reply);
    return reply.outcome;
}

DaemonReply exchange_command(const DaemonClient &, int fd, std::string_view command,
                             ReplySink &sink, Deadline deadline)
{
    const ReplyLimits limits = gReplyLimits;
    const Deadline whole = deadline_in(limits.totalMs, deadline);
    if (set_blocking(fd, false) < 0 || !write_command(fd, command))
        return {Outcome::WriteFailed};
    // A failed poll (rather than a time-out) goes on to read, which then
    // tells what is wrong with the connection.
    if (poll_until(fd, POLLIN, deadline_in(limits.firstDataMs, whole)) == 0)
        return {Outcome::TimedOut};
    const std::unique_ptr<char[]> buffer = read_buffer();
    char *chunk = buffer.get();
    std::size_t received = 0;
    for (;;) {
        ssize_t got = read(fd, chunk, kReadChunkSize);
        if (got == 0)
            return {Outcome::Complete};
        if (got > 0) {
            received += static_cast<std::size_t>(got);
            if (received > limits.maxBytes)
                return {Outcome::TooLarge, EFBIG};
            chunk[got] = '\0';
            if (!sink.bytes(chunk, static_cast<std::size_t>(got)))
                return {Outcome::Complete};
            if (Clock::now() >= whole)
                return {Outcome::ReadError, ETIMEDOUT};
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return {Outcome::ReadError, errno};
        // Nothing yet: sleep until data comes, within both bounds.
        int ready = poll_until(fd, POLLIN, deadline_in(limits.idleMs, whole));
        if (ready <= 0)
            return {Outcome::ReadError, ready == 0 ? ETIMEDOUT : errno};
    }
}

bool LineAssembler::feed(char *data, std::size_t length, const LineHandler &onLine)
{
    return feed_each(data, length, onLine);
}

void LineAssembler::report_overlong() const
{
    dprintf("%s(): dropped a reply line longer than %zu bytes\n", client_.name, kMaxLineLength);
}

bool append_block_line(std::string &blockText, std::string_view line)
{
    if (blockText.size() + line.size() + 1 > kMaxBlockLength)
        return false;
    blockText.append(line);
    blockText.push_back('\n');
    return true;
}

void BlockFraming::report_dropped() const
{
    dprintf("%s(): reply holds more than %zu records; the rest is dropped\n", clientName_,
            maxRecords_);
}

const char *RecordFramer::line(std::string_view line)
{
    switch (framing_.step(line)) {
    case BlockFraming::Step::Open:
        block_.clear();
        break;
    case BlockFraming::Step::Add:
        append_block_line(block_, line);
        break;
    case BlockFraming::Step::Close:
        return block_.c_str();
    case BlockFraming::Step::Skip:
        break;
    }
    return nullptr;
}

// ---- many hosts at once ------------------------------------------------------------

namespace {

// One host of a request to many: its stage, the descriptor it waits on and
// the deadline of that wait.
class Member {
public:
    // Starts looking the host's name up: the lookups of all hosts run side
    // by side, and each is waited for in its host's start().
    Member(const DaemonRequest &request, ReplySink &sink, DaemonReply &reply)
        : request_(request), client_(*request.client),
          style_(client_.opener == Opener::Bound ? kBoundOpener : kPlainOpener), sink_(sink),
          reply_(reply), memory_(running_daemon_memory())
    {
        lookup_.emplace(request.host);
    }
    ~Member() { close_connection(); }
    Member(const Member &) = delete;
    Member &operator=(const Member &) = delete;

    void start();
    bool done() const { return stage_ == Stage::Done; }
    pollfd wanted() const
    {
        short events = stage_ == Stage::Connect ? POLLOUT : POLLIN;
        return {stage_ == Stage::Probe ? probe_->fd() : fd_, events, 0};
    }
    Deadline wait() const { return wait_; }
    // `buffer` (kReadChunkSize + 1 bytes) is shared by the members: each
    // read is handed over before the next member reads.
    void ready(char *buffer);
    void expire();
    void fail(DaemonReply reply) { finish(reply); }

private:
    enum class Stage { Probe, Connect, FirstData, Read, Done };

    bool looked_up(Deadline bound);
    bool recalled();
    void connect(Deadline connectBound);
    void connected();
    void read_reply(char *chunk);
    void finish(DaemonReply reply);
    void close_connection();

    const DaemonRequest &request_;
    const DaemonClient &client_;
    const OpenerStyle &style_;
    ReplySink &sink_;
    DaemonReply &reply_;
    DaemonMemory *memory_;  // the handle's daemons that did not answer, or nullptr
    bool resolved_ = false;
    std::optional<platform::HostLookup> lookup_;
    std::optional<platform::EchoProbe> probe_;
    in_addr address_{};  // looked up once, for the probe and the connection
    int fd_ = -1;
    Stage stage_ = Stage::Probe;
    Deadline wait_ = kNoDeadline;
    Deadline whole_ = kNoDeadline;
    std::size_t received_ = 0;
};

// The hosts are started one after the other, and what each waits for
// before the poll (the rest of its lookup, the host's ping) counts against
// the request's deadline.
void Member::start()
{
    if (Clock::now() >= request_.deadline) {  // the hosts before took all the time
        stage_ = client_.probe ? Stage::Probe : Stage::Connect;
        return expire();
    }
    // As ping_host: no host to probe, the opener reports it.
    if (!client_.probe || !request_.host) {
        const Deadline connectBound = deadline_in(gReplyLimits.connectMs, request_.deadline);
        if (!looked_up(connectBound)) {
            report_lookup_failure(style_, request_.host);
            return finish({Outcome::OpenFailed, kLookupFailed});
        }
        if (recalled())
            return;
        return connect(connectBound);
    }
    const Deadline probeBound = probe_wait(request_.deadline);
    if (!*request_.host)
        return finish({Outcome::Unreachable});
    if (!looked_up(probeBound))
        return finish({Outcome::Unreachable, kLookupFailed});
    if (recalled())
        return;
    probe_.emplace(address_);
    if (!probe_->has_socket()) {  // only the host's ping can tell, one host at a time
        probe_.reset();
        if (ping_host_by_program(request_.host, request_.deadline) != 0)
            return finish({Outcome::Unreachable});
        return connect(deadline_in(gReplyLimits.connectMs, request_.deadline));
    }
    if (probe_->state() != platform::EchoState::Waiting)
        return finish({Outcome::Unreachable});
    wait_ = probeBound;
}

// The host's address by `bound`. The lookup is let go at once: held, it
// would be shared with lookups of the same name for as long as the request
// runs.
bool Member::looked_up(Deadline bound)
{
    resolved_ = lookup_->wait(address_, bound);
    lookup_.reset();
    return resolved_;
}

// Ends the host's request at once when the handle remembers that its daemon
// did not answer in time.
bool Member::recalled()
{
    const DaemonReply *remembered = memory_ ? memory_->recall(address_, request_.port) : nullptr;
    if (!remembered)
        return false;
    reply_ = *remembered;
    stage_ = Stage::Done;
    return true;
}

void Member::connect(Deadline connectBound)
{
    probe_.reset();
    dlprintf(client_.debugCategory, "opening %s:%d\n", request_.host ? request_.host : "(null)",
             request_.port);
    bool inProgress = false;
    int error = 0;
    fd_ = begin_connect(style_, address_, request_.port, inProgress, error);
    if (fd_ < 0)
        return finish({Outcome::OpenFailed, error});
    stage_ = Stage::Connect;
    wait_ = connectBound;
    if (!inProgress)
        connected();
}

void Member::connected()
{
    int error = 0;
    if (!finish_connect(style_, fd_, error))
        return finish({Outcome::OpenFailed, error});
    if (!write_command(fd_, request_.command))
        return finish({Outcome::WriteFailed});
    whole_ = deadline_in(gReplyLimits.totalMs, request_.deadline);
    wait_ = deadline_in(gReplyLimits.firstDataMs, whole_);
    stage_ = Stage::FirstData;
}

void Member::read_reply(char *chunk)
{
    for (;;) {
        ssize_t got = read(fd_, chunk, kReadChunkSize);
        if (got == 0)
            return finish({Outcome::Complete});
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return finish({Outcome::ReadError, errno});
            break;
        }
        received_ += static_cast<std::size_t>(got);
        if (received_ > gReplyLimits.maxBytes)
            return finish({Outcome::TooLarge, EFBIG});
        chunk[got] = '\0';
        if (!sink_.bytes(chunk, static_cast<std::size_t>(got)))
            return finish({Outcome::Complete});
        if (Clock::now() >= whole_)
            return finish({Outcome::ReadError, ETIMEDOUT});
    }
    stage_ = Stage::Read;
    wait_ = deadline_in(gReplyLimits.idleMs, whole_);
}

void Member::ready(char *buffer)
{
    switch (stage_) {
    case Stage::Probe:
        if (probe_->on_readable() == platform::EchoState::Answered)
            connect(deadline_in(gReplyLimits.connectMs, request_.deadline));
        else if (probe_->state() != platform::EchoState::Waiting)
            finish({Outcome::Unreachable});
        break;
    case Stage::Connect:
        connected();
        break;
    case Stage::FirstData:
    case Stage::Read:
        read_reply(buffer);
        break;
    case Stage::Done:
        break;
    }
}

void Member::expire()
{
    switch (stage_) {
    case Stage::Probe:
        return finish({Outcome::Unreachable});
    case Stage::Connect:
        report_connect_failure(style_, ETIMEDOUT);
        return finish({Outcome::OpenFailed, ETIMEDOUT});
    case Stage::FirstData:
        return finish({Outcome::TimedOut});
    case Stage::Read:
        return finish({Outcome::ReadError, ETIMEDOUT});
    case Stage::Done:
        break;
    }
}

void Member::finish(DaemonReply reply)
{
    reply_ = memory_ && resolved_ ? memory_->remember(address_, request_.port, reply) : reply;
    stage_ = Stage::Done;
    probe_.reset();
    close_connection();
}

void Member::close_connection()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

}  // namespace

void SocketTransport::ask_all(const std::vector<DaemonRequest> &requests,
                              const std::vector<ReplySink *> &sinks,
                              std::vector<DaemonReply> &replies)
{
    replies.assign(requests.size(), DaemonReply{Outcome::Complete});
    const std::unique_ptr<char[]> buffer = read_buffer();
    std::vector<std::unique_ptr<Member>> members;
    members.reserve(requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i)
        members.push_back(std::make_unique<Member>(requests[i], *sinks[i], replies[i]));
    for (auto &member : members)
        member->start();
    std::vector<pollfd> waits;
    std::vector<Member *> waiting;
    for (;;) {
        waits.clear();
        waiting.clear();
        Deadline soonest = kNoDeadline;
        for (auto &member : members) {
            if (member->done())
                continue;
            waits.push_back(member->wanted());
            waiting.push_back(member.get());
            soonest = std::min(soonest, member->wait());
        }
        if (waiting.empty())
            return;
        // Each round waits only for what is left of the soonest deadline, so
        // a signal never restarts a wait with its whole time.
        int rc = poll(waits.data(), waits.size(), milliseconds_left(soonest));
        if (rc < 0 && errno != EINTR) {
            for (Member *member : waiting)
                member->fail({Outcome::ReadError, errno});
            return;
        }
        for (std::size_t i = 0; rc > 0 && i < waits.size(); ++i)
            if (waits[i].revents != 0)
                waiting[i]->ready(buffer.get());
        const Deadline now = Clock::now();
        for (Member *member : waiting)
            if (!member->done() && member->wait() <= now)
                member->expire();
    }
}

}  // namespace kx
