#include "fake_daemon.h"

#include <csignal>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kxtest {

constexpr int kTickMs = 20;  // how soon a stopping daemon notices
constexpr std::size_t kMaxCommandLength = 1024;

FakeDaemon::FakeDaemon(const std::string &address, int port)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(listener_, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0 ||
        listen(listener_, 16) < 0) {
        close(listener_);
        throw std::runtime_error("fake daemon: cannot listen on port " + std::to_string(port));
    }
    socklen_t length = sizeof local;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&local), &length);
    port_ = ntohs(local.sin_port);
    // The test's own thread gets the signals a test raises (interval timers).
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    thread_ = std::thread([this] { serve(); });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

FakeDaemon::~FakeDaemon()
{
    stopping_ = true;
    thread_.join();
    close(listener_);
}

void FakeDaemon::on(const std::string &command, const std::string &bytes, bool holdOpen)
{
    std::lock_guard<std::mutex> lock(mutex_);
    replies_[command] = {bytes, holdOpen};
}

std::vector<std::string> FakeDaemon::commands() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

// False on the time-out (timeoutMs -1: none) or when the daemon is stopping.
bool FakeDaemon::wait_for(int fd, short events, int timeoutMs) const
{
    pollfd entry{fd, events, 0};
    for (int waited = 0; !stopping_ && (timeoutMs < 0 || waited < timeoutMs); waited += kTickMs)
        if (poll(&entry, 1, kTickMs) > 0)
            return !stopping_;
    return false;
}

void FakeDaemon::serve()
{
    while (wait_for(listener_, POLLIN, -1)) {
        int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0)
            answer(connection);
        close(connection);
    }
}

void FakeDaemon::answer(int connection)
{
    std::string line;
    char byte;
    while (line.size() < kMaxCommandLength && (line.empty() || line.back() != '\n') &&
           wait_for(connection, POLLIN, -1) && read(connection, &byte, 1) == 1)
        line.push_back(byte);
    std::unique_lock<std::mutex> lock(mutex_);
    commands_.push_back(line);
    auto found = replies_.find(line.substr(0, line.find('\n')));
    if (found == replies_.end())
        return;
    const auto [bytes, holdOpen] = found->second;  // a copy: the test may change it meanwhile
    lock.unlock();
    // Blocks until all is sent or the client closes (this thread takes no signals).
    (void)!send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    char sink[512];
    while (holdOpen && wait_for(connection, POLLIN, -1) &&
           read(connection, sink, sizeof sink) > 0) {
    }
}

}  // namespace kxtest
