#include "gather.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace kxagent {

namespace {

// Owned texts of the library are released with free().
using Text = std::unique_ptr<char, decltype(&free)>;

std::shared_ptr<const Part> shared(Part part)
{
    return std::make_shared<const Part>(std::move(part));
}

// The records of a NULL-terminated list.
template <typename Record>
std::vector<const void *> records_of(Record *const *list)
{
    std::vector<const void *> records;
    for (size_t i = 0; list && list[i]; ++i)
        records.push_back(list[i]);
    return records;
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
    Gathered got = one_query(handle, version,
                             [](const KXSVersion *v) { return scalar_part(kVersionSource, v); });
    kxs_freeVersion(handle, version);
    return got;
}

// A source whose one figure is a text the library allocates.
template <SourceNumber source, char *(*query)(KXSHandle *)>
Gathered fill_text(KXSHandle *handle, uint32_t)
{
    Text text(query(handle), free);
    return one_query(handle, text.get(), [](const char *t) { return scalar_part(source, t); });
}

// The scalars of a source, each a query of its own: those whose query
// answered.
Gathered scalar_queries(KXSHandle *handle, SourceNumber source, Outcome outcome = {})
{
    std::vector<Scalar> had;
    for (const Figure &f : figures()) {
        if (f.group != kSystem || f.source != source)
            continue;
        const Value value = f.read(handle);
        const Outcome one = Outcome::of(handle);
        if (one.usable())
            had.push_back({f.column, f.type, value.number, {}});
        outcome.add(one);
    }
    return {had.empty() ? nullptr : shared(scalars(had)), outcome};
}

template <SourceNumber source>
Gathered fill_scalars(KXSHandle *handle, uint32_t)
{
    return scalar_queries(handle, source);
}

// The counts are only as good as the refresh before them.
Gathered fill_sessions(KXSHandle *handle, uint32_t)
{
    if (kxs_countSessions(handle) == -1)
        return {nullptr, Outcome::of(handle)};
    return scalar_queries(handle, kSessionsSource, Outcome::of(handle));
}

// A source of one list: its table's figures, a row per record.
template <Group group, SourceNumber source, typename Record, Record **(*query)(KXSHandle *),
          void (*release)(KXSHandle *, Record **)>
Gathered fill_list(KXSHandle *handle, uint32_t)
{
    Record **list = query(handle);
    Gathered got = one_query(handle, list, [](Record *const *l) {
        return table_part(group, source, records_of(l));
    });
    release(handle, list);
    return got;
}

// The terminals of a query that takes the unowned limit. The monitored
// figures are those of every monitored terminal the group reported, by ID;
// which rows are served is the table's business (served_figures). An empty
// monitored table is no failure.
template <Group group, SourceNumber source, KXSDTU **(*query)(KXSHandle *, uint32_t, void *)>
Gathered fill_terminals(KXSHandle *handle, uint32_t limit)
{
    KXSDTU **dtus = query(handle, limit, nullptr);
    Gathered got{nullptr, Outcome::of(handle)};
    if (got.outcome.usable() && (dtus || group == kMonitoredTable))
        got.part = shared(table_part(group, source, records_of(dtus)));
    kxs_freeDTUs(handle, dtus);
    return got;
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

// Never destroyed: a worker left inside a query when the host exits goes on
// using it.
const std::vector<Source> &sources()
{
    using enum OnFailure;
    static const auto *all = new std::vector<Source>{
        {kVersionSource, "version", Slot::Version, KeepLast, false, fill_version},
        {kContactSource, "contact", Slot::Contact, KeepLast, true, fill_text<kContactSource, kxs_contact>},
        {kPatchesSource, "patches", Slot::Patches, KeepLast, false,
         fill_text<kPatchesSource, kxs_listPatches>},
        {kPolicySource, "policy", Slot::Policy, KeepLast, false, fill_text<kPolicySource, kxs_policy>},
        {kDaemonsSource, "daemons", Slot::Daemons, Absent, false,
         fill_list<kDaemonTable, kDaemonsSource, KXSDaemon, kxs_daemons, kxs_freeDaemons>},
        {kUpTimeSource, "up time", Slot::UpTime, Absent, false, fill_scalars<kUpTimeSource>},
        {kSessionsSource, "sessions", Slot::Sessions, Absent, false, fill_sessions},
        {kUsersSource, "users and desktops", Slot::Users, Absent, false, fill_scalars<kUsersSource>},
        {kDhcpSource, "DHCP", Slot::Dhcp, Absent, false,
         fill_list<kDhcpTable, kDhcpSource, KXSDHCPEntry, kxs_DHCP, kxs_freeDHCP>},
        {kInterfacesSource, "interfaces", Slot::Interfaces, Absent, false,
         fill_list<kInterfaceTable, kInterfacesSource, KXSInterface, kxs_interfaces, kxs_freeInterfaces>},
        {kFailoverSource, "failover group", Slot::Failover, Absent, false,
         fill_list<kFailoverTable, kFailoverSource, KXSFOHost, kxs_FOGroup, kxs_freeFOGroup>},
        {kMonitoredSource, "monitored terminals", Slot::MonitoredFigures, Absent, false,
         fill_terminals<kMonitoredTable, kMonitoredSource, kxs_DTUMonitored>},
        {kExceptionsSource, "terminal exceptions", Slot::Exceptions, Absent, false,
         fill_terminals<kExceptionTable, kExceptionsSource, kxs_DTUException>},
    };
    return *all;
}

std::shared_ptr<const Part> status_part(const std::vector<SourceState> &states)
{
    std::vector<SourceRecord> rows;
    for (size_t i = 0; i < states.size(); ++i) {
        auto source = std::find_if(sources().begin(), sources().end(),
                                   [&](const Source &s) { return s.number == i + 1; });
        rows.push_back({source != sources().end() ? source->name : "", states[i].status,
                        states[i].reason, states[i].gathered});
    }
    std::vector<const void *> records;
    for (const SourceRecord &row : rows)
        records.push_back(&row);
    return shared(table_part(kSourceTable, kAgent, records));
}

std::shared_ptr<const Part> limit_part(uint32_t limit)
{
    return shared(scalar_part(kAgent, &limit));
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

std::shared_ptr<const Part> served_figures(const Part &gathered, const std::vector<std::string> &ids)
{
    std::vector<std::string_view> table(ids.begin(), ids.end());
    std::sort(table.begin(), table.end());
    return shared(gathered.select(
        [&](std::string_view id) { return std::binary_search(table.begin(), table.end(), id); }));
}

}  // namespace kxagent
