#include "gather.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "datafiles.h"

namespace kxagent {

namespace {

// Owned texts of the library are released with free().
using Text = std::unique_ptr<char, decltype(&free)>;

uint32_t non_negative(int32_t n)
{
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

void fill_version(const Gathering &g, Rows &rows)
{
    KXSVersion *version = kxs_version(g.handle);
    rows[system_scalar(kVersion)] = Value::string(version ? version->version : nullptr);
    rows[system_scalar(kInstallDate)] = Value::string(version ? version->installDate : nullptr);
    kxs_freeVersion(g.handle, version);
}

void fill_contact(const Gathering &g, Rows &rows)
{
    Text contact(kxs_contact(g.handle), free);
    rows[system_scalar(kContact)] = Value::string(contact.get());
}

void fill_unowned_limit(const Gathering &g, Rows &rows)
{
    rows[system_scalar(kUnownedLimit)] = Value::gauge(g.unownedLimit);
}

void add_monitored_row(Rows &rows, const std::string &id)
{
    Oid index = text_index(id);
    if (!index.empty())  // an ID that cannot be an index is not served
        rows[table_cell(kMonitoredTable, kMonRowStatus, index)] = Value::integer(kRowActive);
}

// The columns a terminal record fills, shifted by `shift` in the exception
// table, whose first column is the ID.
void add_terminal(Rows &rows, Subid table, Subid shift, const Oid &index, const KXSDTU &t)
{
    const auto cell = [&](Subid column) -> Value & {
        return rows[table_cell(table, column + shift, index)];
    };
    const double loss = std::isfinite(t.lossPercent) ? std::clamp(t.lossPercent, 0.0F, 100.0F) : 0.0;
    cell(kTermAddress) = Value::string(t.terminalIPA);
    cell(kTermState) = Value::integer(t.state);
    cell(kTermPackets) = Value::gauge(t.terminalPackets);
    cell(kTermLostPackets) = Value::gauge(t.terminalLostPackets);
    cell(kTermLoss) = Value::gauge(static_cast<uint32_t>(std::lround(loss * 100)));
    cell(kTermLocation) = Value::string(t.location);
    cell(kTermOtherInfo) = Value::string(t.otherInfo);
    cell(kTermServer) = Value::string(t.serverName);
    cell(kTermModel) = Value::string(t.model);
    cell(kTermFirmware) = Value::string(t.firmware);
}

// The stored table with each terminal's state as the group reports it. Only
// when the library cannot build the records (memory) are the rows those of
// the file alone, so that sets still see which rows exist.
void fill_monitored(const Gathering &g, Rows &rows)
{
    KXSDTU **dtus = kxs_DTUMonitored(g.handle, g.unownedLimit, nullptr);
    if (!dtus) {
        const size_t cap = static_cast<size_t>(KXS_MAX_MONITORED_DTUS) * 256;
        for (const std::string &id :
             monitored_ids(read_data_file(data_path(g.root, kMonitoredFile), cap)))
            add_monitored_row(rows, id);
        return;
    }
    for (size_t i = 0; dtus[i]; ++i) {
        const Oid index = text_index(dtus[i]->terminalId ? dtus[i]->terminalId : "");
        if (index.empty())
            continue;
        add_terminal(rows, kMonitoredTable, 0, index, *dtus[i]);
        rows[table_cell(kMonitoredTable, kMonRowStatus, index)] = Value::integer(kRowActive);
    }
    kxs_freeDTUs(g.handle, dtus);
}

void fill_exceptions(const Gathering &g, Rows &rows)
{
    KXSDTU **dtus = kxs_DTUException(g.handle, g.unownedLimit, nullptr);
    for (Subid i = 0; dtus && dtus[i]; ++i) {
        const Oid index{i + 1};
        rows[table_cell(kExceptionTable, kExcTerminalId, index)] = Value::string(dtus[i]->terminalId);
        add_terminal(rows, kExceptionTable, 1, index, *dtus[i]);
    }
    kxs_freeDTUs(g.handle, dtus);
}

void fill_patches(const Gathering &g, Rows &rows)
{
    Text patches(kxs_patches(g.handle), free);
    rows[system_scalar(kPatches)] = Value::string(patches.get(), 65535);
}

void fill_daemons(const Gathering &g, Rows &rows)
{
    KXSDaemon **daemons = kxs_daemons(g.handle);
    for (Subid i = 0; daemons && daemons[i]; ++i) {
        const KXSDaemon &d = *daemons[i];
        const Oid index{i + 1};
        rows[table_cell(kDaemonTable, kDaemonName, index)] = Value::string(d.name);
        rows[table_cell(kDaemonTable, kDaemonStatus, index)] = Value::integer(d.status);
        rows[table_cell(kDaemonTable, kDaemonStartTime, index)] = Value::gauge(d.stime);
        rows[table_cell(kDaemonTable, kDaemonChangeTime, index)] = Value::gauge(d.changetm);
        rows[table_cell(kDaemonTable, kDaemonInstances, index)] =
            Value::gauge(d.instances > 0 ? static_cast<uint32_t>(d.instances) : 0);
        rows[table_cell(kDaemonTable, kDaemonDescription, index)] = Value::string(d.description);
    }
    kxs_freeDaemons(g.handle, daemons);
}

void fill_up_time(const Gathering &g, Rows &rows)
{
    rows[system_scalar(kUpTime)] = Value::ticks(kxs_upTime(g.handle));
}

// The counts are only as good as the refresh before them: when it fails,
// neither is served rather than a made-up zero.
void fill_sessions(const Gathering &g, Rows &rows)
{
    if (kxs_countSessions(g.handle) == -1)
        return;
    rows[system_scalar(kTotalSessions)] = Value::gauge(non_negative(kxs_totalSessions(g.handle)));
    rows[system_scalar(kActiveSessions)] = Value::gauge(non_negative(kxs_sessions(g.handle)));
}

void fill_users(const Gathering &g, Rows &rows)
{
    rows[system_scalar(kUsers)] = Value::gauge(kxs_users(g.handle));
}

void fill_desktops(const Gathering &g, Rows &rows)
{
    rows[system_scalar(kDesktops)] = Value::gauge(non_negative(kxs_desktops(g.handle)));
}

void fill_policy(const Gathering &g, Rows &rows)
{
    Text policy(kxs_policy(g.handle), free);
    rows[system_scalar(kPolicy)] = Value::string(policy.get());
}

void fill_interfaces(const Gathering &g, Rows &rows)
{
    KXSInterface **list = kxs_interfaces(g.handle);
    for (Subid i = 0; list && list[i]; ++i) {
        const KXSInterface &f = *list[i];
        const Oid index{i + 1};
        rows[table_cell(kInterfaceTable, kIfName, index)] = Value::string(f.name);
        rows[table_cell(kInterfaceTable, kIfAddress, index)] = Value::ip(f.ipaddr);
        rows[table_cell(kInterfaceTable, kIfNetmask, index)] = Value::ip(f.netmask);
        rows[table_cell(kInterfaceTable, kIfStatus, index)] = Value::integer(f.status);
        rows[table_cell(kInterfaceTable, kIfLastPacket, index)] = Value::ticks(f.lastpkt);
        rows[table_cell(kInterfaceTable, kIfType, index)] = Value::string(f.type);
    }
    kxs_freeInterfaces(g.handle, list);
}

void fill_dhcp(const Gathering &g, Rows &rows)
{
    KXSDHCPEntry **list = kxs_DHCP(g.handle);
    for (Subid i = 0; list && list[i]; ++i) {
        const Oid index{i + 1};
        rows[table_cell(kDhcpTable, kDhcpName, index)] = Value::string(list[i]->name);
        rows[table_cell(kDhcpTable, kDhcpAvailable, index)] = Value::integer(list[i]->available);
    }
    kxs_freeDHCP(g.handle, list);
}

void fill_failover(const Gathering &g, Rows &rows)
{
    KXSFOHost **list = kxs_FOGroup(g.handle);
    for (Subid i = 0; list && list[i]; ++i) {
        const Oid index{i + 1};
        rows[table_cell(kFailoverTable, kFoName, index)] = Value::string(list[i]->name);
        rows[table_cell(kFailoverTable, kFoRole, index)] = Value::string(list[i]->role);
        rows[table_cell(kFailoverTable, kFoStatus, index)] = Value::integer(list[i]->status);
    }
    kxs_freeFOGroup(g.handle, list);
}

}  // namespace

void patch_monitored(Rows &rows, const std::string &id, bool add)
{
    const Oid firstColumn = table_cell(kMonitoredTable, 0, {});
    const Oid table(firstColumn.begin(), firstColumn.end() - 1);
    const size_t indexAt = table.size() + 1;  // past the column
    bool present = false;
    for (auto it = rows.lower_bound(table); it != rows.end() && has_prefix(it->first, table);) {
        const Oid &oid = it->first;
        const bool same = oid.size() - indexAt == id.size() &&
                          std::equal(id.begin(), id.end(), oid.begin() + static_cast<long>(indexAt),
                                     [](char c, Subid s) {
                                         return s < 256 && std::tolower(static_cast<unsigned char>(c)) ==
                                                               std::tolower(static_cast<int>(s));
                                     });
        present = present || same;
        it = same && !add ? rows.erase(it) : std::next(it);
    }
    if (add && !present)
        add_monitored_row(rows, id);
}

const std::vector<Figure> &figures()
{
    static const std::vector<Figure> all = {
        {"version", fill_version},
        {"contact", fill_contact},
        {"unowned limit", fill_unowned_limit},
        {"patches", fill_patches},
        {"policy", fill_policy},
        {"daemons", fill_daemons},
        {"up time", fill_up_time},
        {"sessions", fill_sessions},
        {"users", fill_users},
        {"desktops", fill_desktops},
        {"DHCP", fill_dhcp},
        {"interfaces", fill_interfaces},
        {"failover group", fill_failover},
        {kMonitoredFigure, fill_monitored},
        {"terminal exceptions", fill_exceptions},
    };
    return all;
}

}  // namespace kxagent
