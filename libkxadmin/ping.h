// What every client of the product's daemons shares: the reachability
// probe, the connection opener, the one-command exchange with its bounded
// reply wait, line reassembly and the record-block framing, all behind one
// transport that tests can replace with scripted replies.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <netinet/in.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kx {

// ---- the daemons -------------------------------------------------------------

constexpr const char *kAuthMgrService = "kxauthd-cb";
constexpr int kAuthMgrFallbackPort = 7010;
constexpr const char *kSessionMgrService = "kxsessiond";
constexpr int kSessionMgrFallbackPort = 7007;

// ---- sizes of the reply ------------------------------------------------------

// Bytes asked for by one read. Reading more than one line's worth at a time
// changes nothing a daemon can see and saves system calls on the long
// "status" replies; the line limit below is what the parsers rely on. The
// buffer is taken from the heap once per request, never from the caller's
// stack.
constexpr std::size_t kReadChunkSize = 65536;
// Longest line handed to a parser. A longer line is dropped whole (with a
// diagnostic): a cut line would hand a parser a value that the daemon never
// sent.
constexpr std::size_t kMaxLineLength = 511;
// Longest text of a record or host block. A line that would make the block
// longer is left out of it.
constexpr std::size_t kMaxBlockLength = 2047;
// Fewest reply bytes that one record of a "status" reply is allowed to
// cost: a real record carries an identifier, an address and a token and
// runs to some 200 bytes. The records one reply may build are capped at its
// byte bound divided by this (a million for 64 MiB, fifty times a server of
// 20,000 terminals), so what a reply builds stays proportional to what it
// sent.
constexpr std::size_t kMinRecordBytes = 64;

// ---- time -----------------------------------------------------------------------

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;
constexpr Deadline kNoDeadline = Deadline::max();

// The sooner of `deadline` and `ms` milliseconds from now.
Deadline deadline_in(int ms, Deadline deadline = kNoDeadline);

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
constexpr int kConnectTimeoutMs = 5000;
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
// The most records one reply may build.
std::size_t max_reply_records();

// ---- figures of a reply ------------------------------------------------------

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

// ---- the exchange -----------------------------------------------------------

enum class Opener { Plain, Bound };

// One client of a daemon: how it is named in its messages and how it asks.
struct DaemonClient {
    const char *name;           // heads every message: "<name>(): ..."
    const char *debugCategory;  // of the "opening %s:%d" trace
    bool capitalised;           // "Write command failed", "Poll timed out"
    bool quietFailures;         // open and time-out failures are "s" traces
    const char *service;        // TCP service name
    int fallbackPort;           // when the name service does not know it
    bool probe;                 // ping the host before connecting
    Opener opener;
};

enum class Outcome {
    Complete,     // the daemon closed the connection (or the handler stopped)
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

// The client result of an exchange that did not run: KX_EUNREACHABLE,
// KX_ESOCKET, KX_ESOCKWRITE or KX_EAMTIMEOUT. 0 when it ran, whole or cut
// short: each client decides what a cut reply is worth.
int outcome_error(Outcome outcome);

// Receives one complete reply line, up to its first NUL if it holds one;
// line.data() is NUL-terminated. Returns false to end the exchange there.
using LineHandler = std::function<bool(std::string_view line)>;

struct DaemonRequest {
    const DaemonClient *client;
    const char *host;
    int port;
    std::string_view command;      // with its line feed
    Deadline deadline = kNoDeadline;  // the whole request, on top of the reply bounds
};

// DaemonReply::error of an exchange that failed because the host's name
// could not be looked up.
constexpr int kLookupFailed = -1;

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

// Receives one reply. A transport that reads the connection hands over the
// bytes as read, and the sink makes lines of them itself (a LineAssembler),
// so that a long reply is parsed in one pass over the read buffer with no
// call per line; a transport that has whole lines already hands over those.
class ReplySink {
public:
    virtual ~ReplySink() = default;
    // The next bytes of the reply; data[length] may be written. False ends
    // the exchange.
    virtual bool bytes(char *data, std::size_t length) = 0;
    // The next reply line, as a LineHandler receives it.
    virtual bool line(std::string_view line) = 0;
};

// Asks a daemon one command and hands the reply, in order, to a sink or,
// line by line, to a handler. Writes no message: the caller reports the
// outcome.
class DaemonTransport {
public:
    virtual ~DaemonTransport() = default;
    virtual DaemonReply ask(const DaemonRequest &request, const LineHandler &onLine) = 0;
    // This one hands over the lines that ask() gives; the socket transport
    // hands over the bytes as read.
    virtual DaemonReply ask_into(const DaemonRequest &request, ReplySink &sink);
    // Asks every request; replies[i] answers requests[i], and sinks[i] gets
    // its reply (the replies of different requests may interleave). This
    // one asks one request after the other; the socket transport asks them
    // all at once.
    virtual void ask_all(const std::vector<DaemonRequest> &requests,
                         const std::vector<ReplySink *> &sinks, std::vector<DaemonReply> &replies);
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
                   const LineHandler &onLine, Deadline deadline = kNoDeadline);
Outcome ask_daemon_into(const DaemonClient &client, const char *host, std::string_view command,
                        ReplySink &sink, Deadline deadline = kNoDeadline);

// The same request of many hosts at once: each host probed, connected and
// read under one poll, each with its own deadlines and the bounds of
// ReplyLimits, all done by `deadline`, so the whole costs about the slowest
// host rather than the sum. The failures are reported in the order of
// `hosts`, once every host is done; the outcomes come back in that order.
// sinks[i] receives the reply of hosts[i].
std::vector<Outcome> ask_daemons(const DaemonClient &client, const std::vector<const char *> &hosts,
                                 std::string_view command, const std::vector<ReplySink *> &sinks,
                                 Deadline deadline = kNoDeadline);

// Sends `command` on the connected descriptor `fd` and hands the reply to
// `sink`, within the bounds of ReplyLimits and `deadline`. Does not close
// `fd`.
DaemonReply exchange_command(const DaemonClient &client, int fd, std::string_view command,
                             ReplySink &sink, Deadline deadline = kNoDeadline);

// Joins the bytes of successive reads into lines ended by a line feed. The
// line feed is not part of the line; a carriage return stays. Text after the
// last line feed is held until more arrives, and never handed over if
// nothing does. A line that lies whole in one read is handed over in place:
// feed writes a NUL over its line feed in the caller's buffer.
class LineAssembler {
public:
    explicit LineAssembler(const DaemonClient &client) : client_(client) {}
    // False when the handler asked to stop.
    bool feed(char *data, std::size_t length, const LineHandler &onLine);
    // The same for a handler known at compile time (bool(std::string_view)),
    // so that a parser's step is inlined into the scan of the read buffer.
    template <class OnLine>
    bool feed_each(char *data, std::size_t length, OnLine &&onLine);

private:
    void report_overlong() const;

    const DaemonClient &client_;
    std::string pending_;
    bool overlong_ = false;  // the pending line passed kMaxLineLength
};

// The line feeds of a buffer, in order, found 64 bytes at a time: a reply's
// lines are short, and one search per line would cost more than the line.
class LineFeeds {
public:
    LineFeeds(char *data, std::size_t length)
        : block_(data), end_(data + length), feeds_(feeds_in(block_))
    {
    }
    // The next line feed, or nullptr when there is none.
    char *next()
    {
        while (feeds_ == 0) {
            if (end_ - block_ <= 64)
                return nullptr;
            block_ += 64;
            feeds_ = feeds_in(block_);
        }
        char *feed = block_ + __builtin_ctzll(feeds_);
        feeds_ &= feeds_ - 1;
        return feed;
    }

private:
    // One bit a byte of the 64 from `at` (as far as the buffer goes).
    uint64_t feeds_in(const char *at) const
    {
        if (end_ - at >= 64)
            return feeds_in_whole(at);
        char last[64] = {};  // the buffer's last bytes, read no further
        std::memcpy(last, at, static_cast<std::size_t>(end_ - at));
        return feeds_in_whole(last);
    }
    static uint64_t feeds_in_whole(const char *at)
    {
#if defined(__SSE2__)
        const __m128i feed = _mm_set1_epi8('\n');
        uint64_t bits = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at + 16 * i));
            auto mask = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, feed)));
            bits |= static_cast<uint64_t>(mask) << (16 * i);
        }
        return bits;
#else
        uint64_t bits = 0;
        for (int i = 0; i < 64; ++i)
            bits |= static_cast<uint64_t>(at[i] == '\n') << i;
        return bits;
#endif
    }

    char *block_;
    char *end_;
    uint64_t feeds_;
};

template <class OnLine>
bool LineAssembler::feed_each(char *data, std::size_t length, OnLine &&onLine)
{
    // A line ends at its first NUL, as a C string would. Most reads hold
    // none, and then a line's length is simply its bytes up to the feed.
    const bool holdsNul = std::memchr(data, '\0', length) != nullptr;
    char *end = data + length;
    LineFeeds feeds(data, length);
    char *feed = feeds.next();
    if (!pending_.empty() || overlong_) {
        // The line that an earlier read began.
        const auto pieceLength = static_cast<std::size_t>((feed ? feed : end) - data);
        const bool fits = !overlong_ && pending_.size() + pieceLength <= kMaxLineLength;
        if (!feed) {
            if (fits)
                pending_.append(data, pieceLength);
            else
                overlong_ = true;
            return true;
        }
        bool goOn = true;
        if (!fits) {
            report_overlong();
        } else {
            pending_.append(data, pieceLength);
            goOn = onLine(std::string_view(pending_.c_str()));
        }
        pending_.clear();
        overlong_ = false;
        if (!goOn)
            return false;
        data = feed + 1;
        feed = feeds.next();
    }
    // The lines that lie whole in this read are handed over in place.
    for (; feed; feed = feeds.next()) {
        const auto lineLength = static_cast<std::size_t>(feed - data);
        if (lineLength > kMaxLineLength) {
            report_overlong();
        } else {
            *feed = '\0';
            if (!onLine(holdsNul ? std::string_view(data) : std::string_view(data, lineLength)))
                return false;
        }
        data = feed + 1;
    }
    // What follows the last line feed waits for the next read.
    const auto rest = static_cast<std::size_t>(end - data);
    if (rest > kMaxLineLength)
        overlong_ = true;
    else
        pending_.assign(data, rest);
    return true;
}

// A sink that makes lines of the bytes and hands each to a LineHandler.
class LineSink : public ReplySink {
public:
    LineSink(const DaemonClient &client, const LineHandler &onLine)
        : lines_(client), onLine_(onLine)
    {
    }
    bool bytes(char *data, std::size_t length) override
    {
        return lines_.feed(data, length, onLine_);
    }
    bool line(std::string_view line) override { return onLine_(line); }

private:
    LineAssembler lines_;
    const LineHandler &onLine_;
};

// The framing rules of a "status" reply, line by line, for readers that
// build their records as the lines come rather than from a block text.
class BlockFraming {
public:
    enum class Step {
        Open,   // "begin": a new block starts
        Add,    // the line belongs to the block
        Close,  // the block is complete: build its record
        Skip,   // the line is not part of any block handed over
    };
    explicit BlockFraming(const char *clientName = "reply")
        : clientName_(clientName), maxRecords_(max_reply_records())
    {
    }
    // Inline: a long reply steps through here once a line.
    Step step(std::string_view line)
    {
        if (line == "begin") {
            blockLength_ = 0;
            handedOver_ = false;
            return Step::Open;
        }
        if (handedOver_)
            return Step::Skip;
        if (line != "end") {
            // The line and its feed must fit the block, as append_block_line has it.
            if (blockLength_ + line.size() + 1 > kMaxBlockLength)
                return Step::Skip;
            blockLength_ += line.size() + 1;
            return Step::Add;
        }
        handedOver_ = true;
        if (records_ >= maxRecords_) {
            if (records_++ == maxRecords_)
                report_dropped();
            return Step::Skip;
        }
        ++records_;
        return Step::Close;
    }

private:
    void report_dropped() const;

    const char *clientName_;
    std::size_t maxRecords_;
    std::size_t records_ = 0;
    std::size_t blockLength_ = 0;  // of the block text the lines added so far make
    bool handedOver_ = false;
};

// The record-block framing of a "status" reply: "begin" opens a block,
// other lines are gathered into it (as long as it stays within
// kMaxBlockLength), and "end" closes it and hands it over. An "end" without
// a "begin" before it hands over what came so far; once a block is handed
// over, nothing more is until the next "begin", so a run of "end" lines
// hands one block over once, not once per line. At most max_reply_records()
// blocks are handed over in one reply; the rest are dropped with a
// diagnostic.
class RecordFramer {
public:
    explicit RecordFramer(const char *clientName = "reply") : framing_(clientName) {}
    // The block text that this line closes, or nullptr.
    const char *line(std::string_view line);

private:
    BlockFraming framing_;
    std::string block_;
};

// Tells a reply of record blocks from one that holds text but no block at
// all: a daemon that answers something else (an error text, noise) has not
// said that it has no records.
class ReplyShape {
public:
    void line(std::string_view line)
    {
        if (line == "begin" || line == "end")
            framed_ = true;
        else if (!line.empty())
            text_ = true;
    }
    // False when the reply held text and no "begin" or "end".
    bool holds_blocks() const { return framed_ || !text_; }

private:
    bool framed_ = false;
    bool text_ = false;
};

// Appends `line` and a line feed when the block stays within
// kMaxBlockLength; returns false (the block unchanged) otherwise.
bool append_block_line(std::string &blockText, std::string_view line);

}  // namespace kx
