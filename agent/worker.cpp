#include "worker.h"

#include <cerrno>
#include <system_error>
#include <utility>

#include <strings.h>
#include <sys/eventfd.h>
#include <syslog.h>
#include <unistd.h>

#include "datafiles.h"
#include "gather.h"
#include "kxsmon.h"

namespace kxagent {

Worker::Worker(Settings settings)
    : settings_(std::move(settings)),
      notifyFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      current_(std::make_shared<const Rows>()),
      unownedLimit_(kDefaultUnownedLimit),
      perFigure_(figures().size())
{
    // Without its descriptor no change would ever be answered: no worker.
    if (notifyFd_ < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        close(notifyFd_);
        throw;
    }
}

Worker::~Worker()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    if (notifyFd_ >= 0)
        close(notifyFd_);
}

std::shared_ptr<const Rows> Worker::latest() const
{
    std::lock_guard lock(mutex_);
    return current_;
}

std::shared_ptr<const Rows> Worker::refresh(int waitMs)
{
    std::unique_lock lock(mutex_);
    refreshWanted_ = true;
    const uint64_t before = refreshes_;
    wake_.notify_all();
    refreshed_.wait_for(lock, std::chrono::milliseconds(waitMs),
                        [&] { return refreshes_ != before || stop_; });
    return current_;
}

void Worker::submit(Job job)
{
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_all();
}

std::vector<Job> Worker::finished()
{
    uint64_t count;
    while (read(notifyFd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::lock_guard lock(mutex_);
    return std::exchange(finished_, {});
}

void Worker::run()
{
    open_handle();
    std::unique_lock lock(mutex_);
    while (!stop_) {
        wake_.wait(lock, [&] { return stop_ || !jobs_.empty() || refreshWanted_; });
        if (stop_)
            break;
        if (!jobs_.empty()) {
            lock.unlock();
            run_one_job();
            lock.lock();
            continue;
        }
        refreshWanted_ = false;
        lock.unlock();
        gather_all();
        lock.lock();
        ++refreshes_;
        refreshed_.notify_all();
    }
    lock.unlock();
    kxs_freeHandle(handle_);
}

void Worker::open_handle()
{
    if (!settings_.root.empty() && kxs_setRoot(settings_.root.c_str()) != 0) {
        syslog(LOG_ERR, "kxsmon agent: product root %s refused", settings_.root.c_str());
        rootRefused_ = true;  // never fall back to the real product's files
        return;
    }
    const std::string stored =
        read_data_file(data_path(settings_.root, kLimitFile), 64);
    if (auto limit = parse_limit(stored))
        unownedLimit_ = *limit;
    else if (!stored.empty())
        syslog(LOG_ERR, "kxsmon agent: %s holds no limit; using %u",
               data_path(settings_.root, kLimitFile).c_str(), kDefaultUnownedLimit);
    handle_ = kxs_init();
}

// Every figure in turn, each published as soon as it is had. Waiting changes
// go first between two figures, so a set waits for one query at most.
void Worker::gather_all()
{
    if (!handle_ && !rootRefused_)
        handle_ = kxs_init();  // the services file may have appeared
    const auto &all = figures();
    for (size_t i = 0; i < all.size(); ++i) {
        while (run_one_job()) {
        }
        {
            std::lock_guard lock(mutex_);
            if (stop_)
                return;
        }
        Rows rows;
        if (handle_)
            all[i].fill(Gathering{handle_, settings_.root, unownedLimit_}, rows);
        perFigure_[i] = std::move(rows);
        publish();
    }
}

bool Worker::run_one_job()
{
    Job job;
    {
        std::lock_guard lock(mutex_);
        if (jobs_.empty())
            return false;
        job = std::move(jobs_.front());
        jobs_.pop_front();
    }
    job.done = handle_ && carry_out(job);
    {
        std::lock_guard lock(mutex_);
        finished_.push_back(std::move(job));
    }
    const uint64_t one = 1;
    while (write(notifyFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    return true;
}

bool Worker::carry_out(Job &job)
{
    switch (job.kind) {
    case JobKind::SetContact:
        if (kxs_setContact(handle_, job.text.c_str()) != 0)
            return false;
        refill("contact");
        return true;
    case JobKind::SetUnownedLimit:
        if (!store_limit(data_path(settings_.root, kLimitFile), job.number))
            return false;
        unownedLimit_ = job.number;
        refill("unowned limit");
        return true;
    case JobKind::AddMonitored:
    case JobKind::DeleteMonitored:
        break;
    }
    const bool add = job.kind == JobKind::AddMonitored;
    if ((add ? kxs_addDTUMonitored(handle_, job.text.c_str())
             : kxs_deleteDTUMonitored(handle_, job.text.c_str())) != 0)
        return false;
    patch_monitored_figure(job.text, add);
    return true;
}

// Asking the group for the terminals' states could hold a set for seconds:
// the row is patched instead, and the next gathering brings its state.
void Worker::patch_monitored_figure(const std::string &id, bool add)
{
    const auto &all = figures();
    for (size_t i = 0; i < all.size(); ++i)
        if (std::string_view(all[i].name) == kMonitoredFigure)
            patch_monitored(perFigure_[i], id, add);
    publish();
}

void Worker::refill(const char *figure)
{
    const auto &all = figures();
    for (size_t i = 0; i < all.size(); ++i) {
        if (std::string_view(all[i].name) != figure)
            continue;
        Rows rows;
        all[i].fill(Gathering{handle_, settings_.root, unownedLimit_}, rows);
        perFigure_[i] = std::move(rows);
    }
    publish();
}

void Worker::publish()
{
    auto merged = std::make_shared<Rows>();
    for (const Rows &rows : perFigure_)
        merged->insert(rows.begin(), rows.end());
    std::lock_guard lock(mutex_);
    current_ = std::move(merged);
}

}  // namespace kxagent
