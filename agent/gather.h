// The sources of the figures: for each source of the MIB (a query or a few
// that share a daemon or a file), the part its figures fill, whether a
// failure leaves them absent or keeps the last good ones, and the filler
// that asks the library and lays the answer out by the figures' table.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "kxsmon.h"
#include "figures.h"
#include "snapshot.h"

namespace kxagent {

// The parts of a snapshot, in OID order.
enum class Slot : size_t {
    Version, Patches, UpTime, Sessions, Users, Contact, Policy, UnownedLimit, Daemons, Interfaces,
    Dhcp, Failover, MonitoredFigures, MonitoredRows, Exceptions, Sources, Count
};
constexpr size_t kSlots = static_cast<size_t>(Slot::Count);

// How a source's queries went: the worst outcome among them (a failure over
// a partial answer over success), with the library's text for it.
struct Outcome {
    int code = KXS_OK;
    std::string text;

    static Outcome of(KXSHandle *handle);
    // Whether the figures are figures of the server (complete or partial).
    bool usable() const { return code == KXS_OK || code == KXS_EPARTIAL; }
    void add(const Outcome &other);
};

struct Gathered {
    std::shared_ptr<const Part> part;  // the figures that could be had; null: none
    Outcome outcome;
};

// What a failed gathering leaves served: nothing, or the figures of the
// last gathering that succeeded (the source's status then says stale).
enum class OnFailure { Absent, KeepLast };

struct Source {
    SourceNumber number;
    const char *name;  // kxsSourceName
    Slot slot;
    OnFailure onFailure;
    bool local;        // asked on the handle of the sets (no daemon behind it)
    Gathered (*fill)(KXSHandle *handle, uint32_t unownedLimit);
};

// Every source, in the order a refresh gathers them: the quick ones first,
// so that a slow daemon delays only the figures that ask it.
const std::vector<Source> &sources();

// kxsSourceStatus values.
enum SourceStatus : uint32_t { kOk = 1, kPartial, kStale, kFailed, kNotGathered };

struct SourceState {
    uint32_t status = kNotGathered;
    std::string reason;
    time_t gathered = 0;  // when the figures served were had; 0: never
};

// The status table: `states` indexed by source number - 1.
std::shared_ptr<const Part> status_part(const std::vector<SourceState> &states);
// The agent's own scalar.
std::shared_ptr<const Part> limit_part(uint32_t limit);
// The monitored table as served: a RowStatus for every terminal of the
// table (`ids`, as stored), and the figures of those among them that the
// last gathering had.
std::shared_ptr<const Part> membership_part(const std::vector<std::string> &ids);
std::shared_ptr<const Part> served_figures(const Part &gathered, const std::vector<std::string> &ids);

}  // namespace kxagent
