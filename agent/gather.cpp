#include "gather.h"

#include <cstdlib>
#include <memory>

#include "datafiles.h"

namespace kxagent {

namespace {

// Owned texts of the library are released with free().
using Text = std::unique_ptr<char, decltype(&free)>;

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

// The table as the library stores it; the terminals' states join it once
// the agent reads them from the library.
void fill_monitored(const Gathering &g, Rows &rows)
{
    const size_t cap = static_cast<size_t>(KXS_MAX_MONITORED_DTUS) * 256;
    for (const std::string &id : monitored_ids(read_data_file(data_path(g.root, kMonitoredFile), cap)))
        add_monitored_row(rows, id);
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

}  // namespace

const std::vector<Figure> &figures()
{
    static const std::vector<Figure> all = {
        {"version", fill_version},       {"contact", fill_contact},
        {"unowned limit", fill_unowned_limit}, {"monitored terminals", fill_monitored},
        {"patches", fill_patches},       {"daemons", fill_daemons},
        {"up time", fill_up_time},
    };
    return all;
}

}  // namespace kxagent
