#include "ping.h"

#include <cerrno>

#include <unistd.h>

namespace kx::platform {

namespace {

// iputils ping: "-c 1" sends one echo, "-W 5" waits five seconds for it, and
// the exit status is 0 only when an answer came. "-q" leaves the summary,
// "1 packets transmitted, 1 received, ...".
constexpr const char *kPingProgram = "/usr/bin/ping";
constexpr std::string_view kAnsweredSummary = " transmitted, 1 received";

struct PingCommand {
    char *argv[10];
    char *envp[2];
};

// Built without allocating, for exec_ping's sake.
PingCommand ping_command(const char *host)
{
    static_assert(kPingWaitSeconds == 5, "the wait operand below spells the wait");
    return {{const_cast<char *>("ping"), const_cast<char *>("-n"), const_cast<char *>("-q"),
             const_cast<char *>("-c"), const_cast<char *>("1"), const_cast<char *>("-W"),
             const_cast<char *>("5"), const_cast<char *>("--"), const_cast<char *>(host), nullptr},
            {const_cast<char *>("PATH=/usr/bin:/usr/sbin:/bin"), nullptr}};
}

}  // namespace

SpawnResult run_ping(const char *host, std::chrono::milliseconds bound)
{
    PingCommand command = ping_command(host);
    SpawnRequest request;
    request.program = kPingProgram;
    request.argv = command.argv;
    request.envp = command.envp;
    request.err = StderrTo::NullDevice;
    request.bounds = {bound, 4096, std::chrono::milliseconds(500)};
    return spawn_bounded(request);
}

bool ping_output_shows_answer(std::string_view output)
{
    return output.find(kAnsweredSummary) != std::string_view::npos;
}

int exec_ping(const char *host)
{
    PingCommand command = ping_command(host);
    execve(kPingProgram, command.argv, command.envp);
    return errno;
}

}  // namespace kx::platform
