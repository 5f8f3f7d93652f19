// A stand-in for one of the product's daemons: a loopback TCP server that
// reads one command line per connection and answers it with scripted bytes.
#pragma once

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kxtest {

class FakeDaemon {
public:
    // Listens on `address`:`port` (0: any free port); throws when it cannot.
    // Its thread takes no signals. Neither copied nor moved (its mutex).
    FakeDaemon(const std::string &address, int port);
    ~FakeDaemon();

    // The reply to `command` (without its line feed): exactly `bytes`, then,
    // with `holdOpen`, the connection held open until the client closes it.
    // An unknown command has its connection closed without a byte.
    void on(const std::string &command, const std::string &bytes, bool holdOpen = false);

    int port() const { return port_; }
    // Every command line received, in order, line feed included.
    std::vector<std::string> commands() const;

private:
    void serve();
    void answer(int connection);
    bool wait_for(int fd, short events, int timeoutMs) const;

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_ = false;
    mutable std::mutex mutex_;
    std::map<std::string, std::pair<std::string, bool>> replies_;  // bytes, holdOpen
    std::vector<std::string> commands_;
    std::thread thread_;
};

// True inside the network sandbox that CTest runs the daemon tests in.
inline bool in_network_sandbox()
{
    const char *flag = std::getenv("KXS_NET_SANDBOX");
    return flag && std::string(flag) == "1";
}

// The name that the sandbox's hosts file gives this host (127.0.0.1).
constexpr const char *kSandboxHost = "kxtest-host";

}  // namespace kxtest
