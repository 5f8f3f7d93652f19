#include "processes.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
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

NamedProcess::NamedProcess(const std::string &name, const std::vector<std::string> &arguments)
    : dir_((fs::temp_directory_path() / "kxsmon-proc.XXXXXX").string())
{
    if (!mkdtemp(dir_.data()))
        throw std::runtime_error("mkdtemp failed");
    std::string copy = dir_ + "/" + name;
    fs::copy_file("/bin/sleep", copy);
    fs::permissions(copy, fs::perms::owner_all);

    std::vector<char *> argv{const_cast<char *>(name.c_str())};
    for (const auto &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    // Standard input and output on /dev/null, so that a stray process holds
    // no pipe of the test runner open.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&actions, 0, 1);
    // Returns once the program runs, or with the error of its exec.
    int error = posix_spawn(&pid_, copy.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw std::runtime_error("cannot run " + copy);
    wait_for_arguments(argv);
}

// posix_spawn returns once the child has let go of the parent's image, which
// is before the kernel has laid out the new argument vector: until then the
// process shows an empty "cmdline" (or its parent's name) to a scan.
void NamedProcess::wait_for_arguments(const std::vector<char *> &argv) const
{
    std::string expected;
    for (char *argument : argv)
        if (argument)
            expected.append(argument).push_back('\0');
    std::string path = "/proc/" + pid_text() + "/cmdline";
    for (int attempt = 0; attempt < 5000; ++attempt) {
        std::ifstream file(path, std::ios::binary);
        std::string seen((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        siginfo_t ended{};
        bool gone = waitid(P_PID, static_cast<id_t>(pid_), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                    ended.si_pid == pid_;
        if (seen == expected || gone)  // a program that ends at once shows none
            return;
        usleep(1000);
    }
    throw std::runtime_error("no arguments on " + path);
}

NamedProcess::~NamedProcess()
{
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void NamedProcess::wait_until(int event) const
{
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid_), &info, event | WNOWAIT) < 0 && errno == EINTR) {
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
