// A stand-in for one of the product's daemons: a TCP server on a loopback
// address that reads one command line per connection and answers it with
// scripted bytes, in chosen pieces and at a chosen pace.
#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kxtest {

struct ScriptedReply {
    std::string bytes;                // what is sent, exactly
    std::vector<std::size_t> splitAt; // offsets at which a new write begins
    int delayMs = 0;                  // pause before each write
    bool silent = false;              // send nothing and hold the connection open
    bool neverClose = false;          // after the bytes, hold the connection open
    int trickleMs = 0;                // after the bytes, one more byte every trickleMs, for ever
};

class FakeDaemon {
public:
    // Listens on `address`:`port` (port 0: any free port). Throws
    // std::runtime_error when it cannot.
    FakeDaemon(const std::string &address, int port);
    ~FakeDaemon();
    FakeDaemon(const FakeDaemon &) = delete;
    FakeDaemon &operator=(const FakeDaemon &) = delete;

    // The reply to `command` (given without its line feed). A command with no
    // reply gets the connection closed without a byte.
    void on(const std::string &command, ScriptedReply reply);
    void on(const std::string &command, const std::string &bytes);

    // Every connection is closed at once, before its command is read.
    void close_at_once(bool yes) { closeAtOnce_ = yes; }

    int port() const { return port_; }
    // Every command line received, in order, as sent (line feed included).
    std::vector<std::string> commands() const;

private:
    void serve();
    void answer(int connection);
    bool pause(int milliseconds) const;
    void hold(int connection) const;
    bool send_all(int connection, const char *data, std::size_t length) const;

    int listener_ = -1;
    int port_ = 0;
    int stopPipe_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::map<std::string, ScriptedReply> replies_;
    std::vector<std::string> commands_;
    std::atomic<bool> closeAtOnce_{false};
    std::thread thread_;
};

// True inside the network sandbox that CTest runs the daemon tests in.
bool in_network_sandbox();

// Names that the sandbox's hosts file gives: this host is 127.0.0.1; group
// member N (1 to 16) is 127.0.0.N.
constexpr const char *kSandboxHost = "kxtest-host";
std::string member_name(int n);
std::string member_address(int n);

}  // namespace kxtest
