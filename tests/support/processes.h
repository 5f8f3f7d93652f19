// Real processes for the process-table tests: a copy of a small program
// under a chosen executable name, started with chosen arguments, and real
// listeners on loopback.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace kxtest {

// `stem` made unique to this test process, short enough to be kept whole as
// an executable name (at most 15 characters).
std::string unique_name(const std::string &stem);

class NamedProcess {
public:
    // Copies `program` to a private directory as `name` and runs it there
    // with `arguments` (argv[0] is `name`). Returns once the program runs.
    NamedProcess(const std::string &name, const std::vector<std::string> &arguments,
                 const std::string &program = "/bin/sleep");
    ~NamedProcess();
    NamedProcess(const NamedProcess &) = delete;
    NamedProcess &operator=(const NamedProcess &) = delete;

    pid_t pid() const { return pid_; }
    std::string pid_text() const { return std::to_string(pid_); }
    // Kills the process and reaps it.
    void stop();
    // Waits until the process has ended, leaving it a zombie (not reaped).
    void wait_until_zombie() const;

private:
    std::string dir_;
    pid_t pid_ = -1;
};

// A TCP listener on 127.0.0.1 at a free port. It accepts connections one
// at a time and keeps what each sends until it closes (or a second passes).
class Listener {
public:
    Listener();
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    int port() const { return port_; }
    // Waits up to five seconds for `count` connections to have ended; their
    // texts in order.
    std::vector<std::string> received(std::size_t count);
    int connections();

private:
    void serve();
    int fd_ = -1;
    int port_ = 0;
    int stopPipe_[2] = {-1, -1};
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> texts_;
    int accepted_ = 0;
    std::thread server_;
};

// A loopback port that refuses connections: bound, never listened on.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A loopback port whose listener never accepts and whose queue is full, so
// that a new connection attempt is left waiting.
class StalledPort {
public:
    StalledPort();
    ~StalledPort();
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> queued_;
};

}  // namespace kxtest
