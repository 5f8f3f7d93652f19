// Real processes for the process-table tests: a copy of a small program
// under a chosen executable name, started with chosen arguments, and ports
// on loopback that the service probes cannot use.
#pragma once

#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <vector>

namespace kxtest {

// `stem` made unique to this test process, short enough to be kept whole as
// an executable name (at most 15 characters).
std::string unique_name(const std::string &stem);

class NamedProcess {
public:
    // Copies /bin/sleep to a private directory as `name` and runs it there
    // with `arguments` (argv[0] is `name`). Returns once the program runs.
    NamedProcess(const std::string &name, const std::vector<std::string> &arguments);
    ~NamedProcess();
    NamedProcess(const NamedProcess &) = delete;
    NamedProcess &operator=(const NamedProcess &) = delete;

    pid_t pid() const { return pid_; }
    std::string pid_text() const { return std::to_string(pid_); }
    // Waits for the process to stop (WSTOPPED) or end (WEXITED), not reaping it.
    void wait_until(int event) const;

private:
    void wait_for_arguments(const std::vector<char *> &argv) const;

    std::string dir_;
    pid_t pid_ = -1;
};

// A port on 127.0.0.1 that refuses connections (bound, never listened on),
// or whose listener never accepts and whose queue is full, so that a new
// connection attempt is left waiting.
class LoopbackPort {
public:
    enum Kind { refusing, stalled };
    explicit LoopbackPort(Kind kind);
    ~LoopbackPort();
    LoopbackPort(const LoopbackPort &) = delete;
    LoopbackPort &operator=(const LoopbackPort &) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> queued_;
};

}  // namespace kxtest
