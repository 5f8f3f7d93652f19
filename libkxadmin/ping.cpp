#include "ping.h"

#include "hostname.h"
#include "platform/ping.h"
#include "platform/spawner.h"
#include "utils.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <csignal>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kx {

namespace {

ReplyLimits gReplyLimits;

using Clock = std::chrono::steady_clock;

int milliseconds_left(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// poll for one event, resumed after signals. Returns poll's result.
int poll_one(int fd, short events, int timeoutMs)
{
    pollfd entry{fd, events, 0};
    int rc;
    while ((rc = poll(&entry, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return rc;
}

int set_blocking(int fd, bool blocking)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags);
}

void report_write_failure(const DaemonClient &client)
{
    if (client.capitalised)
        dprintf("%s(): Write command failed\n", client.name);
    else
        dprintf("%s(): write command failed\n", client.name);
}

void report_timeout(const DaemonClient &client)
{
    if (client.quietFailures)
        dlprintf("s", "%s(): poll timed out\n", client.name);
    else if (client.capitalised)
        dprintf("%s(): Poll timed out\n", client.name);
    else
        dprintf("%s(): poll timed out\n", client.name);
}

void report_read_error(const DaemonClient &client, int error)
{
    dprintf("%s(): read error - %s\n", client.name, strerror(error));
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

}  // namespace

ReplyLimits reply_limits()
{
    return gReplyLimits;
}

void set_reply_limits(ReplyLimits limits)
{
    gReplyLimits = limits;
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
constexpr std::chrono::seconds kProbeBound{platform::kPingWaitSeconds + 2};

// The probe ended but its wait status went to someone else: only its output
// can tell whether the host answered.
int probe_result_without_status(const char *host, const platform::SpawnResult &probe)
{
    bool answered = platform::ping_output_shows_answer(probe.output);
    dprintf("ping_host(): the exit status of the probe of %s was lost: another part of the "
            "process reaped it. The host process must not reap children it did not start. "
            "Its output says the host %s.\n",
            host, answered ? "answered" : "did not answer");
    return answered ? 0 : ECHILD;
}

}  // namespace

int ping_host(const char *host)
{
    if (!host)
        return 0;
    if (!*host)
        return EINVAL;
    platform::SpawnResult probe = platform::run_ping(host, kProbeBound);
    if (!probe.reaped)
        dprintf("ping_host(): the probe of %s was killed but not yet reaped\n", host);
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
        dprintf("ping_host(): the probe of %s was killed: it ran past %d seconds, printed too "
                "much or left its output open\n",
                host, static_cast<int>(kProbeBound.count()));
        return 4;
    case platform::ChildEnd::Finished:
        break;
    }
    if (WIFEXITED(probe.waitStatus))
        return WEXITSTATUS(probe.waitStatus);
    return WIFSIGNALED(probe.waitStatus) ? 4 : 3;
}

// ---- openers --------------------------------------------------------------------

int connect_bounded(int fd, const sockaddr_in &address)
{
    if (set_blocking(fd, false) < 0)
        return -1;
    const auto *target = reinterpret_cast<const sockaddr *>(&address);
    if (connect(fd, target, sizeof address) < 0) {
        if (errno != EINPROGRESS && errno != EINTR)
            return -1;
        int ready = poll_one(fd, POLLOUT, kConnectTimeoutMs);
        if (ready < 0)
            return -1;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
            return -1;
        if (error != 0) {
            errno = error;
            return -1;
        }
    }
    return set_blocking(fd, true);
}

int open_socket(const char *host, int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (!platform::resolve_ipv4(host, address.sin_addr)) {
        dprintf("open_socket(): Could not get host by name (%s)\n", host ? host : "(null)");
        log_admin("socket", "Error getting host by name (%s).", host ? host : "(null)");
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        const char *reason = strerror(errno);
        dprintf("open_socket(): Could not open socket - %s\n", reason);
        log_admin("socket", "Error opening socket - %s.", reason);
        return -1;
    }
    if (connect_bounded(fd, address) < 0) {
        const char *reason = strerror(errno);
        dprintf("open_socket(): Could not connect - %s\n", reason);
        log_admin("socket", "Error connecting - %s.", reason);
        close(fd);
        return -1;
    }
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0) {
        const char *reason = strerror(errno);
        dprintf("open_socket(): Could not set SO_KEEPALIVE - %s\n", reason);
        log_admin("socket", "Error setting SO_KEEPALIVE - %s.", reason);
    }
    return fd;
}

// ---- the exchange -------------------------------------------------------------

int daemon_port(const DaemonClient &client, const char *service, int fallbackPort)
{
    servent entry{};
    servent *found = nullptr;
    char work[1024];
    if (getservbyname_r(service, "tcp", &entry, work, sizeof work, &found) == 0 && found)
        return ntohs(static_cast<uint16_t>(found->s_port));
    dprintf("%s(): Could not find service (%s)\n", client.name, service);
    dprintf("%s(): Using hard-coded port (%d)\n", client.name, fallbackPort);
    return fallbackPort;
}

void trace_opening(const DaemonClient &client, const char *host, int port)
{
    dlprintf(client.debugCategory, "opening %s:%d\n", host, port);
}

void report_open_failure(const DaemonClient &client, const char *host, int port)
{
    if (client.quietFailures)
        dlprintf("s", "%s(): Could not open socket to %s:%d\n", client.name, host, port);
    else
        dprintf("%s(): Could not open socket to %s:%d\n", client.name, host, port);
}

void report_no_response(const DaemonClient &client, const char *host, int port)
{
    dprintf("%s(): No response from host %s:%d\n", client.name, host, port);
}

ExchangeStatus exchange_command(const DaemonClient &client, int fd, std::string_view command,
                                const LineHandler &onLine)
{
    const ReplyLimits limits = gReplyLimits;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limits.totalMs);
    if (set_blocking(fd, false) < 0 || !write_command(fd, command)) {
        report_write_failure(client);
        return ExchangeStatus::WriteFailed;
    }
    // A failed poll (rather than a time-out) goes on to read, which then
    // reports what is wrong with the connection.
    if (poll_one(fd, POLLIN, kFirstDataTimeoutMs) == 0) {
        report_timeout(client);
        return ExchangeStatus::TimedOut;
    }
    LineAssembler lines(client);
    char chunk[kReadChunkSize + 1];
    std::size_t received = 0;
    for (;;) {
        ssize_t got = read(fd, chunk, kReadChunkSize);
        if (got == 0)
            return ExchangeStatus::Complete;
        if (got > 0) {
            chunk[got] = '\0';
            if (!lines.feed(chunk, static_cast<std::size_t>(got), onLine))
                return ExchangeStatus::Complete;
            received += static_cast<std::size_t>(got);
            int bound = received > limits.maxBytes ? EFBIG
                        : milliseconds_left(deadline) == 0 ? ETIMEDOUT
                                                           : 0;
            if (bound) {
                report_read_error(client, bound);
                return ExchangeStatus::ReadError;
            }
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            report_read_error(client, errno);
            return ExchangeStatus::ReadError;
        }
        // Nothing yet: sleep until data comes, within both bounds.
        int wait = std::min(limits.idleMs, milliseconds_left(deadline));
        int ready = wait > 0 ? poll_one(fd, POLLIN, wait) : 0;
        if (ready <= 0) {
            report_read_error(client, ready == 0 ? ETIMEDOUT : errno);
            return ExchangeStatus::ReadError;
        }
    }
}

bool LineAssembler::feed(char *data, std::size_t length, const LineHandler &onLine)
{
    // A line ends at its first NUL, as a C string would. Most reads hold
    // none, and then a line's length is simply its bytes up to the feed.
    const bool holdsNul = std::memchr(data, '\0', length) != nullptr;
    char *end = data + length;
    while (data < end) {
        char *feed = static_cast<char *>(std::memchr(data, '\n', end - data));
        std::size_t pieceLength = (feed ? feed : end) - data;
        bool fits = !overlong_ && pending_.size() + pieceLength <= kMaxLineLength;
        if (!feed) {
            if (fits)
                pending_.append(data, pieceLength);
            else
                overlong_ = true;
            return true;
        }
        bool goOn = true;
        if (!fits) {
            dprintf("%s(): dropped a reply line longer than %zu bytes\n", client_.name,
                    kMaxLineLength);
        } else if (pending_.empty()) {
            // The whole line is in this read: handed over in place.
            *feed = '\0';
            goOn = onLine(holdsNul ? std::string_view(data) : std::string_view(data, pieceLength));
        } else {
            pending_.append(data, pieceLength);
            goOn = onLine(std::string_view(pending_.c_str()));
        }
        pending_.clear();
        overlong_ = false;
        if (!goOn)
            return false;
        data = feed + 1;
    }
    return true;
}

bool append_block_line(std::string &blockText, std::string_view line)
{
    if (blockText.size() + line.size() + 1 > kMaxBlockLength)
        return false;
    blockText.append(line);
    blockText.push_back('\n');
    return true;
}

bool frame_record_line(std::string &blockText, std::string_view line)
{
    if (line == "begin") {
        blockText.clear();
        return false;
    }
    if (line == "end")
        return true;
    append_block_line(blockText, line);
    return false;
}

}  // namespace kx
