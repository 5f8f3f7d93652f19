// The thread that gathers the figures, and the snapshots it publishes.
//
// The library is used on two handles. The worker thread gathers every figure
// on its own handle, one source after the other; a query may wait seconds
// for a daemon, and the handle remembers a daemon that did not answer, so a
// gathering pays one wait per dead daemon. The changes that sets make (the
// contact, the monitored table) go through a second handle that asks no
// daemon, on the SNMP thread, under the worker's lock, which the worker
// holds only for moments: a set never waits for a gathering. The library's
// process-wide state (the root, the debug options) is written only while a
// handle is opened, and both are opened before the SNMP thread may use one.
//
// Each answer of a source goes past the watcher (notifications.h); what it
// finds waits in a bounded queue until net-snmp's thread takes it. While any
// kind of notification is on, the worker also gathers on its own, every
// watch period, so that a change is notified without a station's request.
//
// A published snapshot is never changed. A gathering or a change publishes
// new parts; the parts they replace are released by the worker thread once
// no snapshot serves them, never by the SNMP thread and never under the lock.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "changes.h"
#include "notifications.h"
#include "snapshot.h"

namespace kxagent {

struct Settings {
    std::string root;        // product root ("" is the real one)
    int cacheSeconds = 2;    // how long a snapshot is served before a refresh is asked for
    int refreshWaitMs = 250; // how long an SNMP request waits for that refresh
    unsigned notifications = kAllKinds;  // the kinds notified of (bits of Kind)
    int watchSeconds = 30;   // while any is, a gathering at least this often
};

class State;

class Worker {
public:
    explicit Worker(Settings settings);
    // Stops the thread. One still inside a library call after a moment is
    // left to end it alone (such a call cannot be interrupted): it touches
    // only what it owns, and abandoned() tells the program not to run its
    // exit-time destructors under it.
    ~Worker();
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    // The latest snapshot (never null).
    std::shared_ptr<const Snapshot> latest() const;
    // Asks for a refresh and waits at most `waitMs` for one to end; then the
    // latest snapshot, fresh or not.
    std::shared_ptr<const Snapshot> refresh(int waitMs);

    // Whether changes can be made (the handle of the changes is open).
    bool ready() const;
    // Whether the monitored table holds `id` (without regard to case).
    bool monitored(const std::string &id) const;
    // Makes and stores `change` at once and publishes it: see make_change.
    bool apply(const Change &change, std::optional<Change> &undo);

    // The notifications found since the last call, oldest first, and how
    // many were dropped past the queue's bound.
    std::vector<Notification> take_notifications(size_t &dropped);

    // Whether a worker was ever left running at a stop.
    static bool abandoned();

private:
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace kxagent
