#include "processes.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kxtest {

std::string unique_name(const std::string &stem)
{
    std::string name = stem + std::to_string(getpid() % 100000);
    if (name.size() > 15)
        throw std::runtime_error("process name too long: " + name);
    return name;
}

NamedProcess::NamedProcess(const std::string &name, const std::vector<std::string> &arguments,
                           const std::string &program)
{
    std::string pattern = (fs::temp_directory_path() / "kxsmon-proc.XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    std::string copy = dir_ + "/" + name;
    fs::copy_file(program, copy);
    fs::permissions(copy, fs::perms::owner_all);

    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(name.c_str()));
    for (const auto &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);

    // The pipe's write end closes on exec: end of file means the program runs.
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        close(ready[0]);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        execv(copy.c_str(), argv.data());
        char failed = 1;
        (void)!write(ready[1], &failed, 1);
        _exit(127);
    }
    close(ready[1]);
    char failed = 0;
    ssize_t n;
    do
        n = read(ready[0], &failed, 1);
    while (n < 0 && errno == EINTR);
    close(ready[0]);
    if (n > 0) {
        stop();
        throw std::runtime_error("exec of " + copy + " failed");
    }
}

NamedProcess::~NamedProcess()
{
    stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void NamedProcess::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

void NamedProcess::pause() const
{
    kill(pid_, SIGSTOP);
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid_), &info, WSTOPPED | WNOWAIT) < 0 && errno == EINTR) {
    }
}

void NamedProcess::wait_until_zombie() const
{
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
}

// ---- ports ------------------------------------------------------------------------

LoopbackPort::LoopbackPort(Kind kind)
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        throw std::runtime_error("bind failed");
    port_ = ntohs(address.sin_port);
    if (kind == refusing)
        return;
    if (listen(fd_, 0) != 0)
        throw std::runtime_error("listen failed");
    // Fill the accept queue: further connection requests go unanswered.
    for (int i = 0; i < 2; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        queued_.push_back(fd);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
            errno != EINPROGRESS)
            throw std::runtime_error("connect failed");
    }
    usleep(100000);
}

LoopbackPort::~LoopbackPort()
{
    for (int fd : queued_)
        close(fd);
    close(fd_);
}

}  // namespace kxtest
