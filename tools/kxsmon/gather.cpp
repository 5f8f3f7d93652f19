// The sections asked in a worker thread, so that the run's deadline holds
// even while a library call waits on a daemon (a call cannot be cut short).
#include "report.h"
#include "root.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace kxsmon {
namespace {

// What the worker and the main thread share. The worker alone calls the
// library (one thread per handle); the main thread only reads the results.
struct Progress {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Result> results;
    bool started = false;  // kxs_init gave a handle
    bool asking = false;   // a section's queries are running
    bool done = false;
    bool stop = false;     // the main thread no longer waits: ask nothing more
};

void work(const std::shared_ptr<Progress> &progress, const std::vector<const Section *> &chosen,
          const Request &request)
{
    KXSHandle *handle = kxs_init();
    {
        std::lock_guard lock(progress->mutex);
        progress->started = handle != nullptr;
    }
    for (std::size_t i = 0; handle && i < chosen.size(); ++i) {
        {
            std::lock_guard lock(progress->mutex);
            if (progress->stop)
                break;
            progress->asking = true;
        }
        Result result = chosen[i]->run(handle, request);
        std::lock_guard lock(progress->mutex);
        progress->asking = false;
        const bool misused = result.status == kUsage;
        progress->results.push_back(std::move(result));
        if (misused)
            break;
    }
    kxs_freeHandle(handle);
    std::lock_guard lock(progress->mutex);
    progress->done = true;
    progress->changed.notify_all();
}

// The results of the sections that the deadline cut off: the one being
// asked then is unknown, those after it were not asked.
void cut_off(Report &report, bool asking)
{
    const std::size_t cut = report.results.size();
    for (std::size_t i = cut; i < report.sections.size(); ++i)
        report.results.push_back(asking && i == cut
                                     ? unknown({}, "no answer before the run's time-out passed")
                                     : not_asked("the run's time-out passed"));
}

}  // namespace

Report gather(const std::vector<const Section *> &chosen, const Request &request, Deadline deadline,
              bool &unfinished)
{
    Report report;
    report.sections = chosen;
    report.now = request.now;
    auto progress = std::make_shared<Progress>();
    std::thread worker([progress, chosen, request] { work(progress, chosen, request); });
    std::unique_lock lock(progress->mutex);
    const auto finished = [&] { return progress->done; };
    if (deadline)
        progress->changed.wait_until(lock, *deadline, finished);
    else
        progress->changed.wait(lock, finished);
    unfinished = !progress->done;
    progress->stop = true;
    report.started = progress->started;
    report.results = progress->results;
    const bool asking = progress->asking;
    lock.unlock();
    if (unfinished)
        worker.detach();  // it holds its own share of `progress`
    else
        worker.join();

    if (!report.started && !unfinished) {
        report.startError = start_failure(request.root);
        for (std::size_t i = 0; i < chosen.size(); ++i)
            report.results.push_back(not_asked("the library could not start"));
    }
    cut_off(report, asking);
    return report;
}

}  // namespace kxsmon
