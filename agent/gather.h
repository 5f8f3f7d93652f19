// The figures the agent serves: for each source of the MIB (a query or a
// few that share a daemon or a file), where its cells lie, whether a failure
// leaves its figures absent or keeps the last good ones, and the filler that
// asks the library. This is the one place that knows the library's queries.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "kxsmon.h"
#include "snapshot.h"

namespace kxagent {

// kxsSystem scalars.
enum SystemScalar : Subid {
    kVersion = 1, kInstallDate, kPatches, kUpTime, kTotalSessions, kActiveSessions, kUsers,
    kDesktops, kContact, kPolicy, kUnownedLimit
};

// Tables under kxsObjects, and their columns.
enum Table : Subid {
    kDaemonTable = 2, kInterfaceTable, kDhcpTable, kFailoverTable, kMonitoredTable, kExceptionTable,
    kSourceTable
};
enum DaemonColumn : Subid {
    kDaemonName = 2, kDaemonStatus, kDaemonStartTime, kDaemonChangeTime, kDaemonInstances,
    kDaemonDescription
};
enum InterfaceColumn : Subid {
    kIfName = 2, kIfAddress, kIfNetmask, kIfStatus, kIfLastPacket, kIfType
};
enum DhcpColumn : Subid { kDhcpName = 2, kDhcpAvailable };
enum FailoverColumn : Subid { kFoName = 2, kFoRole, kFoStatus };
// The terminal columns shared by the monitored table (indexed by the ID)
// and the exception table (indexed by position, the ID in kExcTerminalId).
enum TerminalColumn : Subid {
    kTermAddress = 2, kTermState, kTermPackets, kTermLostPackets, kTermLoss, kTermLocation,
    kTermOtherInfo, kTermServer, kTermModel, kTermFirmware,
    kMonRowStatus = 12,
};
constexpr Subid kExcTerminalId = 2;  // the exception table's columns are shifted by one
enum SourceColumn : Subid { kSourceName = 2, kSourceStatus, kSourceReason, kSourceGathered };
constexpr int32_t kRowActive = 1;

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
    Subid number;      // kxsSourceIndex
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
std::shared_ptr<const Part> served_figures(const Part &figures, const std::vector<std::string> &ids);

// Whether a terminal ID can be a row's index (kxsMonTerminalId's size).
bool servable_id(std::string_view id);

}  // namespace kxagent
