// The figures the agent serves: one table that names each object of
// KXSMON-MIB, where it lies, the MIB syntax it is served in, the source whose
// gathering gives it, and the field of the records' description
// (tools/figures/fields.h) it serves, the one the kxsmon command reports
// too; only the agent's own figures (the sources, the unowned limit, the
// row status) are read here. The gathering builds its parts from this
// table, the module tells an object that does not exist from one without an
// instance by it, and the notifications pick their objects from it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "fields.h"
#include "snapshot.h"

namespace kxagent {

// The groups under kxsObjects: the system scalars, then the tables.
enum Group : Subid {
    kSystem = 1, kDaemonTable, kInterfaceTable, kDhcpTable, kFailoverTable, kMonitoredTable,
    kExceptionTable, kSourceTable
};

// kxsSystem scalars.
enum SystemScalar : Subid {
    kVersion = 1, kInstallDate, kInstallDateText, kPatches, kUpTime, kTotalSessions,
    kActiveSessions, kUsers, kDesktops, kContact, kPolicy, kUnownedLimit
};

// The columns that code other than the table's readers names.
enum DaemonColumn : Subid {
    kDaemonName = 2, kDaemonStatus, kDaemonStartTime, kDaemonChangeTime, kDaemonInstances
};
enum InterfaceColumn : Subid {
    kIfName = 2, kIfAddressType, kIfAddress, kIfNetmask, kIfStatus
};
enum FailoverColumn : Subid { kFoName = 2, kFoRole, kFoOffline, kFoStatus };
// The terminal columns shared by the monitored and the exception tables,
// both indexed by the terminal ID.
enum TerminalColumn : Subid {
    kTermAddressType = 2, kTermAddress, kTermState, kTermLocation = 8, kTermServer = 10,
    kMonRowStatus = 13
};
enum SourceColumn : Subid { kSourceName = 2, kSourceStatus, kSourceReason, kSourceGathered };

// kxsSourceIndex values; 0 is the agent itself (figures it keeps, no query).
enum SourceNumber : Subid {
    kAgent = 0, kVersionSource, kPatchesSource, kUpTimeSource, kSessionsSource, kUsersSource,
    kContactSource, kPolicySource, kDaemonsSource, kInterfacesSource, kDhcpSource,
    kFailoverSource, kMonitoredSource, kExceptionsSource
};

// Enumerations and TruthValue (RFC 2579).
constexpr uint32_t kTrue = 1, kFalse = 2;
constexpr int32_t kRowActive = 1;
enum InetType : uint32_t { kInetUnknown = 0, kInetIpv4 = 1, kInetIpv6 = 2 };

// What a row of kxsSourceTable is read from.
struct SourceRecord {
    std::string_view name;
    uint32_t status;
    std::string_view reason;
    time_t gathered;  // 0: never
};

// A figure's value as served; a scalar that is not `present` is not served.
struct Value {
    uint32_t number = 0;
    std::string text;
    bool present = true;
};

// The MIB syntax a figure is served in: its ASN type, and how a described
// value becomes it.
enum class Syntax {
    DisplayString,
    DateAndTime,
    InetAddressType,
    InetAddress,
    TruthValue,
    Enumeration,
    Gauge32,
    TimeTicks
};

struct Figure {
    std::string name;  // the MIB object
    Subid group;       // kSystem or a table
    Subid column;      // the scalar's number, or the column's
    Syntax syntax;
    Asn type;          // of the syntax
    Subid source;      // the kxsSourceIndex that gives it
    // The described field it serves (a kxfigures::Field of the record of
    // its source's query, the handle itself for a figure that is a query of
    // its own) and its reader; null for the agent's own figures.
    const void *field = nullptr;
    Value (*serve)(const Figure &, const void *record) = nullptr;
    // The agent's own figures that a part of its own reads; null for those
    // it makes itself.
    Value (*own)(const void *record) = nullptr;
    bool index = false;             // a table's text index, not a column
    size_t maxBytes = kDisplayMax;  // texts are cut there

    bool readable() const { return serve || own; }
    Value read(const void *record) const { return serve ? serve(*this, record) : own(record); }
};

// Every figure, scalars first, then the tables, each in column order.
const std::vector<Figure> &figures();

// Whether `suffix` (below the module's root) names an object that this
// MIB defines and the agent serves, with or without an instance.
bool known_object(const Oid &suffix);

// The part of `source`'s scalars read from `record`.
Part scalar_part(Subid source, const void *record);
// The part of `group`'s columns that `source` gives, a row per record.
// Text-indexed tables skip records whose index cannot be one.
Part table_part(Subid group, Subid source, const std::vector<const void *> &records);

// A described value as `syntax` serves it.
Value served(kxfigures::Kind kind, const kxfigures::Value &value, Syntax syntax);

// The conversions to the MIB's syntaxes.
// DateAndTime (RFC 2579) in UTC; eight zero bytes for 0.
std::string date_and_time(time_t when);
// The package record's "Mon DD YYYY HH:MM", local time, as a DateAndTime
// with its offset from UTC; nothing when the text is not such a date.
Value install_date(const char *text);
// An address as InetAddressType and InetAddress bytes ({kInetUnknown, ""}
// when it is none).
Value inet_type(const char *address);
Value inet_address(const char *address);
// kxsFailoverRole of the library's role text (with or without "offline ").
uint32_t role_of(const char *role);

// Whether a terminal ID can be a row's index (kxsMonTerminalId's size).
bool servable_id(std::string_view id);

}  // namespace kxagent
