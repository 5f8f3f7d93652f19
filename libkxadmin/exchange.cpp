#include "exchange.h"

#include "descriptor.h"
#include "hostname.h"
#include "kxerrno.h"
#include "platform/ping.h"
#include "query_status.h"
#include "utils.h"

#include "kxsmon.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kx {

namespace {

ReplyLimits gReplyLimits;

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

// The client's messages for the outcome of its exchange with `host`.
void report_outcome(const DaemonClient &client, const char *host, int port, DaemonReply reply)
{
    if (reply.error == kLookupFailed && client.reportUnresolved) {
        client.reportUnresolved(host);
        return;
    }
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

// The code of an exchange that did not run.
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

}  // namespace

ReplyLimits reply_limits()
{
    return gReplyLimits;
}

void set_reply_limits(const ReplyLimits &limits)
{
    gReplyLimits = limits;
}

int client_result(const DaemonClient &client, Outcome outcome, bool madeSense)
{
    if (!exchange_ran(outcome))
        return outcome_error(outcome);
    if (outcome == Outcome::Complete)
        return madeSense ? 0 : -1;
    return client.keepsCutReply ? 0 : -1;
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

// ---- the exchange of one host ------------------------------------------------------

namespace {

// One host of a request: its stage, the descriptor it waits on and the
// deadline of that wait. Every request goes this way, one host or many.
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
    Member(const Member &) = delete;
    Member &operator=(const Member &) = delete;

    void start();
    bool done() const { return stage_ == Stage::Done; }
    pollfd wanted() const
    {
        short events = stage_ == Stage::Connect ? POLLOUT : POLLIN;
        return {stage_ == Stage::Probe ? probe_->fd() : fd_.get(), events, 0};
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
    platform::Descriptor fd_;
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
    fd_.reset(begin_connect(style_, address_, request_.port, inProgress, error));
    if (!fd_)
        return finish({Outcome::OpenFailed, error});
    stage_ = Stage::Connect;
    wait_ = connectBound;
    if (!inProgress)
        connected();
}

void Member::connected()
{
    int error = 0;
    if (!finish_connect(style_, fd_.get(), error))
        return finish({Outcome::OpenFailed, error});
    if (!write_command(fd_.get(), request_.command))
        return finish({Outcome::WriteFailed});
    whole_ = deadline_in(gReplyLimits.totalMs, request_.deadline);
    wait_ = deadline_in(gReplyLimits.firstDataMs, whole_);
    stage_ = Stage::FirstData;
}

// The one read loop: what the socket holds now, each read handed to the
// sink, until it would block (then the poll waits, within the idle and total
// bounds), closes, fails or passes the byte bound. A failed poll, rather
// than a time-out, comes here too: the read then tells what is wrong.
void Member::read_reply(char *chunk)
{
    for (;;) {
        ssize_t got = read(fd_.get(), chunk, kReadChunkSize);
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
    fd_.reset();
}

// The transport over real sockets: every host of a request probed,
// connected and read under one poll.
class SocketTransport : public DaemonTransport {
public:
    void ask_all(const std::vector<DaemonRequest> &requests, const std::vector<ReplySink *> &sinks,
                 std::vector<DaemonReply> &replies) override;
};

void SocketTransport::ask_all(const std::vector<DaemonRequest> &requests,
                              const std::vector<ReplySink *> &sinks,
                              std::vector<DaemonReply> &replies)
{
    replies.assign(requests.size(), DaemonReply{Outcome::Complete});
    // One read buffer, with room for the NUL behind the last line.
    const auto buffer = std::make_unique<char[]>(kReadChunkSize + 1);
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

SocketTransport gSocketTransport;
std::atomic<DaemonTransport *> gTransport{nullptr};

}  // namespace

// ---- the transport and the clients' requests ----------------------------------------

DaemonReply DaemonTransport::ask(const DaemonRequest &request, ReplySink &sink)
{
    std::vector<DaemonReply> replies;
    ask_all({request}, {&sink}, replies);
    return replies.empty() ? DaemonReply{Outcome::OpenFailed} : replies.front();
}

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
                   ReplySink &sink, Deadline deadline)
{
    return ask_daemons(client, {host}, command, {&sink}, deadline).front();
}

Outcome ask_daemon(const DaemonClient &client, const char *host, std::string_view command,
                   const LineHandler &onLine, Deadline deadline)
{
    LineSink sink(client.name, onLine);
    return ask_daemon(client, host, command, sink, deadline);
}

}  // namespace kx
