#include "gather.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace kxagent {

namespace {

// Owned texts of the library are released with free().
using Text = std::unique_ptr<char, decltype(&free)>;

uint32_t non_negative(int32_t n)
{
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

uint32_t integer(int32_t n)
{
    return static_cast<uint32_t>(n);  // Integer32 travels in two's complement
}

std::shared_ptr<const Part> shared(Part part)
{
    return std::make_shared<const Part>(std::move(part));
}

// A source of one query: its figures when it answered, none otherwise
// (a list that is NULL without a failure is an empty one).
template <typename Result, typename Build>
Gathered one_query(KXSHandle *handle, Result *result, Build build)
{
    Gathered got{nullptr, Outcome::of(handle)};
    if (got.outcome.usable() && result)
        got.part = shared(build(result));
    return got;
}

Gathered fill_version(KXSHandle *handle, uint32_t)
{
    KXSVersion *version = kxs_version(handle);
    Gathered got = one_query(handle, version, [](const KXSVersion *v) {
        return scalars({text_scalar(kVersion, v->version), text_scalar(kInstallDate, v->installDate)});
    });
    kxs_freeVersion(handle, version);
    return got;
}

// A source whose one figure is a text the library allocates.
template <SystemScalar number, char *(*query)(KXSHandle *), size_t limit = kDisplayMax>
Gathered fill_text(KXSHandle *handle, uint32_t)
{
    Text text(query(handle), free);
    return one_query(handle, text.get(),
                     [](const char *t) { return scalars({text_scalar(number, t, limit)}); });
}

// Scalars each asked on its own: the figures whose query answered.
struct ScalarQuery {
    Subid number;
    Asn type;
    uint32_t (*ask)(KXSHandle *);
};

Gathered scalar_queries(KXSHandle *handle, std::initializer_list<ScalarQuery> queries,
                        Outcome outcome = {})
{
    std::vector<Scalar> had;
    for (const ScalarQuery &q : queries) {
        const uint32_t value = q.ask(handle);
        const Outcome one = Outcome::of(handle);
        if (one.usable())
            had.push_back({q.number, q.type, value, {}});
        outcome.add(one);
    }
    return {had.empty() ? nullptr : shared(scalars(had)), outcome};
}

Gathered fill_up_time(KXSHandle *handle, uint32_t)
{
    return scalar_queries(handle, {{kUpTime, Asn::TimeTicks, kxs_upTime}});
}

// The counts are only as good as the refresh before them.
Gathered fill_sessions(KXSHandle *handle, uint32_t)
{
    if (kxs_countSessions(handle) == -1)
        return {nullptr, Outcome::of(handle)};
    return scalar_queries(
        handle,
        {{kTotalSessions, Asn::Unsigned, [](KXSHandle *h) { return non_negative(kxs_totalSessions(h)); }},
         {kActiveSessions, Asn::Unsigned, [](KXSHandle *h) { return non_negative(kxs_sessions(h)); }}},
        Outcome::of(handle));
}

Gathered fill_users(KXSHandle *handle, uint32_t)
{
    return scalar_queries(
        handle, {{kUsers, Asn::Unsigned, kxs_users},
                 {kDesktops, Asn::Unsigned, [](KXSHandle *h) { return non_negative(kxs_desktops(h)); }}});
}

// The rows of a NULL-terminated list, one a position.
template <typename Record, typename Row>
Part listed(Subid table, std::vector<Column> columns, Record *const *list, Row row)
{
    Part part(table_prefix(table), IndexKind::Position, std::move(columns));
    size_t count = 0;
    while (list[count])
        ++count;
    part.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        part.add_row();
        row(part, *list[i]);
    }
    part.finish();
    return part;
}

Gathered fill_daemons(KXSHandle *handle, uint32_t)
{
    KXSDaemon **list = kxs_daemons(handle);
    Gathered got = one_query(handle, list, [](KXSDaemon *const *l) {
        return listed(kDaemonTable,
                      {{kDaemonName, Asn::OctetString}, {kDaemonStatus, Asn::Integer},
                       {kDaemonStartTime, Asn::Unsigned}, {kDaemonChangeTime, Asn::Unsigned},
                       {kDaemonInstances, Asn::Unsigned}, {kDaemonDescription, Asn::OctetString}},
                      l, [](Part &p, const KXSDaemon &d) {
                          p.put(d.name ? d.name : "");
                          p.put(integer(d.status));
                          p.put(d.stime);
                          p.put(d.changetm);
                          p.put(non_negative(d.instances));
                          p.put(d.description ? d.description : "");
                      });
    });
    kxs_freeDaemons(handle, list);
    return got;
}

Gathered fill_interfaces(KXSHandle *handle, uint32_t)
{
    KXSInterface **list = kxs_interfaces(handle);
    Gathered got = one_query(handle, list, [](KXSInterface *const *l) {
        return listed(kInterfaceTable,
                      {{kIfName, Asn::OctetString}, {kIfAddress, Asn::IpAddress},
                       {kIfNetmask, Asn::IpAddress}, {kIfStatus, Asn::Integer},
                       {kIfLastPacket, Asn::TimeTicks}, {kIfType, Asn::OctetString}},
                      l, [](Part &p, const KXSInterface &f) {
                          p.put(f.name ? f.name : "");
                          p.put(ip_value(f.ipaddr));
                          p.put(ip_value(f.netmask));
                          p.put(integer(f.status));
                          p.put(f.lastpkt);
                          p.put(f.type ? f.type : "");
                      });
    });
    kxs_freeInterfaces(handle, list);
    return got;
}

Gathered fill_dhcp(KXSHandle *handle, uint32_t)
{
    KXSDHCPEntry **list = kxs_DHCP(handle);
    Gathered got = one_query(handle, list, [](KXSDHCPEntry *const *l) {
        return listed(kDhcpTable, {{kDhcpName, Asn::OctetString}, {kDhcpAvailable, Asn::Integer}}, l,
                      [](Part &p, const KXSDHCPEntry &e) {
                          p.put(e.name ? e.name : "");
                          p.put(integer(e.available));
                      });
    });
    kxs_freeDHCP(handle, list);
    return got;
}

Gathered fill_failover(KXSHandle *handle, uint32_t)
{
    KXSFOHost **list = kxs_FOGroup(handle);
    Gathered got = one_query(handle, list, [](KXSFOHost *const *l) {
        return listed(kFailoverTable,
                      {{kFoName, Asn::OctetString}, {kFoRole, Asn::OctetString}, {kFoStatus, Asn::Integer}},
                      l, [](Part &p, const KXSFOHost &h) {
                          p.put(h.name ? h.name : "");
                          p.put(h.role ? h.role : "");
                          p.put(integer(h.status));
                      });
    });
    kxs_freeFOGroup(handle, list);
    return got;
}

// The columns a terminal record fills (from kTermAddress on).
std::vector<Column> terminal_columns(Subid shift)
{
    std::vector<Column> columns;
    for (Subid c = kTermAddress; c <= kTermFirmware; ++c) {
        const bool number = c >= kTermState && c <= kTermLoss;
        columns.push_back({c + shift, number ? (c == kTermState ? Asn::Integer : Asn::Unsigned)
                                             : Asn::OctetString});
    }
    return columns;
}

void put_terminal(Part &part, const KXSDTU &t)
{
    const double loss = std::isfinite(t.lossPercent) ? std::clamp(t.lossPercent, 0.0F, 100.0F) : 0.0;
    part.put(t.terminalIPA ? t.terminalIPA : "");
    part.put(integer(t.state));
    part.put(t.terminalPackets);
    part.put(t.terminalLostPackets);
    part.put(static_cast<uint32_t>(std::lround(loss * 100)));
    for (const char *text : {t.location, t.otherInfo, t.serverName, t.model, t.firmware})
        part.put(text ? text : "");
}

size_t count_of(KXSDTU **dtus)
{
    size_t count = 0;
    while (dtus && dtus[count])
        ++count;
    return count;
}

// The figures of every monitored terminal the group reported, by ID; which
// rows are served is the table's business (served_figures). An empty table
// is no failure.
Gathered fill_monitored(KXSHandle *handle, uint32_t limit)
{
    KXSDTU **dtus = kxs_DTUMonitored(handle, limit, nullptr);
    Gathered got{nullptr, Outcome::of(handle)};
    if (got.outcome.usable() && dtus) {
        Part part(table_prefix(kMonitoredTable), IndexKind::Text, terminal_columns(0));
        part.reserve(count_of(dtus));
        for (size_t i = 0; dtus[i]; ++i) {
            const char *id = dtus[i]->terminalId ? dtus[i]->terminalId : "";
            if (!servable_id(id))
                continue;
            part.add_row(id);
            put_terminal(part, *dtus[i]);
        }
        part.finish();
        got.part = shared(std::move(part));
    }
    kxs_freeDTUs(handle, dtus);
    return got;
}

Gathered fill_exceptions(KXSHandle *handle, uint32_t limit)
{
    KXSDTU **dtus = kxs_DTUException(handle, limit, nullptr);
    Gathered got = one_query(handle, dtus, [](KXSDTU *const *list) {
        std::vector<Column> columns{{kExcTerminalId, Asn::OctetString}};
        for (const Column &c : terminal_columns(1))
            columns.push_back(c);
        return listed(kExceptionTable, std::move(columns), list, [](Part &p, const KXSDTU &t) {
            p.put(t.terminalId ? t.terminalId : "");
            put_terminal(p, t);
        });
    });
    kxs_freeDTUs(handle, dtus);
    return got;
}

// DateAndTime (RFC 2579) in UTC; eight zero bytes for never.
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

}  // namespace

Outcome Outcome::of(KXSHandle *handle)
{
    const int code = kxs_lastError(handle);
    return {code, code == KXS_OK ? std::string() : std::string(kxs_lastErrorText(handle))};
}

void Outcome::add(const Outcome &other)
{
    const auto rank = [](int c) { return c == KXS_OK ? 0 : c == KXS_EPARTIAL ? 1 : 2; };
    if (rank(other.code) > rank(code))
        *this = other;
}

bool servable_id(std::string_view id)
{
    return !id.empty() && id.size() <= kMaxIndexBytes;
}

// Never destroyed: a worker left inside a query when the host exits goes on
// using it.
const std::vector<Source> &sources()
{
    using enum OnFailure;
    static const auto *all = new std::vector<Source>{
        {1, "version", Slot::Version, KeepLast, false, fill_version},
        {6, "contact", Slot::Contact, KeepLast, true, fill_text<kContact, kxs_contact>},
        {2, "patches", Slot::Patches, KeepLast, false, fill_text<kPatches, kxs_listPatches, 65535>},
        {7, "policy", Slot::Policy, KeepLast, false, fill_text<kPolicy, kxs_policy>},
        {8, "daemons", Slot::Daemons, Absent, false, fill_daemons},
        {3, "up time", Slot::UpTime, Absent, false, fill_up_time},
        {4, "sessions", Slot::Sessions, Absent, false, fill_sessions},
        {5, "users and desktops", Slot::Users, Absent, false, fill_users},
        {10, "DHCP", Slot::Dhcp, Absent, false, fill_dhcp},
        {9, "interfaces", Slot::Interfaces, Absent, false, fill_interfaces},
        {11, "failover group", Slot::Failover, Absent, false, fill_failover},
        {12, "monitored terminals", Slot::MonitoredFigures, Absent, false, fill_monitored},
        {13, "terminal exceptions", Slot::Exceptions, Absent, false, fill_exceptions},
    };
    return *all;
}

std::shared_ptr<const Part> status_part(const std::vector<SourceState> &states)
{
    Part part(table_prefix(kSourceTable), IndexKind::Position,
              {{kSourceName, Asn::OctetString}, {kSourceStatus, Asn::Integer},
               {kSourceReason, Asn::OctetString}, {kSourceGathered, Asn::OctetString}});
    part.reserve(states.size());
    for (size_t i = 0; i < states.size(); ++i) {
        auto source = std::find_if(sources().begin(), sources().end(),
                                   [&](const Source &s) { return s.number == i + 1; });
        part.add_row();
        part.put(source != sources().end() ? source->name : "");
        part.put(states[i].status);
        part.put(states[i].reason);
        part.put(date_and_time(states[i].gathered));
    }
    part.finish();
    return shared(std::move(part));
}

std::shared_ptr<const Part> limit_part(uint32_t limit)
{
    return shared(scalars({{kUnownedLimit, Asn::Unsigned, limit, {}}}));
}

std::shared_ptr<const Part> membership_part(const std::vector<std::string> &ids)
{
    Part part(table_prefix(kMonitoredTable), IndexKind::Text, {{kMonRowStatus, Asn::Integer}});
    part.reserve(ids.size());
    for (const std::string &id : ids) {
        if (!servable_id(id))
            continue;  // an ID that cannot be an index is not served
        part.add_row(id);
        part.put(kRowActive);
    }
    part.finish();
    return shared(std::move(part));
}

std::shared_ptr<const Part> served_figures(const Part &figures, const std::vector<std::string> &ids)
{
    std::vector<std::string_view> table(ids.begin(), ids.end());
    std::sort(table.begin(), table.end());
    return shared(figures.select(
        [&](std::string_view id) { return std::binary_search(table.begin(), table.end(), id); }));
}

}  // namespace kxagent
