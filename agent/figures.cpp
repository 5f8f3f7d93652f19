#include "figures.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <strings.h>

#include "kxsmon.h"
#include "states.h"

namespace kxagent {

namespace {

template <typename Record>
const Record &as(const void *record)
{
    return *static_cast<const Record *>(record);
}

// A figure that is a query of its own is read from the handle.
KXSHandle *handle_of(const void *record)
{
    return static_cast<KXSHandle *>(const_cast<void *>(record));
}

Value text(const char *t)
{
    return {0, t ? t : "", true};
}

Value text(std::string_view t)
{
    return {0, std::string(t), true};
}

Value number(uint32_t n)
{
    return {n, {}, true};
}

// Integer32 travels in two's complement; a count below zero is none.
Value integer(int32_t n)
{
    return number(static_cast<uint32_t>(n));
}

Value count(int32_t n)
{
    return number(n > 0 ? static_cast<uint32_t>(n) : 0);
}

Value truth(bool yes)
{
    return number(yes ? kTrue : kFalse);
}

// A state as the MIB enumerates it: one of the named, or what any other
// number is taken for.
Value state(const kxfigures::States &states, int32_t n)
{
    return integer(states.of(n).number);
}

// The netmask as an address of the interface address's type, else none.
Value netmask_of(const KXSInterface &f)
{
    if (inet_type(f.netmask).number != inet_type(f.ipaddr).number)
        return text("");
    return inet_address(f.netmask);
}

Value loss_of(const KXSDTU &t)
{
    const double loss = std::isfinite(t.lossPercent) ? std::clamp(t.lossPercent, 0.0F, 100.0F) : 0.0;
    return number(static_cast<uint32_t>(std::lround(loss * 100)));
}

// The columns shared by the monitored and the exception tables.
void add_terminal_figures(std::vector<Figure> &all, Subid group, Subid source, const char *prefix)
{
    using A = Asn;
    const std::string p = prefix;
    const std::vector<Figure> columns = {
        {p + "TerminalId", group, 1, A::OctetString, source,
         [](const void *r) { return text(as<KXSDTU>(r).terminalId); }, true},
        {p + "AddressType", group, kTermAddressType, A::Integer, source,
         [](const void *r) { return inet_type(as<KXSDTU>(r).terminalIPA); }},
        {p + "Address", group, kTermAddress, A::OctetString, source,
         [](const void *r) { return inet_address(as<KXSDTU>(r).terminalIPA); }},
        {p + "State", group, kTermState, A::Integer, source,
         [](const void *r) { return state(kxfigures::terminal_states(), as<KXSDTU>(r).state); }},
        {p + "Packets", group, 5, A::Unsigned, source,
         [](const void *r) { return number(as<KXSDTU>(r).terminalPackets); }},
        {p + "LostPackets", group, 6, A::Unsigned, source,
         [](const void *r) { return number(as<KXSDTU>(r).terminalLostPackets); }},
        {p + "Loss", group, 7, A::Unsigned, source, [](const void *r) { return loss_of(as<KXSDTU>(r)); }},
        {p + "Location", group, kTermLocation, A::OctetString, source,
         [](const void *r) { return text(as<KXSDTU>(r).location); }},
        {p + "OtherInfo", group, 9, A::OctetString, source,
         [](const void *r) { return text(as<KXSDTU>(r).otherInfo); }},
        {p + "Server", group, kTermServer, A::OctetString, source,
         [](const void *r) { return text(as<KXSDTU>(r).serverName); }},
        {p + "Model", group, 11, A::OctetString, source,
         [](const void *r) { return text(as<KXSDTU>(r).model); }},
        {p + "Firmware", group, 12, A::OctetString, source,
         [](const void *r) { return text(as<KXSDTU>(r).firmware); }},
    };
    all.insert(all.end(), columns.begin(), columns.end());
}

std::vector<Figure> make_figures()
{
    using A = Asn;
    std::vector<Figure> all = {
        {"kxsVersion", kSystem, kVersion, A::OctetString, kVersionSource,
         [](const void *r) { return text(as<KXSVersion>(r).version); }},
        {"kxsInstallDate", kSystem, kInstallDate, A::OctetString, kVersionSource,
         [](const void *r) { return install_date(as<KXSVersion>(r).installDate); }},
        {"kxsInstallDateText", kSystem, kInstallDateText, A::OctetString, kVersionSource,
         [](const void *r) { return text(as<KXSVersion>(r).installDate); }},
        {"kxsPatches", kSystem, kPatches, A::OctetString, kPatchesSource,
         [](const void *r) { return text(static_cast<const char *>(r)); }, false, 65535},
        {"kxsUpTime", kSystem, kUpTime, A::TimeTicks, kUpTimeSource,
         [](const void *h) { return number(kxs_upTime(handle_of(h))); }},
        {"kxsTotalSessions", kSystem, kTotalSessions, A::Unsigned, kSessionsSource,
         [](const void *h) { return count(kxs_totalSessions(handle_of(h))); }},
        {"kxsActiveSessions", kSystem, kActiveSessions, A::Unsigned, kSessionsSource,
         [](const void *h) { return count(kxs_sessions(handle_of(h))); }},
        {"kxsUsers", kSystem, kUsers, A::Unsigned, kUsersSource,
         [](const void *h) { return number(kxs_users(handle_of(h))); }},
        {"kxsDesktops", kSystem, kDesktops, A::Unsigned, kUsersSource,
         [](const void *h) { return count(kxs_desktops(handle_of(h))); }},
        {"kxsContact", kSystem, kContact, A::OctetString, kContactSource,
         [](const void *r) { return text(static_cast<const char *>(r)); }},
        {"kxsPolicy", kSystem, kPolicy, A::OctetString, kPolicySource,
         [](const void *r) { return text(static_cast<const char *>(r)); }},
        {"kxsUnownedLimit", kSystem, kUnownedLimit, A::Unsigned, kAgent,
         [](const void *r) { return number(as<uint32_t>(r)); }},

        {"kxsDaemonName", kDaemonTable, kDaemonName, A::OctetString, kDaemonsSource,
         [](const void *r) { return text(as<KXSDaemon>(r).name); }},
        {"kxsDaemonStatus", kDaemonTable, kDaemonStatus, A::Integer, kDaemonsSource,
         [](const void *r) { return state(kxfigures::daemon_states(), as<KXSDaemon>(r).status); }},
        {"kxsDaemonStartTime", kDaemonTable, kDaemonStartTime, A::OctetString, kDaemonsSource,
         [](const void *r) { return text(date_and_time(as<KXSDaemon>(r).stime)); }},
        {"kxsDaemonChangeTime", kDaemonTable, kDaemonChangeTime, A::OctetString, kDaemonsSource,
         [](const void *r) { return text(date_and_time(as<KXSDaemon>(r).changetm)); }},
        {"kxsDaemonInstances", kDaemonTable, kDaemonInstances, A::Unsigned, kDaemonsSource,
         [](const void *r) { return count(as<KXSDaemon>(r).instances); }},
        {"kxsDaemonDescription", kDaemonTable, 7, A::OctetString, kDaemonsSource,
         [](const void *r) { return text(as<KXSDaemon>(r).description); }},

        {"kxsInterfaceName", kInterfaceTable, kIfName, A::OctetString, kInterfacesSource,
         [](const void *r) { return text(as<KXSInterface>(r).name); }},
        {"kxsInterfaceAddressType", kInterfaceTable, kIfAddressType, A::Integer, kInterfacesSource,
         [](const void *r) { return inet_type(as<KXSInterface>(r).ipaddr); }},
        {"kxsInterfaceAddress", kInterfaceTable, kIfAddress, A::OctetString, kInterfacesSource,
         [](const void *r) { return inet_address(as<KXSInterface>(r).ipaddr); }},
        {"kxsInterfaceNetmask", kInterfaceTable, kIfNetmask, A::OctetString, kInterfacesSource,
         [](const void *r) { return netmask_of(as<KXSInterface>(r)); }},
        {"kxsInterfaceStatus", kInterfaceTable, kIfStatus, A::Integer, kInterfacesSource,
         [](const void *r) { return state(kxfigures::link_states(), as<KXSInterface>(r).status); }},
        {"kxsInterfaceLastPacket", kInterfaceTable, 7, A::TimeTicks, kInterfacesSource,
         [](const void *r) { return number(as<KXSInterface>(r).lastpkt); }},
        {"kxsInterfaceLan", kInterfaceTable, 8, A::Integer, kInterfacesSource, [](const void *r) {
             const char *type = as<KXSInterface>(r).type;
             return truth(type && strcmp(type, "LAN") == 0);
         }},

        {"kxsDhcpName", kDhcpTable, 2, A::OctetString, kDhcpSource,
         [](const void *r) { return text(as<KXSDHCPEntry>(r).name); }},
        {"kxsDhcpAvailable", kDhcpTable, 3, A::Unsigned, kDhcpSource,
         [](const void *r) { return count(as<KXSDHCPEntry>(r).available); }},

        {"kxsFailoverName", kFailoverTable, kFoName, A::OctetString, kFailoverSource,
         [](const void *r) { return text(as<KXSFOHost>(r).name); }},
        {"kxsFailoverRole", kFailoverTable, kFoRole, A::Integer, kFailoverSource,
         [](const void *r) { return number(role_of(as<KXSFOHost>(r).role)); }},
        {"kxsFailoverOffline", kFailoverTable, kFoOffline, A::Integer, kFailoverSource,
         [](const void *r) { return truth(kxfigures::member_role(as<KXSFOHost>(r).role).offline); }},
        {"kxsFailoverStatus", kFailoverTable, kFoStatus, A::Integer, kFailoverSource,
         [](const void *r) { return state(kxfigures::link_states(), as<KXSFOHost>(r).status); }},
    };
    add_terminal_figures(all, kMonitoredTable, kMonitoredSource, "kxsMon");
    // The agent's own column: every row of the table as stored is active.
    all.push_back({"kxsMonRowStatus", kMonitoredTable, kMonRowStatus, A::Integer, kAgent});
    add_terminal_figures(all, kExceptionTable, kExceptionsSource, "kxsExc");
    const std::vector<Figure> sources = {
        {"kxsSourceName", kSourceTable, kSourceName, A::OctetString, kAgent,
         [](const void *r) { return text(as<SourceRecord>(r).name); }},
        {"kxsSourceStatus", kSourceTable, kSourceStatus, A::Integer, kAgent,
         [](const void *r) { return number(as<SourceRecord>(r).status); }},
        {"kxsSourceReason", kSourceTable, kSourceReason, A::OctetString, kAgent,
         [](const void *r) { return text(as<SourceRecord>(r).reason); }},
        {"kxsSourceGathered", kSourceTable, kSourceGathered, A::OctetString, kAgent,
         [](const void *r) { return text(date_and_time(as<SourceRecord>(r).gathered)); }},
    };
    all.insert(all.end(), sources.begin(), sources.end());
    return all;
}

// The figures of `group` that `source` reads, in column order.
std::vector<const Figure *> columns_of(Subid group, Subid source)
{
    std::vector<const Figure *> columns;
    for (const Figure &f : figures())
        if (f.group == group && f.source == source && f.read && !f.index)
            columns.push_back(&f);
    std::sort(columns.begin(), columns.end(),
              [](const Figure *a, const Figure *b) { return a->column < b->column; });
    return columns;
}

const Figure *index_of(Subid group)
{
    for (const Figure &f : figures())
        if (f.group == group && f.index)
            return &f;
    return nullptr;
}

constexpr std::array<const char *, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int month_of(const char *name)
{
    for (size_t i = 0; i < kMonths.size(); ++i)
        if (strcasecmp(name, kMonths[i]) == 0)
            return static_cast<int>(i);
    return -1;
}

}  // namespace

// Never destroyed: a worker left inside a query when the host exits goes on
// using it.
const std::vector<Figure> &figures()
{
    static const auto *all = new std::vector<Figure>(make_figures());
    return *all;
}

bool known_object(const Oid &suffix)
{
    // {kxsObjects, kSystem, scalar, ...} or {kxsObjects, table, entry, column, ...}
    if (suffix.size() < 3 || suffix[0] != 1)
        return false;
    const bool scalar = suffix[1] == kSystem;
    if (!scalar && (suffix.size() < 4 || suffix[2] != 1))
        return false;
    const Subid column = scalar ? suffix[2] : suffix[3];
    return std::any_of(figures().begin(), figures().end(), [&](const Figure &f) {
        return f.group == suffix[1] && f.column == column && !f.index;
    });
}

Part scalar_part(Subid source, const void *record)
{
    std::vector<Scalar> values;
    for (const Figure *f : columns_of(kSystem, source)) {
        Value v = f->read(record);
        if (v.present)
            values.push_back({f->column, f->type, v.number, v.text.substr(0, f->maxBytes)});
    }
    return scalars(values);
}

Part table_part(Subid group, Subid source, const std::vector<const void *> &records)
{
    const std::vector<const Figure *> columns = columns_of(group, source);
    const Figure *index = index_of(group);
    std::vector<Column> layout;
    for (const Figure *f : columns)
        layout.push_back({f->column, f->type});
    Part part(table_prefix(group), index ? IndexKind::Text : IndexKind::Position, std::move(layout));
    part.reserve(records.size());
    for (const void *record : records) {
        if (index) {
            const std::string id = index->read(record).text;
            if (!servable_id(id))
                continue;  // an ID that cannot be an index is not served
            part.add_row(id);
        } else {
            part.add_row();
        }
        for (const Figure *f : columns) {
            const Value v = f->read(record);
            if (f->type == Asn::OctetString)
                part.put(v.text, f->maxBytes);
            else
                part.put(v.number);
        }
    }
    part.finish();
    return part;
}

std::string date_and_time(time_t when)
{
    struct tm utc{};
    if (when == 0 || !gmtime_r(&when, &utc))
        return std::string(8, '\0');
    const int year = utc.tm_year + 1900;
    const char bytes[] = {
        static_cast<char>(year >> 8), static_cast<char>(year & 0xff),
        static_cast<char>(utc.tm_mon + 1), static_cast<char>(utc.tm_mday),
        static_cast<char>(utc.tm_hour), static_cast<char>(utc.tm_min),
        static_cast<char>(std::min(utc.tm_sec, 60)), 0, '+', 0, 0,
    };
    return std::string(bytes, sizeof bytes);
}

Value install_date(const char *text)
{
    Value none{0, {}, false};
    char month[4] = {};
    int day = 0, year = 0, hour = 0, minute = 0, used = 0;
    if (!text || sscanf(text, "%3s %d %d %d:%d%n", month, &day, &year, &hour, &minute, &used) != 5 ||
        text[used] != '\0' || month_of(month) < 0 || year < 1970 || year > 9999)
        return none;
    struct tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month_of(month);
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_isdst = -1;
    struct tm asked = local;
    // A date that mktime has to move (31 Feb, 25:00, a time that the
    // clock skipped) is no date of the record.
    if (mktime(&local) == -1 || local.tm_mday != asked.tm_mday || local.tm_mon != asked.tm_mon ||
        local.tm_hour != asked.tm_hour || local.tm_min != asked.tm_min)
        return none;
    const long offset = local.tm_gmtoff / 60;  // minutes east of UTC
    const long away = offset < 0 ? -offset : offset;
    const char bytes[] = {
        static_cast<char>(year >> 8), static_cast<char>(year & 0xff),
        static_cast<char>(local.tm_mon + 1), static_cast<char>(day),
        static_cast<char>(hour), static_cast<char>(minute), 0, 0,
        offset < 0 ? '-' : '+', static_cast<char>(away / 60), static_cast<char>(away % 60),
    };
    return {0, std::string(bytes, sizeof bytes), true};
}

Value inet_type(const char *address)
{
    unsigned char bytes[16];
    if (address && inet_pton(AF_INET, address, bytes) == 1)
        return number(kInetIpv4);
    if (address && inet_pton(AF_INET6, address, bytes) == 1)
        return number(kInetIpv6);
    return number(kInetUnknown);
}

Value inet_address(const char *address)
{
    unsigned char bytes[16];
    if (address && inet_pton(AF_INET, address, bytes) == 1)
        return {0, std::string(reinterpret_cast<char *>(bytes), 4), true};
    if (address && inet_pton(AF_INET6, address, bytes) == 1)
        return {0, std::string(reinterpret_cast<char *>(bytes), 16), true};
    return text("");
}

uint32_t role_of(const char *role)
{
    return static_cast<uint32_t>(kxfigures::member_role(role).role->number);
}

bool servable_id(std::string_view id)
{
    return !id.empty() && id.size() <= kMaxIndexBytes;
}

}  // namespace kxagent
