#include "simulator.h"

#include <chrono>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kxtest {

Simulator::Simulator(const std::string &program, const std::string &scenario,
                     std::vector<std::string> options)
{
    char path[] = "/tmp/kxsimd-scenario.XXXXXX";
    int fd = mkostemp(path, O_CLOEXEC);
    int out[2];
    if (fd < 0 || pipe2(out, O_CLOEXEC) < 0)
        return;
    (void)!write(fd, scenario.data(), scenario.size());
    close(fd);
    scenarioPath_ = path;
    std::vector<char *> argv{const_cast<char *>("kxs-simd")};
    for (auto &option : options)
        argv.push_back(option.data());
    argv.push_back(scenarioPath_.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 2);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    logFd_ = out[0];
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (log_.find("kxs-simd: ready\n") == std::string::npos &&
           std::chrono::steady_clock::now() < until && read_log(100)) {
    }
    ready_ = log_.find("kxs-simd: ready\n") != std::string::npos;
}

Simulator::~Simulator()
{
    stop();
    if (logFd_ >= 0)
        close(logFd_);
    if (!scenarioPath_.empty())
        unlink(scenarioPath_.c_str());
}

int Simulator::stop()
{
    if (pid_ <= 0)
        return status_;
    kill(pid_, SIGTERM);
    waitpid(pid_, &status_, 0);
    pid_ = -1;
    while (read_log(1000)) {
    }
    return status_;
}

// Reads what the server wrote within timeoutMs. False at the end of the log,
// and after the server stopped also when nothing came.
bool Simulator::read_log(int timeoutMs)
{
    pollfd entry{logFd_, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) <= 0)
        return pid_ > 0;
    char buffer[4096];
    ssize_t got = read(logFd_, buffer, sizeof buffer);
    if (got <= 0)
        return false;
    log_.append(buffer, static_cast<std::size_t>(got));
    return true;
}

}  // namespace kxtest
