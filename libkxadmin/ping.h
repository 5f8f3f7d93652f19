// What every client of the product's daemons shares: the reachability
// probe, the connection opener, the one-command exchange with its bounded
// reply wait, line reassembly and the record-block framing.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include <netinet/in.h>

namespace kx {

// ---- the daemons -------------------------------------------------------------

constexpr const char *kAuthMgrService = "kxauthd-cb";
constexpr int kAuthMgrFallbackPort = 7010;
constexpr const char *kSessionMgrService = "kxsessiond";
constexpr int kSessionMgrFallbackPort = 7007;

// ---- sizes of the reply ------------------------------------------------------

// Bytes asked for by one read. Reading more than one line's worth at a time
// changes nothing a daemon can see and saves a system call per line on the
// long "status" replies; the line limit below is what the parsers rely on.
constexpr std::size_t kReadChunkSize = 16384;
// Longest line handed to a parser. A longer line is dropped whole (with a
// diagnostic): a cut line would hand a parser a value that the daemon never
// sent.
constexpr std::size_t kMaxLineLength = 511;
// Longest text of a record or host block. A line that would make the block
// longer is left out of it.
constexpr std::size_t kMaxBlockLength = 2047;

// ---- waiting for the reply -----------------------------------------------------

// Wait for the first data after the command.
constexpr int kFirstDataTimeoutMs = 5000;

// After the first data, a reply must keep coming: a daemon that holds the
// connection open and silent for `idleMs`, or that is still sending `totalMs`
// after the command was written, has its reply ended as a read error with
// ETIMEDOUT. The defaults are 5 seconds of silence and 30 seconds in all.
// A reply of more than `maxBytes` is ended the same way (with EFBIG): what a
// reply may build in memory stays bounded. 64 MiB is over ten times the
// "status" reply of a server with 20,000 terminals (about 4 MiB).
struct ReplyLimits {
    int idleMs = 5000;
    int totalMs = 30000;
    std::size_t maxBytes = std::size_t{64} << 20;
};
ReplyLimits reply_limits();
// For tests that exercise the bounds without waiting for the defaults.
void set_reply_limits(ReplyLimits limits);

// ---- reachability probe -----------------------------------------------------

// 0 when the host answered the host system's ping within 5 seconds; 0 for a
// NULL host; EINVAL for an empty one; otherwise errno when the probe could
// not be started, the ping's exit status, 4 when it was killed by a signal or
// killed at its bound (7 seconds), 3 when it stopped (it is then killed, so
// that the probe never waits without end). When another part of the process
// reaped the probe, its output decides: 0 when it shows the answer, ECHILD
// otherwise.
int ping_host(const char *host);
// What ping_host's child runs, for a caller that forked a child itself: every
// descriptor above 2 closed, /dev/null on 0 to 2, then the host's ping.
// Returns only on failure, with errno.
int execping(const char *host);

// ---- openers ----------------------------------------------------------------

// Connects to `host` (a dotted IPv4 address or a name) on TCP `port`, with
// keep-alive set. Returns the descriptor in blocking mode, or -1 after
// reporting the failure with dprintf and, under the tag "socket", log_admin.
// The connection attempt itself is bounded by kConnectTimeoutMs.
int open_socket(const char *host, int port);
constexpr int kConnectTimeoutMs = 5000;

// Connects the socket `fd` to `address` within kConnectTimeoutMs and leaves
// it in blocking mode. Returns 0, or -1 with errno set (ETIMEDOUT when the
// bound was hit).
int connect_bounded(int fd, const sockaddr_in &address);

// ---- the exchange -----------------------------------------------------------

// How a client is named in the messages of the exchange.
struct DaemonClient {
    const char *name;           // heads every message: "<name>(): ..."
    const char *debugCategory;  // of the "opening %s:%d" trace
    bool capitalised = false;   // "Write command failed", "Poll timed out"
    bool quietFailures = false; // open and time-out failures are "s" traces
};

// The port of `service`, or `fallbackPort` with the client's two messages
// when the name service does not know it.
int daemon_port(const DaemonClient &client, const char *service, int fallbackPort);

// The "opening host:port" trace and the client's open-failure message.
void trace_opening(const DaemonClient &client, const char *host, int port);
void report_open_failure(const DaemonClient &client, const char *host, int port);
void report_no_response(const DaemonClient &client, const char *host, int port);

enum class ExchangeStatus {
    Complete,    // the daemon closed the connection
    ReadError,   // the reply ended early (read error or a reply bound hit)
    WriteFailed, // the command could not be written whole
    TimedOut,    // no data within kFirstDataTimeoutMs
};

// Receives one complete reply line, up to its first NUL if it holds one;
// line.data() is NUL-terminated. Returns false to end the exchange there.
using LineHandler = std::function<bool(std::string_view line)>;

// Sends `command` on the connected descriptor `fd` and hands each complete
// reply line, in order, to `onLine`. Reports write, time-out and read
// failures with the client's messages. Does not close `fd`. A handler that
// returns false ends the exchange as Complete.
ExchangeStatus exchange_command(const DaemonClient &client, int fd, std::string_view command,
                                const LineHandler &onLine);

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

private:
    const DaemonClient &client_;
    std::string pending_;
    bool overlong_ = false;  // the pending line passed kMaxLineLength
};

// One step of the record-block framing: "begin" empties the block text and
// "end" returns true (the block is closed and `blockText` holds it); any
// other line is appended to the block with a line feed, as long as the block
// stays within kMaxBlockLength.
bool frame_record_line(std::string &blockText, std::string_view line);

// Appends `line` and a line feed when the block stays within
// kMaxBlockLength; returns false (the block unchanged) otherwise.
bool append_block_line(std::string &blockText, std::string_view line);

}  // namespace kx
