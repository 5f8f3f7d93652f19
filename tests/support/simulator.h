// kxs-simd, the simulated server, run as a child process on a scenario and
// stopped with SIGTERM.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace kxtest {

class Simulator {
public:
    // Starts `program` on `scenario` with `options` and waits (5 seconds at
    // most) until it reports that it is ready.
    Simulator(const std::string &program, const std::string &scenario,
              std::vector<std::string> options = {});
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    bool ready() const { return ready_; }
    // Stops the server; its wait status.
    int stop();
    // What it wrote on standard error so far.
    const std::string &log() const { return log_; }

private:
    bool read_log(int timeoutMs);

    std::string scenarioPath_;
    pid_t pid_ = -1;
    int logFd_ = -1;
    int status_ = -1;
    bool ready_ = false;
    std::string log_;
};

}  // namespace kxtest
