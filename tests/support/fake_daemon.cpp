#include "fake_daemon.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kxtest {

constexpr int kCommandWaitMs = 5000;
constexpr std::size_t kMaxCommandLength = 1024;

FakeDaemon::FakeDaemon(const std::string &address, int port)
{
    if (pipe2(stopPipe_, O_CLOEXEC) < 0)
        throw std::runtime_error("fake daemon: pipe failed");
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0 ||
        listen(listener_, 16) < 0) {
        std::string reason = strerror(errno);
        close(listener_);
        close(stopPipe_[0]);
        close(stopPipe_[1]);
        throw std::runtime_error("fake daemon: cannot listen on " + address + ":" +
                                 std::to_string(port) + " - " + reason);
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
    char stop = 1;
    (void)!write(stopPipe_[1], &stop, 1);
    thread_.join();
    close(listener_);
    close(stopPipe_[0]);
    close(stopPipe_[1]);
}

void FakeDaemon::on(const std::string &command, ScriptedReply reply)
{
    std::lock_guard<std::mutex> lock(mutex_);
    replies_[command] = std::move(reply);
}

void FakeDaemon::on(const std::string &command, const std::string &bytes)
{
    on(command, ScriptedReply{bytes});
}

std::vector<std::string> FakeDaemon::commands() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

// Waits for `events` on `fd`; false on the time-out or when the daemon is
// being stopped (timeoutMs -1: no time-out).
bool FakeDaemon::wait_for(int fd, short events, int timeoutMs) const
{
    pollfd entries[2] = {{fd, events, 0}, {stopPipe_[0], POLLIN, 0}};
    return poll(entries, 2, timeoutMs) > 0 && !entries[1].revents && entries[0].revents;
}

void FakeDaemon::serve()
{
    while (wait_for(listener_, POLLIN, -1)) {
        int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        answer(connection);
        close(connection);
    }
}

void FakeDaemon::answer(int connection)
{
    std::string line;
    while (line.size() < kMaxCommandLength && (line.empty() || line.back() != '\n')) {
        char byte;
        if (!wait_for(connection, POLLIN, kCommandWaitMs) || read(connection, &byte, 1) != 1)
            break;
        line.push_back(byte);
    }
    ScriptedReply reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(line);
        auto found = replies_.find(line.substr(0, line.find('\n')));
        if (found == replies_.end())
            return;
        reply = found->second;
    }
    std::string_view rest = reply.silent ? std::string_view() : std::string_view(reply.bytes);
    while (!rest.empty() && wait_for(connection, POLLOUT, -1)) {
        ssize_t sent = send(connection, rest.data(), rest.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno != EAGAIN && errno != EINTR)
            return;
        rest.remove_prefix(sent > 0 ? static_cast<std::size_t>(sent) : 0);
    }
    pollfd stop{stopPipe_[0], POLLIN, 0};
    while (reply.trickleMs > 0 && poll(&stop, 1, reply.trickleMs) == 0 &&
           send(connection, "x", 1, MSG_NOSIGNAL) == 1) {
    }
    char sink[512];  // held open until the client closes or the daemon stops
    const bool hold = reply.trickleMs == 0 && (reply.silent || reply.neverClose);
    while (hold && wait_for(connection, POLLIN, -1) && read(connection, sink, sizeof sink) > 0) {
    }
}

bool in_network_sandbox()
{
    const char *flag = getenv("KXS_NET_SANDBOX");
    return flag && std::strcmp(flag, "1") == 0;
}

}  // namespace kxtest
