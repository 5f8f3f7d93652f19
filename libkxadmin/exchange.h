// The exchange with the product's daemons: one command, then the reply
// until the daemon closes, each wait bounded. One or many hosts go the same
// way, under one poll (as libuv has one read path), and the reply is handed
// over as the bytes read to a ReplySink (reply_framing.h), which the tests'
// scripted transports feed the same way. The probe and the connection are
// ping.h's.
#pragma once

#include "ping.h"
#include "reply_framing.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <netinet/in.h>

namespace kx {

// ---- the daemons -------------------------------------------------------------

constexpr const char *kAuthMgrService = "kxauthd-cb";
constexpr int kAuthMgrFallbackPort = 7010;
constexpr const char *kSessionMgrService = "kxsessiond";
constexpr int kSessionMgrFallbackPort = 7007;

// Bytes asked for by one read. Reading more than one line's worth at a time
// changes nothing a daemon can see and saves system calls on the long
// "status" replies; the line limit is what the parsers rely on. The buffer
// is taken from the heap once per request, never from the caller's stack.
constexpr std::size_t kReadChunkSize = 65536;

// ---- the bounds of a reply -------------------------------------------------------

// Every wait of one exchange. A wait that a signal interrupts resumes with
// what is left of its time, never with the whole time again.
//  - connectMs: the connection must be accepted within it;
//  - firstDataMs: the first data must come within it after the command;
//  - idleMs: after that, the reply may pause this long;
//  - totalMs: the whole reply, from the command on;
//  - maxBytes: a longer reply is cut (EFBIG); it also caps the records that
//    one reply may build (kMinRecordBytes).
// The defaults: 5, 5, 5 and 30 seconds, 64 MiB (over ten times the "status"
// reply of a server with 20,000 terminals).
struct ReplyLimits {
    int connectMs = kConnectTimeoutMs;
    int firstDataMs = 5000;
    int idleMs = 5000;
    int totalMs = 30000;
    std::size_t maxBytes = std::size_t{64} << 20;
};
ReplyLimits reply_limits();
// For tests that exercise the bounds without waiting for the defaults.
void set_reply_limits(const ReplyLimits &limits);

// ---- the clients -------------------------------------------------------------

enum class Opener { Plain, Bound };

// One client of a daemon: how it is named in its messages, how it asks and
// what it makes of a reply cut short.
struct DaemonClient {
    const char *name;           // heads every message: "<name>(): ..."
    const char *debugCategory;  // of the "opening %s:%d" trace
    bool capitalised;           // "Write command failed", "Poll timed out"
    bool quietFailures;         // open and time-out failures are "s" traces
    const char *service;        // TCP service name
    int fallbackPort;           // when the name service does not know it
    bool probe;                 // ping the host before connecting
    Opener opener;
    bool keepsCutReply = true;  // a reply cut short still answers (client_result)
    // Reports a host name that did not resolve in the client's own words,
    // in place of the transport's messages; nullptr for those.
    void (*reportUnresolved)(const char *host) = nullptr;
};

enum class Outcome {
    Complete,     // the daemon closed the connection (or the sink stopped)
    Unreachable,  // the host did not answer the probe
    OpenFailed,   // no connection
    WriteFailed,  // the command could not be written whole
    TimedOut,     // no data within ReplyLimits::firstDataMs
    ReadError,    // the reply ended early: a read error, silence or the total bound
    TooLarge,     // the reply passed ReplyLimits::maxBytes
};

// Whether the exchange ran: the reply came, whole or cut short.
constexpr bool exchange_ran(Outcome outcome)
{
    return outcome == Outcome::Complete || outcome == Outcome::ReadError ||
           outcome == Outcome::TooLarge;
}

// What a client tells its caller of its exchange, the one convention of
// every client: 0 when the reply is taken (whole and `madeSense`, or cut
// short by a client that keeps what came); KX_EUNREACHABLE, KX_ESOCKET,
// KX_ESOCKWRITE or KX_EAMTIMEOUT when the exchange did not run; -1 for a
// whole reply that made no sense or a cut one that the client does not
// keep. The routines whose documented result is a count or a list give
// their failure value for any result but 0.
int client_result(const DaemonClient &client, Outcome outcome, bool madeSense = true);

// ---- one request --------------------------------------------------------------

struct DaemonRequest {
    const DaemonClient *client;
    const char *host;
    int port;
    std::string_view command;         // with its line feed
    Deadline deadline = kNoDeadline;  // the whole request, on top of the reply bounds
};

struct DaemonReply {
    Outcome outcome;
    int error = 0;  // errno of a ReadError or OpenFailed (ETIMEDOUT when a bound
                    // was hit; kLookupFailed when the name did not resolve)
    bool recalled = false;  // not asked: the handle remembers this failure
};

// Whether the failure cost a wait: the host or daemon did not answer in
// time. A refused or reset connection costs nothing and is not one.
bool timed_out(const DaemonReply &reply);

// The daemons that did not answer in time, as a handle remembers them for
// kDaemonMemorySeconds: within that time they are not asked again, and the
// request fails at once as it did then. Keyed by address and port, so that
// "localhost" and the host's own name are one daemon.
constexpr int kDaemonMemorySeconds = 10;
class DaemonMemory {
public:
    // The failure remembered for this daemon, or nullptr.
    const DaemonReply *recall(in_addr address, int port);
    // Remembers `reply` when it timed out; returns it.
    DaemonReply remember(in_addr address, int port, DaemonReply reply);
    void clear() { entries_.clear(); }

private:
    struct Entry {
        in_addr_t address;
        int port;
        Clock::time_point until;
        DaemonReply reply;
    };
    // At most this many daemons: a group has at most 64 members and a
    // server two daemons.
    static constexpr std::size_t kMaxEntries = 256;
    std::vector<Entry> entries_;
};

// ---- the transport --------------------------------------------------------------

// Asks daemons their commands and hands each reply, in order, to its sink.
// Writes no message: the caller reports the outcome.
class DaemonTransport {
public:
    virtual ~DaemonTransport() = default;
    // Asks every request; replies[i] answers requests[i], and sinks[i] gets
    // its reply's bytes (the replies of different requests may interleave).
    // The socket transport asks them all at once.
    virtual void ask_all(const std::vector<DaemonRequest> &requests,
                         const std::vector<ReplySink *> &sinks,
                         std::vector<DaemonReply> &replies) = 0;
    // One request, as ask_all of one.
    DaemonReply ask(const DaemonRequest &request, ReplySink &sink);
};

// The transport over real sockets, and the one the clients use: the real one
// unless a test has put another in place (nullptr puts the real one back).
DaemonTransport &socket_transport();
DaemonTransport &daemon_transport();
void set_daemon_transport(DaemonTransport *transport);

// The port of the client's service, or its fallback port with the client's
// two messages when the name service does not know it.
int daemon_port(const DaemonClient &client);

// Tells the running query that the reply of the daemon behind `service` on
// `host` made no sense (KXS_EREPLY): "session manager on srv1:7007 " + `what`.
void note_reply_fault(const char *service, int fallbackPort, const char *host,
                      const std::string &what);

// The whole request of a client: the port lookup, the exchange through the
// daemon transport, and the client's message for any failure.
Outcome ask_daemon(const DaemonClient &client, const char *host, std::string_view command,
                   ReplySink &sink, Deadline deadline = kNoDeadline);
// The same with the reply's lines handed to `onLine`.
Outcome ask_daemon(const DaemonClient &client, const char *host, std::string_view command,
                   const LineHandler &onLine, Deadline deadline = kNoDeadline);

// The same request of many hosts at once: each host probed, connected and
// read under one poll, each with its own deadlines and the bounds of
// ReplyLimits, all done by `deadline`, so the whole costs about the slowest
// host rather than the sum. The failures are reported in the order of
// `hosts`, once every host is done; the outcomes come back in that order.
// sinks[i] receives the reply of hosts[i].
std::vector<Outcome> ask_daemons(const DaemonClient &client, const std::vector<const char *> &hosts,
                                 std::string_view command, const std::vector<ReplySink *> &sinks,
                                 Deadline deadline = kNoDeadline);

}  // namespace kx
