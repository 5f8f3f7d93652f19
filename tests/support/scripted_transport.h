// Daemon replies scripted in process: installed as the daemon transport
// while it lives, it answers every request with the same lines.
#pragma once

#include "ping.h"

#include <string>
#include <vector>

namespace kxtest {

struct ScriptedTransport : kx::DaemonTransport {
    ScriptedTransport() { kx::set_daemon_transport(this); }
    ~ScriptedTransport() override { kx::set_daemon_transport(nullptr); }
    kx::DaemonReply ask(const kx::DaemonRequest &request, const kx::LineHandler &onLine) override
    {
        commands.emplace_back(request.command);
        for (const std::string &line : lines)
            if (!onLine(line))
                break;
        return {kx::Outcome::Complete};
    }
    std::vector<std::string> lines;
    std::vector<std::string> commands;
};

}  // namespace kxtest
