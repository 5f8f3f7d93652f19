// A daemon transport that replays scripted reply lines instead of asking a
// daemon, in place for the lifetime of the object.
#pragma once

#include "ping.h"

#include <cerrno>
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

}  // namespace kxtest
