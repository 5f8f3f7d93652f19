// kxs-simd, the simulated server, run as a child process on a scenario and
// stopped with SIGTERM.
#pragma once

#include <string>

#include <sys/types.h>

namespace kxtest {

class Simulator {
public:
    // Starts `program` on `scenario`; waits 5 seconds at most for it to be
    // ready. With a `root`, the server writes the product's session files and
    // tools under it.
    Simulator(const std::string &program, const std::string &scenario,
              const std::string &root = "");
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    bool ready() const { return log_.find("kxs-simd: ready\n") != std::string::npos; }
    // Replaces the scenario and has the server read it again (SIGHUP);
    // whether it answers from the new one (false: it kept the old).
    bool reload(const std::string &scenario);
    // Stops the server; its wait status (-1 once stopped).
    int stop();
    // What it wrote on standard error so far.
    const std::string &log() const { return log_; }

private:
    bool read_log(int timeoutMs);

    pid_t pid_ = -1;
    int logFd_ = -1;
    int scenarioFd_ = -1;  // the file the server reads by name
    std::string log_;
};

}  // namespace kxtest
