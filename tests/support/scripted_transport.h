// Daemon transports that replay scripted replies instead of asking a daemon,
// in place for the lifetime of the object. Like the socket transport, they
// hand a reply to its sink as bytes, in reads of a fixed size that cut
// lines, so that the clients' line assembly and framing run as they do on a
// socket.
#pragma once

#include "exchange.h"

#include <cerrno>
#include <map>
#include <string>
#include <vector>

namespace kxtest {

using kx::Outcome;
using Lines = std::vector<std::string>;

// The bytes a daemon sends for `lines`: each line and its line feed.
inline std::string reply_bytes(const Lines &lines)
{
    std::string bytes;
    for (const std::string &line : lines) {
        bytes += line;
        bytes += '\n';
    }
    return bytes;
}

// The size of a scripted read: odd, so that reads cut lines and blocks.
constexpr std::size_t kScriptedReadSize = 509;

// Hands `bytes` to `sink` as reads hand them over, kScriptedReadSize at a
// time into a buffer with room behind each read; false when the sink ended
// the exchange.
inline bool feed_bytes(kx::ReplySink &sink, const std::string &bytes)
{
    std::vector<char> buffer(kScriptedReadSize + 1);
    for (std::size_t at = 0; at < bytes.size(); at += kScriptedReadSize) {
        const std::size_t length = std::min(kScriptedReadSize, bytes.size() - at);
        bytes.copy(buffer.data(), length, at);
        buffer[length] = '\0';
        if (!sink.bytes(buffer.data(), length))
            return false;
    }
    return true;
}

// A transport that answers each request of a batch in turn, by answer().
struct ReplayTransport : kx::DaemonTransport {
    ReplayTransport() { kx::set_daemon_transport(this); }
    ~ReplayTransport() override { kx::set_daemon_transport(nullptr); }
    virtual kx::DaemonReply answer(const kx::DaemonRequest &request, kx::ReplySink &sink) = 0;
    void ask_all(const std::vector<kx::DaemonRequest> &requests,
                 const std::vector<kx::ReplySink *> &sinks,
                 std::vector<kx::DaemonReply> &replies) override
    {
        replies.clear();
        for (std::size_t i = 0; i < requests.size(); ++i)
            replies.push_back(answer(requests[i], *sinks[i]));
    }
};

// The reply of an exchange that ends with `outcome` (EFBIG for a reply too
// large, EIO for another cut) after `lines`; a failure before any data
// replays nothing.
inline kx::DaemonReply replay(kx::ReplySink &sink, const Lines &lines, Outcome outcome, int error)
{
    if (kx::exchange_ran(outcome))
        feed_bytes(sink, reply_bytes(lines));
    return {outcome, error};
}

// Replays `lines` to every request, then ends with `outcome`, and remembers
// every request.
struct ScriptedTransport : ReplayTransport {
    kx::DaemonReply answer(const kx::DaemonRequest &request, kx::ReplySink &sink) override
    {
        requests.push_back(request);
        commands.emplace_back(request.command);
        return replay(sink, lines, outcome, outcome == Outcome::TooLarge ? EFBIG : EIO);
    }
    Lines lines;
    Outcome outcome = Outcome::Complete;
    std::vector<kx::DaemonRequest> requests;
    std::vector<std::string> commands;  // every command asked, in order
};

// "status" reply lines: one record block of key=value lines per record.
inline Lines status_blocks(const std::vector<std::vector<std::string>> &records)
{
    Lines lines;
    for (const auto &record : records) {
        lines.push_back("begin");
        lines.insert(lines.end(), record.begin(), record.end());
        lines.push_back("end");
    }
    return lines;
}

struct Script {
    Outcome outcome = Outcome::Complete;
    int error = 0;
    Lines lines;
};

// Answers each command by its script; a command without one is refused.
struct CommandTransport : ReplayTransport {
    kx::DaemonReply answer(const kx::DaemonRequest &request, kx::ReplySink &sink) override
    {
        static const Script refused{Outcome::OpenFailed, ECONNREFUSED, {}};
        auto found = scripts.find(std::string(request.command));
        const Script &script = found != scripts.end() ? found->second : refused;
        return replay(sink, script.lines, script.outcome, script.error);
    }
    std::map<std::string, Script> scripts;
};

// What a healthy server answers.
inline std::map<std::string, Script> healthy_server()
{
    return {
        {"amstatus\n", {Outcome::Complete, 0, {"starttime=1700000100", "desktops=2"}}},
        {"smstatus\n",
         {Outcome::Complete, 0, {"OK/smstatus stime=1700000050 sessions=4 connected=3 auth=1"}}},
        {"status\n",
         {Outcome::Complete,
          0,
          {"begin", "terminalId=IEEE802.0800aa", "terminalIPA=10.0.0.5", "terminalCID=c1",
           "tokenName=t1", "terminalPackets=10", "end"}}},
        {"gstatus\n",
         {Outcome::Complete,
          0,
          {"host kxtest-host lastseen 2 timeoff 0 addr 7f000001 ifs 1 TRUSTED period 20",
           "interface lo addr 7f000001 mask ff000000 bcast 7fffffff lastpkt 3 LAN",
           "host kxmember2 lastseen 2 timeoff 0 addr 7f000002 ifs 1 TRUSTED period 20",
           "interface lo addr 7f000002 mask ff000000 bcast 7fffffff lastpkt 3"}}},
    };
}

}  // namespace kxtest
