// The figures the agent serves: for each group of the MIB, where its rows
// lie and the filler that asks the library for them. This is the one place
// that knows the library's queries; a new table is one column list here and
// one filler with its entry in figures() in gather.cpp.
#pragma once

#include <cstdint>
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
    kDaemonTable = 2, kInterfaceTable, kDhcpTable, kFailoverTable, kMonitoredTable, kExceptionTable
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
// and the exception table (indexed by position, the ID in kTermId).
enum TerminalColumn : Subid {
    kTermAddress = 2, kTermState, kTermPackets, kTermLostPackets, kTermLoss, kTermLocation,
    kTermOtherInfo, kTermServer, kTermModel, kTermFirmware,
    kMonRowStatus = 12,
};
constexpr Subid kExcTerminalId = 2;  // the exception table's columns are shifted by one
constexpr int32_t kRowActive = 1;

// What a filler may use. Runs on the worker thread only.
struct Gathering {
    KXSHandle *handle;
    std::string root;
    uint32_t unownedLimit;
};

using Filler = void (*)(const Gathering &, Rows &);

struct Figure {
    const char *name;
    Filler fill;
};

// The monitored table's figure: the one a row set patches in place.
constexpr const char *kMonitoredFigure = "monitored terminals";

// The monitored table's rows of a figure once terminal `id` is added or
// removed: a new row holds its RowStatus until the next gathering brings its
// state, a removed one loses every column. IDs match without regard to case.
void patch_monitored(Rows &rows, const std::string &id, bool add);

// Every figure, in the order a refresh gathers them: the quick ones first, so
// that a slow daemon delays only the figures that ask it.
const std::vector<Figure> &figures();

}  // namespace kxagent
