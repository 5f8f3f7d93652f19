// A daemon transport that replays scripted reply lines instead of asking a
// daemon, in place for the lifetime of the object.
#pragma once

#include "ping.h"

#include <cerrno>
#include <map>
#include <string>
#include <vector>

namespace kxtest {

struct ScriptedTransport : kx::DaemonTransport {
    ScriptedTransport() { kx::set_daemon_transport(this); }
    ~ScriptedTransport() override { kx::set_daemon_transport(nullptr); }
    // Replays `lines` when the exchange runs, then ends with `outcome`.
    kx::DaemonReply ask(const kx::DaemonRequest &request, const kx::LineHandler &onLine) override
    {
        commands.emplace_back(request.command);
        for (std::size_t i = 0; kx::exchange_ran(outcome) && i < lines.size(); ++i)
            if (!onLine(lines[i]))
                break;
        return {outcome, EIO};
    }
    std::vector<std::string> lines;
    std::vector<std::string> commands;  // every command asked, in order
    kx::Outcome outcome = kx::Outcome::Complete;
};

// "status" reply lines: one record block of key=value lines per record.
inline std::vector<std::string> status_blocks(const std::vector<std::vector<std::string>> &records)
{
    std::vector<std::string> lines;
    for (const auto &record : records) {
        lines.push_back("begin");
        lines.insert(lines.end(), record.begin(), record.end());
        lines.push_back("end");
    }
    return lines;
}

using kx::Outcome;
using Lines = std::vector<std::string>;

struct Script {
    Outcome outcome = Outcome::Complete;
    int error = 0;
    Lines lines;
};

// Answers each command by its script; a command without one is refused.
struct CommandTransport : kx::DaemonTransport {
    CommandTransport() { kx::set_daemon_transport(this); }
    ~CommandTransport() override { kx::set_daemon_transport(nullptr); }
    kx::DaemonReply ask(const kx::DaemonRequest &request, const kx::LineHandler &onLine) override
    {
        auto found = scripts.find(std::string(request.command));
        Script script =
            found != scripts.end() ? found->second : Script{Outcome::OpenFailed, ECONNREFUSED, {}};
        for (std::size_t i = 0; kx::exchange_ran(script.outcome) && i < script.lines.size(); ++i)
            if (!onLine(script.lines[i]))
                break;
        return {script.outcome, script.error};
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
