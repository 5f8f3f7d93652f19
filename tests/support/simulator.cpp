#include "simulator.h"

#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kxtest {

constexpr int kReadyWaitMs = 5000;
constexpr int kLogWaitMs = 100;

Simulator::Simulator(const std::string &program, const std::string &scenario,
                     const std::string &root)
{
    int fd = memfd_create("kxsimd-scenario", 0);  // inherited: the server reads it by name
    int out[2];
    if (fd < 0 || pipe2(out, O_CLOEXEC) < 0)
        return;
    (void)!write(fd, scenario.data(), scenario.size());
    const std::string path = "/dev/fd/" + std::to_string(fd);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 2);
        if (root.empty())
            execl(program.c_str(), "kxs-simd", path.c_str(), nullptr);
        else
            execl(program.c_str(), "kxs-simd", "--root", root.c_str(), path.c_str(), nullptr);
        _exit(127);
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);  // kept for reloads, but by no later child
    scenarioFd_ = fd;
    close(out[1]);
    logFd_ = out[0];
    for (int waited = 0; !ready() && waited < kReadyWaitMs; waited += kLogWaitMs)
        read_log(kLogWaitMs);
}

Simulator::~Simulator()
{
    stop();
    close(logFd_);
    close(scenarioFd_);
}

bool Simulator::reload(const std::string &scenario)
{
    if (pid_ <= 0 || ftruncate(scenarioFd_, 0) != 0 ||
        pwrite(scenarioFd_, scenario.data(), scenario.size(), 0) != static_cast<ssize_t>(scenario.size()))
        return false;
    const std::size_t before = log_.size();
    kill(pid_, SIGHUP);
    for (int waited = 0; waited < kReadyWaitMs; waited += kLogWaitMs) {
        read_log(kLogWaitMs);
        const std::string since = log_.substr(before);
        if (since.find("kxs-simd: reloaded\n") != std::string::npos)
            return true;
        if (since.find("the scenario is kept\n") != std::string::npos)
            return false;
    }
    return false;
}

int Simulator::stop()
{
    int status = -1;
    if (pid_ <= 0)
        return status;
    kill(pid_, SIGTERM);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    while (read_log(kLogWaitMs)) {
    }
    return status;
}

// Appends what the server wrote within timeoutMs; false when nothing came.
bool Simulator::read_log(int timeoutMs)
{
    pollfd entry{logFd_, POLLIN, 0};
    char buffer[4096];
    ssize_t got = poll(&entry, 1, timeoutMs) > 0 ? read(logFd_, buffer, sizeof buffer) : 0;
    if (got > 0)
        log_.append(buffer, static_cast<std::size_t>(got));
    return got > 0;
}

}  // namespace kxtest
