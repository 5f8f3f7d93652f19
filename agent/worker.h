// The one thread that calls the library. The library's queries can block for
// seconds (port probes, daemon replies, tools), and the library is used by
// one thread at a time: the worker gathers every figure into snapshots and
// carries out the changes that SNMP sets ask for, in arrival order, so the
// SNMP thread never waits on the library.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kxsmon.h"
#include "snapshot.h"

namespace kxagent {

struct Settings {
    std::string root;        // product root ("" is the real one)
    int cacheSeconds = 2;    // how long a snapshot is served before a refresh is asked for
    int refreshWaitMs = 250; // how long an SNMP request waits for that refresh
};

enum class JobKind { SetContact, SetUnownedLimit, AddMonitored, DeleteMonitored };

struct Job {
    JobKind kind = JobKind::SetContact;
    std::string text;      // contact or terminal ID
    uint32_t number = 0;   // unowned limit
    void *cookie = nullptr;  // the SNMP side's, handed back untouched
    bool done = false;     // set by the worker: the change was made and stored
};

class Worker {
public:
    explicit Worker(Settings settings);
    ~Worker();
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    // The latest snapshot (never null).
    std::shared_ptr<const Rows> latest() const;
    // Asks for a refresh and waits at most `waitMs` for one to end; then the
    // latest snapshot, fresh or not.
    std::shared_ptr<const Rows> refresh(int waitMs);
    void submit(Job job);
    // Jobs carried out since the last call; notify_fd() is readable (an
    // eventfd) while there are some.
    std::vector<Job> finished();
    int notify_fd() const { return notifyFd_; }

private:
    void run();
    void gather_all();
    bool run_one_job();
    bool carry_out(Job &job);
    void refill(const char *figure);
    void patch_monitored_figure(const std::string &id, bool add);
    void publish();
    void open_handle();

    Settings settings_;
    int notifyFd_ = -1;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable refreshed_;
    bool stop_ = false;
    bool refreshWanted_ = true;  // the first gathering starts at once
    uint64_t refreshes_ = 0;
    std::deque<Job> jobs_;
    std::vector<Job> finished_;
    std::shared_ptr<const Rows> current_;

    // Worker thread only.
    KXSHandle *handle_ = nullptr;
    bool rootRefused_ = false;
    uint32_t unownedLimit_;
    std::vector<Rows> perFigure_;

    std::thread thread_;  // started in the constructor, once everything above is set up
};

}  // namespace kxagent
