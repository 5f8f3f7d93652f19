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

namespace fields = kxfigures;

template <typename Record>
const Record &as(const void *record)
{
    return *static_cast<const Record *>(record);
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

// Integer32 travels in two's complement.
Value integer(int64_t n)
{
    return number(static_cast<uint32_t>(n));
}

Value truth(bool yes)
{
    return number(yes ? kTrue : kFalse);
}

Asn asn_of(Syntax syntax)
{
    switch (syntax) {
    case Syntax::DisplayString:
    case Syntax::DateAndTime:
    case Syntax::InetAddress:
        return Asn::OctetString;
    case Syntax::Gauge32:
        return Asn::Unsigned;
    case Syntax::TimeTicks:
        return Asn::TimeTicks;
    case Syntax::InetAddressType:
    case Syntax::TruthValue:
    case Syntax::Enumeration:
        break;
    }
    return Asn::Integer;
}

// Serves the described field of the figure from a record of its type.
template <typename Record>
Value serve_field(const Figure &figure, const void *record)
{
    const auto &field = *static_cast<const fields::Field<Record> *>(figure.field);
    return served(field.kind, field.read(as<Record>(record)), figure.syntax);
}

template <typename Record>
Figure described(std::string name, Subid group, Subid column, Syntax syntax, Subid source,
                 const fields::Field<Record> &field, size_t maxBytes = kDisplayMax)
{
    Figure f{std::move(name), group, column, syntax, asn_of(syntax), source};
    f.field = &field;
    f.serve = serve_field<Record>;
    f.maxBytes = maxBytes;
    return f;
}

// A table's text index: the field's text, not a column.
template <typename Record>
Figure index(std::string name, Subid group, Subid source, const fields::Field<Record> &field)
{
    Figure f = described(std::move(name), group, 1, Syntax::DisplayString, source, field);
    f.index = true;
    return f;
}

Figure own(std::string name, Subid group, Subid column, Syntax syntax,
           Value (*read)(const void *) = nullptr)
{
    return {std::move(name), group, column, syntax, asn_of(syntax), kAgent, nullptr, nullptr, read};
}

// The columns shared by the monitored and the exception tables.
void add_terminal_figures(std::vector<Figure> &all, Subid group, Subid source,
                          const std::string &prefix)
{
    namespace t = fields::terminals;
    using S = Syntax;
    const std::vector<Figure> columns = {
        index(prefix + "TerminalId", group, source, t::id),
        described(prefix + "AddressType", group, kTermAddressType, S::InetAddressType, source,
                  t::address),
        described(prefix + "Address", group, kTermAddress, S::InetAddress, source, t::address),
        described(prefix + "State", group, kTermState, S::Enumeration, source, t::state),
        described(prefix + "Packets", group, 5, S::Gauge32, source, t::packets),
        described(prefix + "LostPackets", group, 6, S::Gauge32, source, t::lost_packets),
        described(prefix + "Loss", group, 7, S::Gauge32, source, t::loss),
        described(prefix + "Location", group, kTermLocation, S::DisplayString, source, t::location),
        described(prefix + "OtherInfo", group, 9, S::DisplayString, source, t::other_info),
        described(prefix + "Server", group, kTermServer, S::DisplayString, source, t::server),
        described(prefix + "Model", group, 11, S::DisplayString, source, t::model),
        described(prefix + "Firmware", group, 12, S::DisplayString, source, t::firmware),
    };
    all.insert(all.end(), columns.begin(), columns.end());
}

std::vector<Figure> make_figures()
{
    namespace q = fields::queries;
    namespace d = fields::daemons;
    namespace i = fields::interfaces;
    namespace m = fields::members;
    using S = Syntax;
    std::vector<Figure> all = {
        described("kxsVersion", kSystem, kVersion, S::DisplayString, kVersionSource,
                  fields::version::version),
        described("kxsInstallDate", kSystem, kInstallDate, S::DateAndTime, kVersionSource,
                  fields::version::install_date),
        described("kxsInstallDateText", kSystem, kInstallDateText, S::DisplayString, kVersionSource,
                  fields::version::install_date),
        described("kxsPatches", kSystem, kPatches, S::DisplayString, kPatchesSource,
                  fields::texts::patches, 65535),
        described("kxsUpTime", kSystem, kUpTime, S::TimeTicks, kUpTimeSource, q::up_time),
        described("kxsTotalSessions", kSystem, kTotalSessions, S::Gauge32, kSessionsSource,
                  q::total_sessions),
        described("kxsActiveSessions", kSystem, kActiveSessions, S::Gauge32, kSessionsSource,
                  q::active_sessions),
        described("kxsUsers", kSystem, kUsers, S::Gauge32, kUsersSource, q::users),
        described("kxsDesktops", kSystem, kDesktops, S::Gauge32, kUsersSource, q::desktops),
        described("kxsContact", kSystem, kContact, S::DisplayString, kContactSource,
                  fields::texts::contact),
        described("kxsPolicy", kSystem, kPolicy, S::DisplayString, kPolicySource,
                  fields::texts::policy),
        own("kxsUnownedLimit", kSystem, kUnownedLimit, S::Gauge32,
            [](const void *r) { return number(as<uint32_t>(r)); }),

        described("kxsDaemonName", kDaemonTable, kDaemonName, S::DisplayString, kDaemonsSource,
                  d::name),
        described("kxsDaemonStatus", kDaemonTable, kDaemonStatus, S::Enumeration, kDaemonsSource,
                  d::state),
        described("kxsDaemonStartTime", kDaemonTable, kDaemonStartTime, S::DateAndTime,
                  kDaemonsSource, d::start_time),
        described("kxsDaemonChangeTime", kDaemonTable, kDaemonChangeTime, S::DateAndTime,
                  kDaemonsSource, d::change_time),
        described("kxsDaemonInstances", kDaemonTable, kDaemonInstances, S::Gauge32, kDaemonsSource,
                  d::instances),
        described("kxsDaemonDescription", kDaemonTable, 7, S::DisplayString, kDaemonsSource,
                  d::description),

        described("kxsInterfaceName", kInterfaceTable, kIfName, S::DisplayString, kInterfacesSource,
                  i::name),
        described("kxsInterfaceAddressType", kInterfaceTable, kIfAddressType, S::InetAddressType,
                  kInterfacesSource, i::address),
        described("kxsInterfaceAddress", kInterfaceTable, kIfAddress, S::InetAddress,
                  kInterfacesSource, i::address),
        described("kxsInterfaceNetmask", kInterfaceTable, kIfNetmask, S::InetAddress,
                  kInterfacesSource, i::netmask),
        described("kxsInterfaceStatus", kInterfaceTable, kIfStatus, S::Enumeration,
                  kInterfacesSource, i::state),
        described("kxsInterfaceLastPacket", kInterfaceTable, 7, S::TimeTicks, kInterfacesSource,
                  i::last_packet),
        described("kxsInterfaceLan", kInterfaceTable, 8, S::TruthValue, kInterfacesSource, i::lan),

        described("kxsDhcpName", kDhcpTable, 2, S::DisplayString, kDhcpSource, fields::dhcp::name),
        described("kxsDhcpAvailable", kDhcpTable, 3, S::Gauge32, kDhcpSource,
                  fields::dhcp::available),

        described("kxsFailoverName", kFailoverTable, kFoName, S::DisplayString, kFailoverSource,
                  m::name),
        described("kxsFailoverRole", kFailoverTable, kFoRole, S::Enumeration, kFailoverSource,
                  m::role),
        described("kxsFailoverOffline", kFailoverTable, kFoOffline, S::TruthValue, kFailoverSource,
                  m::role),
        described("kxsFailoverStatus", kFailoverTable, kFoStatus, S::Enumeration, kFailoverSource,
                  m::state),
    };
    add_terminal_figures(all, kMonitoredTable, kMonitoredSource, "kxsMon");
    // The agent's own column: every row of the table as stored is active.
    all.push_back(own("kxsMonRowStatus", kMonitoredTable, kMonRowStatus, S::Enumeration));
    add_terminal_figures(all, kExceptionTable, kExceptionsSource, "kxsExc");
    const std::vector<Figure> sources = {
        own("kxsSourceName", kSourceTable, kSourceName, S::DisplayString,
            [](const void *r) { return text(as<SourceRecord>(r).name); }),
        own("kxsSourceStatus", kSourceTable, kSourceStatus, S::Enumeration,
            [](const void *r) { return number(as<SourceRecord>(r).status); }),
        own("kxsSourceReason", kSourceTable, kSourceReason, S::DisplayString,
            [](const void *r) { return text(as<SourceRecord>(r).reason); }),
        own("kxsSourceGathered", kSourceTable, kSourceGathered, S::DateAndTime,
            [](const void *r) { return text(date_and_time(as<SourceRecord>(r).gathered)); }),
    };
    all.insert(all.end(), sources.begin(), sources.end());
    return all;
}

// The figures of `group` that `source` reads, in column order.
std::vector<const Figure *> columns_of(Subid group, Subid source)
{
    std::vector<const Figure *> columns;
    for (const Figure &f : figures())
        if (f.group == group && f.source == source && f.readable() && !f.index)
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
    layout.reserve(columns.size());
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

Value served(kxfigures::Kind kind, const kxfigures::Value &value, Syntax syntax)
{
    using K = kxfigures::Kind;
    switch (syntax) {
    case Syntax::DateAndTime:
        return kind == K::LocalDate ? install_date(value.text) : text(date_and_time(value.number));
    case Syntax::InetAddressType:
        return inet_type(value.text);
    case Syntax::InetAddress:
        // A mask not of its address's family is none.
        return kind == K::Netmask && !value.flag ? text("") : inet_address(value.text);
    case Syntax::TruthValue:
        return truth(value.flag);
    case Syntax::Enumeration:
        return integer(value.number);
    case Syntax::Gauge32:
        // A Gauge32 has no room for a count that is not known: none is 0.
        // A percent goes in hundredths.
        if (!value.known)
            return number(0);
        return number(static_cast<uint32_t>(kind == K::Percent ? std::lround(value.percent * 100)
                                                               : value.number));
    case Syntax::TimeTicks:
        return number(static_cast<uint32_t>(value.number));
    case Syntax::DisplayString:
        break;
    }
    return text(value.text);
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
    return static_cast<uint32_t>(kxfigures::read::role(role).number);
}

bool servable_id(std::string_view id)
{
    return !id.empty() && id.size() <= kMaxIndexBytes;
}

}  // namespace kxagent
