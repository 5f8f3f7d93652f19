// A stand-in for one of the product's daemons: a TCP server on a loopback
// address that reads one command line per connection and answers it with
// scripted bytes.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kxtest {

struct ScriptedReply {
    std::string bytes;        // what is sent, exactly
    bool silent = false;      // send nothing and hold the connection open
    bool neverClose = false;  // after the bytes, hold the connection open
    int trickleMs = 0;        // after the bytes, one more byte every trickleMs, for ever
};

class FakeDaemon {
public:
    // Listens on `address`:`port` (port 0: any free port). Throws
    // std::runtime_error when it cannot. Its thread takes no signals.
    FakeDaemon(const std::string &address, int port);
    ~FakeDaemon();
    FakeDaemon(const FakeDaemon &) = delete;
    FakeDaemon &operator=(const FakeDaemon &) = delete;

    // The reply to `command` (given without its line feed). A command with no
    // reply gets the connection closed without a byte.
    void on(const std::string &command, ScriptedReply reply);
    void on(const std::string &command, const std::string &bytes);

    int port() const { return port_; }
    // Every command line received, in order, as sent (line feed included).
    std::vector<std::string> commands() const;

private:
    void serve();
    void answer(int connection);
    bool wait_for(int fd, short events, int timeoutMs) const;

    int listener_ = -1;
    int port_ = 0;
    int stopPipe_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::map<std::string, ScriptedReply> replies_;
    std::vector<std::string> commands_;
    std::thread thread_;
};

// True inside the network sandbox that CTest runs the daemon tests in.
bool in_network_sandbox();

// The name that the sandbox's hosts file gives this host (127.0.0.1).
constexpr const char *kSandboxHost = "kxtest-host";

}  // namespace kxtest
