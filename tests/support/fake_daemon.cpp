#include "fake_daemon.h"

#include <algorithm>
#include <cerrno>
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

namespace {

constexpr int kCommandWaitMs = 5000;
constexpr std::size_t kMaxCommandLength = 1024;

}  // namespace

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
        if (listener_ >= 0)
            close(listener_);
        close(stopPipe_[0]);
        close(stopPipe_[1]);
        throw std::runtime_error("fake daemon: cannot listen on " + address + ":" +
                                 std::to_string(port) + " - " + reason);
    }
    socklen_t length = sizeof local;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&local), &length);
    port_ = ntohs(local.sin_port);
    thread_ = std::thread([this] { serve(); });
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
    ScriptedReply reply;
    reply.bytes = bytes;
    on(command, std::move(reply));
}

std::vector<std::string> FakeDaemon::commands() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

// Sleeps, or returns false at once when the daemon is being stopped.
bool FakeDaemon::pause(int milliseconds) const
{
    pollfd stop{stopPipe_[0], POLLIN, 0};
    return poll(&stop, 1, milliseconds) == 0;
}

bool FakeDaemon::send_all(int connection, const char *data, std::size_t length) const
{
    while (length > 0) {
        pollfd entries[2] = {{connection, POLLOUT, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(entries, 2, -1) < 0 && errno != EINTR)
            return false;
        if (entries[1].revents)
            return false;
        if (!entries[0].revents)
            continue;
        ssize_t sent = send(connection, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (sent > 0) {
            data += sent;
            length -= static_cast<std::size_t>(sent);
        }
    }
    return true;
}

void FakeDaemon::serve()
{
    for (;;) {
        pollfd entries[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(entries, 2, -1) < 0 && errno != EINTR)
            return;
        if (entries[1].revents)
            return;
        if (!entries[0].revents)
            continue;
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
    if (closeAtOnce_)
        return;
    while (line.size() < kMaxCommandLength && (line.empty() || line.back() != '\n')) {
        pollfd entries[2] = {{connection, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(entries, 2, kCommandWaitMs) <= 0 || entries[1].revents)
            return;
        char byte;
        if (read(connection, &byte, 1) != 1)
            break;
        line.push_back(byte);
    }
    ScriptedReply reply;
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(line);
        std::string command = line;
        if (!command.empty() && command.back() == '\n')
            command.pop_back();
        auto found = replies_.find(command);
        if (found != replies_.end()) {
            reply = found->second;
            known = true;
        }
    }
    if (!known)
        return;
    if (reply.silent) {
        hold(connection);
        return;
    }
    std::vector<std::size_t> cuts = reply.splitAt;
    cuts.push_back(reply.bytes.size());
    std::sort(cuts.begin(), cuts.end());
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        cut = std::min(cut, reply.bytes.size());
        if (cut < from)
            continue;
        if (reply.delayMs > 0 && !pause(reply.delayMs))
            return;
        if (cut > from && !send_all(connection, reply.bytes.data() + from, cut - from))
            return;
        from = cut;
    }
    if (reply.trickleMs > 0) {
        while (pause(reply.trickleMs) && send_all(connection, "x", 1)) {
        }
        return;
    }
    if (reply.neverClose)
        hold(connection);
}

// Keeps the connection open until the client closes it or the daemon stops.
void FakeDaemon::hold(int connection) const
{
    for (;;) {
        pollfd entries[2] = {{connection, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(entries, 2, -1) < 0 && errno != EINTR)
            return;
        if (entries[1].revents)
            return;
        char sink[512];
        if (entries[0].revents && read(connection, sink, sizeof sink) <= 0)
            return;
    }
}

bool in_network_sandbox()
{
    const char *flag = getenv("KXS_NET_SANDBOX");
    return flag && std::strcmp(flag, "1") == 0;
}

std::string member_name(int n)
{
    return "kxmember" + std::to_string(n);
}

std::string member_address(int n)
{
    return "127.0.0." + std::to_string(n);
}

}  // namespace kxtest
