#include "worker.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include <pthread.h>
#include <syslog.h>

#include "datafiles.h"
#include "gather.h"

namespace kxagent {

namespace {

using namespace std::chrono_literals;

// How long a stop waits for the worker to end before leaving it running.
constexpr auto kStopWait = 300ms;
// How often an idle worker releases the parts no snapshot serves any more,
// and looks whether a watch gathering is due.
constexpr auto kSweepPeriod = 1s;
// The notifications kept until net-snmp's thread takes them: more than a
// gathering of the largest monitored table can find at once.
constexpr size_t kMaxQueued = 4096;

// A worker left running at a stop still uses the library; one started later
// (a dlmod module loaded again) waits until it has ended. Never destroyed:
// such a worker may still end while the host exits.
struct Threads {
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0;
};
Threads &threads()
{
    static auto *all = new Threads;
    return *all;
}
std::atomic<bool> anyAbandoned{false};

const Source &source_at(Slot slot)
{
    return *std::find_if(sources().begin(), sources().end(),
                         [&](const Source &s) { return s.slot == slot; });
}

}  // namespace

class State {
public:
    explicit State(Settings settings);
    ~State();
    State(const State &) = delete;
    State &operator=(const State &) = delete;

    void run();
    void request_stop();
    bool wait_ended(std::chrono::milliseconds wait);
    void abandon();

    std::shared_ptr<const Snapshot> latest() const;
    std::shared_ptr<const Snapshot> refresh(int waitMs);
    bool ready() const;
    bool monitored(const std::string &id) const;
    bool apply(const Change &change, std::optional<Change> &undo);
    std::vector<Notification> take_notifications(size_t &dropped);

private:
    using Lock = std::unique_lock<std::mutex>;

    bool stopping() const;
    bool wait_for_earlier_workers() const;
    void open_handles();
    void close_handles();
    void gather_all();
    void gather(const Source &source);
    std::vector<Notification> watch(const Source &source, const Gathered &got);
    void settle(const Source &source, Gathered got, std::vector<Notification> found);
    void settle(const Source &source, Gathered got);
    void publish_monitored();
    void replace(Slot slot, std::shared_ptr<const Part> part);
    void publish();
    void queue(std::vector<Notification> found);
    void sweep();

    const Settings settings_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable refreshed_;
    std::condition_variable ended_;
    bool stop_ = false;
    bool endedFlag_ = false;
    bool abandoned_ = false;
    bool refreshWanted_ = true;  // the first gathering starts at once
    uint64_t refreshes_ = 0;

    // What is published, and the changes' handle; all under mutex_.
    std::array<std::shared_ptr<const Part>, kSlots> slots_;
    std::vector<SourceState> states_;
    std::shared_ptr<const Part> monitoredFigures_;  // as gathered, before the table's choice
    std::shared_ptr<const Snapshot> current_;
    std::vector<std::shared_ptr<const Part>> retired_;
    KXSHandle *changes_ = nullptr;
    uint32_t limit_ = kDefaultUnownedLimit;
    uint64_t tableChanges_ = 0;
    std::string unavailable_;  // why no figure can be had, while the library cannot start
    Watcher watcher_;
    std::vector<Notification> outbox_;
    size_t dropped_ = 0;

    // Worker thread only.
    KXSHandle *gathering_ = nullptr;
    bool rootRefused_ = false;
    uint64_t tableRead_ = 0;  // tableChanges_ when the gathering handle last read the table
};

State::State(Settings settings)
    : settings_(std::move(settings)), states_(sources().size()),
      current_(std::make_shared<const Snapshot>()), watcher_(settings_.notifications)
{
}

State::~State() = default;

// Before a later worker may open its own. One left running frees nothing
// when its call ends: the host may be exiting under it.
void State::close_handles()
{
    KXSHandle *changes;
    {
        std::lock_guard lock(mutex_);
        if (abandoned_)
            return;
        changes = std::exchange(changes_, nullptr);
    }
    kxs_freeHandle(changes);
    kxs_freeHandle(std::exchange(gathering_, nullptr));
}

bool State::stopping() const
{
    std::lock_guard lock(mutex_);
    return stop_;
}

bool State::wait_for_earlier_workers() const
{
    Lock lock(threads().mutex);
    while (threads().running > 0) {
        threads().changed.wait_for(lock, 100ms);
        if (stopping())
            return false;
    }
    ++threads().running;
    return true;
}

void State::run()
{
    if (wait_for_earlier_workers()) {
        open_handles();
        const bool watching = settings_.notifications != 0 && settings_.watchSeconds > 0;
        const auto period = std::chrono::seconds(settings_.watchSeconds);
        auto nextWatch = std::chrono::steady_clock::now() + period;
        Lock lock(mutex_);
        while (!stop_) {
            if (watching && std::chrono::steady_clock::now() >= nextWatch)
                refreshWanted_ = true;
            if (!refreshWanted_) {
                lock.unlock();
                sweep();
                lock.lock();
                wake_.wait_for(lock, kSweepPeriod, [&] { return stop_ || refreshWanted_; });
                continue;
            }
            refreshWanted_ = false;
            nextWatch = std::chrono::steady_clock::now() + period;
            lock.unlock();
            gather_all();
            sweep();
            lock.lock();
            ++refreshes_;
            refreshed_.notify_all();
        }
        lock.unlock();
        close_handles();
        std::lock_guard running(threads().mutex);
        --threads().running;
        threads().changed.notify_all();
    }
    std::lock_guard lock(mutex_);
    endedFlag_ = true;
    ended_.notify_all();
}

void State::request_stop()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    refreshed_.notify_all();
}

bool State::wait_ended(std::chrono::milliseconds wait)
{
    Lock lock(mutex_);
    return ended_.wait_for(lock, wait, [&] { return endedFlag_; });
}

void State::abandon()
{
    std::lock_guard lock(mutex_);
    abandoned_ = true;
}

// Both handles, or none: while the library cannot start (no services file
// yet), every source fails with the reason, and the next gathering tries again.
void State::open_handles()
{
    if (rootRefused_ || (gathering_ && changes_))
        return;
    if (!gathering_ && !settings_.root.empty() && kxs_setRoot(settings_.root.c_str()) != 0) {
        syslog(LOG_ERR, "kxsmon agent: product root %s refused", settings_.root.c_str());
        rootRefused_ = true;  // never fall back to the real product's files
        std::lock_guard lock(mutex_);
        unavailable_ = "the product root " + settings_.root + " was refused";
        return;
    }
    if (!gathering_)
        gathering_ = kxs_init();
    KXSHandle *changes = gathering_ ? kxs_init() : nullptr;
    const uint32_t limit = read_limit();
    std::lock_guard lock(mutex_);
    limit_ = limit;
    replace(Slot::UnownedLimit, limit_part(limit));
    if (!changes) {
        unavailable_ = "the library could not start (kxs_init failed: no services file?)";
        publish();
        return;
    }
    unavailable_.clear();
    changes_ = changes;
    tableRead_ = tableChanges_;
    publish_monitored();
    publish();
}

// Every source in turn, each published as soon as it is had.
void State::gather_all()
{
    open_handles();
    for (const Source &source : sources()) {
        if (stopping())
            return;
        gather(source);
    }
}

void State::gather(const Source &source)
{
    uint32_t limit;
    {
        Lock lock(mutex_);
        if (!changes_) {
            settle(source, {nullptr, {KXS_ENOTCONFIGURED, unavailable_}});
            publish();
            return;
        }
        if (source.local) {  // asks no daemon: made under the lock, as sets are
            settle(source, source.fill(changes_, limit_));
            publish();
            return;
        }
        // The table as the sets left it.
        if (source.slot == Slot::MonitoredFigures && tableRead_ != tableChanges_) {
            reload_monitored(gathering_);
            tableRead_ = tableChanges_;
        }
        limit = limit_;
    }
    Gathered got = source.fill(gathering_, limit);
    // Outside the lock: comparing a large answer row by row must not hold up
    // the gets. Only this thread watches the slots of the daemons' sources.
    std::vector<Notification> found = watch(source, got);
    Lock lock(mutex_);
    if (stop_)
        return;  // no one is served any more
    settle(source, std::move(got), std::move(found));
    publish();
}

// The changes that an answer shows against the last one.
std::vector<Notification> State::watch(const Source &source, const Gathered &got)
{
    std::vector<Notification> found;
    if (got.outcome.usable() && got.part)
        watcher_.see(source.slot, *got.part, got.outcome.code != KXS_OK, found);
    return found;
}

void State::settle(const Source &source, Gathered got)
{
    std::vector<Notification> found = watch(source, got);
    settle(source, std::move(got), std::move(found));
}

// The source's status and the part served: new figures when they could be
// had, the last good ones or none when not.
void State::settle(const Source &source, Gathered got, std::vector<Notification> found)
{
    queue(std::move(found));
    SourceState &state = states_[source.number - 1];
    state.reason = got.outcome.text;
    if (got.outcome.usable()) {
        state.status = got.outcome.code == KXS_OK ? kOk : kPartial;
        state.gathered = time(nullptr);
    } else if (source.onFailure == OnFailure::KeepLast && state.gathered != 0) {
        state.status = kStale;
        return;
    } else {
        state.status = kFailed;
    }
    if (source.slot == Slot::MonitoredFigures) {
        monitoredFigures_ = std::move(got.part);
        publish_monitored();
    } else {
        replace(source.slot, std::move(got.part));
    }
}

// The monitored table's rows are the table as the sets left it; a terminal's
// figures are served only while it is in the table.
void State::publish_monitored()
{
    const std::vector<std::string> table = monitored_table(changes_);
    replace(Slot::MonitoredRows, membership_part(table));
    replace(Slot::MonitoredFigures,
            monitoredFigures_ ? served_figures(*monitoredFigures_, table) : nullptr);
}

void State::replace(Slot slot, std::shared_ptr<const Part> part)
{
    auto &at = slots_[static_cast<size_t>(slot)];
    if (at)
        retired_.push_back(std::move(at));
    at = std::move(part);
}

void State::publish()
{
    auto sources = status_part(states_);
    std::vector<Notification> found;
    watcher_.see(Slot::Sources, *sources, false, found);
    queue(std::move(found));
    replace(Slot::Sources, std::move(sources));
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->parts.assign(slots_.begin(), slots_.end());
    current_ = std::move(snapshot);
}

void State::queue(std::vector<Notification> found)
{
    for (Notification &n : found) {
        if (outbox_.size() >= kMaxQueued) {
            ++dropped_;
            continue;
        }
        outbox_.push_back(std::move(n));
    }
}

std::vector<Notification> State::take_notifications(size_t &dropped)
{
    std::lock_guard lock(mutex_);
    dropped = std::exchange(dropped_, 0);
    return std::exchange(outbox_, {});
}

// A retired part that only the list still holds is served by no snapshot,
// and none can take it again: it is released here, outside the lock.
void State::sweep()
{
    std::vector<std::shared_ptr<const Part>> unused;
    {
        std::lock_guard lock(mutex_);
        auto served = std::partition(retired_.begin(), retired_.end(),
                                     [](const auto &part) { return part.use_count() > 1; });
        unused.assign(std::make_move_iterator(served), std::make_move_iterator(retired_.end()));
        retired_.erase(served, retired_.end());
    }
}

std::shared_ptr<const Snapshot> State::latest() const
{
    std::lock_guard lock(mutex_);
    return current_;
}

std::shared_ptr<const Snapshot> State::refresh(int waitMs)
{
    Lock lock(mutex_);
    refreshWanted_ = true;
    const uint64_t before = refreshes_;
    wake_.notify_all();
    refreshed_.wait_for(lock, std::chrono::milliseconds(waitMs),
                        [&] { return refreshes_ != before || stop_; });
    return current_;
}

bool State::ready() const
{
    std::lock_guard lock(mutex_);
    return changes_ != nullptr;
}

bool State::monitored(const std::string &id) const
{
    std::lock_guard lock(mutex_);
    return monitored_in(changes_, id);
}

bool State::apply(const Change &change, std::optional<Change> &undo)
{
    std::lock_guard lock(mutex_);
    if (!changes_)
        return false;
    const bool made = make_change(changes_, limit_, change, undo);
    switch (change.kind) {
    case ChangeKind::Contact:
        settle(source_at(Slot::Contact), source_at(Slot::Contact).fill(changes_, limit_));
        break;
    case ChangeKind::UnownedLimit:
        replace(Slot::UnownedLimit, limit_part(limit_));
        break;
    case ChangeKind::AddMonitored:
    case ChangeKind::DeleteMonitored:
        tableChanges_ += made ? 1 : 0;
        publish_monitored();
        break;
    }
    publish();
    return made;
}

Worker::Worker(Settings settings) : state_(std::make_shared<State>(std::move(settings)))
{
    // The thread takes no signal: those meant for the program (SIGTERM) must
    // reach the thread that waits for them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        thread_ = std::thread([state = state_] { state->run(); });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

Worker::~Worker()
{
    state_->request_stop();
    if (state_->wait_ended(kStopWait)) {
        thread_.join();
        return;
    }
    // The thread holds the state it uses; it releases it when its call ends.
    state_->abandon();
    anyAbandoned = true;
    thread_.detach();
}

std::shared_ptr<const Snapshot> Worker::latest() const
{
    return state_->latest();
}

std::shared_ptr<const Snapshot> Worker::refresh(int waitMs)
{
    return state_->refresh(waitMs);
}

bool Worker::ready() const
{
    return state_->ready();
}

bool Worker::monitored(const std::string &id) const
{
    return state_->monitored(id);
}

bool Worker::apply(const Change &change, std::optional<Change> &undo)
{
    return state_->apply(change, undo);
}

std::vector<Notification> Worker::take_notifications(size_t &dropped)
{
    return state_->take_notifications(dropped);
}

bool Worker::abandoned()
{
    return anyAbandoned;
}

}  // namespace kxagent
