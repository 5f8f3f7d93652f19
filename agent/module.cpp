#include "module.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "figures.h"
#include "gather.h"
#include "notifications.h"
#include "snapshot.h"

// The module's root, kxsmon of KXSMON-MIB. A deployment that moves the MIB
// under its own enterprise number defines this to match.
#ifndef KXSMON_ROOT_OID
#define KXSMON_ROOT_OID 1, 3, 6, 1, 4, 1, 8072, 9999, 9999, 1
#endif

namespace kxagent {
namespace {

const oid kRoot[] = {KXSMON_ROOT_OID};
constexpr size_t kRootLength = sizeof kRoot / sizeof kRoot[0];
const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};  // SNMPv2-MIB::snmpTrapOID.0
constexpr Subid kNotificationsArc = 0;                          // kxsNotifications
const char *const kDataName = "kxsmon-change";

// RowStatus values (RFC 2579).
enum RowStatus : long { kActive = 1, kCreateAndGo = 4, kDestroy = 6 };

bool has_prefix(const Oid &oid, const Oid &prefix)
{
    return oid.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

static_assert(kRootLength + kMaxCellOid <= MAX_OID_LEN, "a cell's OID must fit a varbind's");

// The cell a walk stands on: the one the last GETNEXT answered, its place in
// the view and its whole OID. A walk's next GETNEXT asks for exactly that
// OID, and is answered with the cell after it, a step instead of a search.
struct Cursor {
    bool valid = false;
    Place place;
    oid name[MAX_OID_LEN] = {KXSMON_ROOT_OID};  // the root, then the cell's OID below it
    size_t length = 0;

    bool stands_on(const oid *asked, size_t askedLength) const
    {
        return valid && askedLength == length && std::equal(asked, asked + length, name);
    }
};

using Clock = std::chrono::steady_clock;

// Everything below is touched by net-snmp's thread only.
Settings settings;
std::optional<Settings> workerSettings;  // set once the configuration is read
std::unique_ptr<Worker> worker;
std::shared_ptr<const Snapshot> view = std::make_shared<const Snapshot>();
Cursor cursor;
int cacheSeconds = settings.cacheSeconds;
std::optional<Clock::time_point> loaded;  // when the view was last asked for; none: ask now
unsigned tick = 0;  // the alarm that starts the worker and sends its notifications

// Every change of the view goes through here: a cursor points into one view.
void serve(std::shared_ptr<const Snapshot> snapshot)
{
    view = std::move(snapshot);
    cursor.valid = false;
}

// A change that a SET asks for: checked in the first phase, made in the
// action phase, and reversed in the undo phase if another binding failed.
// It lives in the request's data list, freed by net-snmp with the request.
struct Pending {
    Change change;
    std::optional<Change> undo;
    bool applied = false;
};

// ---------------------------------------------------------------- reading

// The OID below the root; nullopt when `name` lies after the subtree, an
// empty suffix when before it.
std::optional<Oid> suffix_of(const oid *name, size_t length)
{
    const size_t common = std::min(length, kRootLength);
    int order = snmp_oid_compare(name, common, kRoot, common);
    if (order < 0 || (order == 0 && length < kRootLength))
        return Oid{};
    if (order > 0)
        return std::nullopt;
    return Oid(name + kRootLength, name + length);
}

void answer(netsnmp_variable_list *vb, const Cell &cell)
{
    switch (cell.type) {
    case Asn::OctetString:
        snmp_set_var_typed_value(vb, ASN_OCTET_STR, cell.text.data(), cell.text.size());
        return;
    case Asn::IpAddress: {
        auto address = static_cast<in_addr_t>(cell.number);
        snmp_set_var_typed_value(vb, ASN_IPADDRESS, &address, sizeof address);
        return;
    }
    case Asn::Integer: {
        long n = static_cast<int32_t>(cell.number);
        snmp_set_var_typed_value(vb, ASN_INTEGER, &n, sizeof n);
        return;
    }
    case Asn::Unsigned:
    case Asn::TimeTicks: {
        u_long n = cell.number;
        snmp_set_var_typed_value(vb, static_cast<u_char>(cell.type), &n, sizeof n);
        return;
    }
    }
}

// An object of the MIB without the instance asked for is noSuchInstance
// (a figure not had, a row that is not there); anything else noSuchObject.
void answer_get(netsnmp_agent_request_info *reqinfo, netsnmp_request_info *r)
{
    auto suffix = suffix_of(r->requestvb->name, r->requestvb->name_length);
    auto found = suffix ? view->find(*suffix) : std::nullopt;
    if (found)
        answer(r->requestvb, *found);
    else
        netsnmp_set_request_error(reqinfo, r,
                                  suffix && known_object(*suffix) ? SNMP_NOSUCHINSTANCE
                                                                  : SNMP_NOSUCHOBJECT);
}

// Past the subtree's last object the request stays unanswered, and the agent
// asks the next subtree.
void answer_next(netsnmp_request_info *r)
{
    netsnmp_variable_list *vb = r->requestvb;
    std::optional<Place> place;
    if (cursor.stands_on(vb->name, vb->name_length)) {
        place = view->after(cursor.place);
    } else {
        auto suffix = suffix_of(vb->name, vb->name_length);
        place = suffix ? view->next(*suffix) : std::nullopt;
    }
    cursor.valid = false;
    for (; place; place = view->after(*place)) {
        const size_t length =
            view->write_oid(*place, cursor.name + kRootLength, MAX_OID_LEN - kRootLength);
        if (length == 0)
            continue;  // an OID longer than SNMP allows cannot be served
        cursor.valid = true;
        cursor.place = *place;
        cursor.length = kRootLength + length;
        snmp_set_var_objid(vb, cursor.name, cursor.length);
        answer(vb, view->cell(*place));
        return;
    }
}

// ---------------------------------------------------------------- checking sets

std::string text_of(const netsnmp_variable_list *vb)
{
    return {reinterpret_cast<const char *>(vb->val.string), vb->val_len};
}

// The terminal ID an IMPLIED index spells; nullopt when no terminal could
// have it (a sub-identifier past a byte, a line feed or NUL, a wrong size).
std::optional<std::string> terminal_id(const Oid &index)
{
    if (index.empty() || index.size() > kMaxIndexBytes)
        return std::nullopt;
    std::string id;
    for (Subid s : index) {
        if (s > 255 || s == '\n' || s == 0)
            return std::nullopt;
        id.push_back(static_cast<char>(s));
    }
    return id;
}

int check_contact(const netsnmp_variable_list *vb, Pending &pending)
{
    if (vb->type != ASN_OCTET_STR)
        return SNMP_ERR_WRONGTYPE;
    if (vb->val_len > kDisplayMax)
        return SNMP_ERR_WRONGLENGTH;
    std::string text = text_of(vb);
    // The contact file's first line is the contact: a line feed would cut it.
    if (text.find_first_of(std::string("\n\0", 2)) != std::string::npos)
        return SNMP_ERR_WRONGVALUE;
    pending.change = {ChangeKind::Contact, text};
    return SNMP_ERR_NOERROR;
}

int check_limit(const netsnmp_variable_list *vb, Pending &pending)
{
    if (vb->type != ASN_UNSIGNED)
        return SNMP_ERR_WRONGTYPE;
    pending.change = {ChangeKind::UnownedLimit, {}, static_cast<uint32_t>(*vb->val.integer)};
    return SNMP_ERR_NOERROR;
}

// A row set active again asks for no change (`wanted` false) and no error.
int check_row_status(const Oid &index, const netsnmp_variable_list *vb, Pending &pending,
                     bool &wanted)
{
    if (vb->type != ASN_INTEGER)
        return SNMP_ERR_WRONGTYPE;
    auto id = terminal_id(index);
    if (!id)
        return SNMP_ERR_NOCREATION;
    const bool exists = worker->monitored(*id);
    switch (*vb->val.integer) {
    case kCreateAndGo:
        if (exists)
            return SNMP_ERR_INCONSISTENTVALUE;
        pending.change = {ChangeKind::AddMonitored, *id};
        return SNMP_ERR_NOERROR;
    case kDestroy:
        pending.change = {ChangeKind::DeleteMonitored, *id};
        return SNMP_ERR_NOERROR;
    case kActive:  // every row is active already
        wanted = false;
        return exists ? SNMP_ERR_NOERROR : SNMP_ERR_INCONSISTENTVALUE;
    default:  // createAndWait and notInService rows are not kept
        return SNMP_ERR_WRONGVALUE;
    }
}

// The first phase: the error of a set that cannot be made, else its change
// (kept with the request), or no change for a row set active again.
int check_set(netsnmp_request_info *r)
{
    const netsnmp_variable_list *vb = r->requestvb;
    auto suffix = suffix_of(vb->name, vb->name_length);
    if (!suffix)
        return SNMP_ERR_NOCREATION;
    const Oid rowStatus = table_prefix(kMonitoredTable);
    const bool rowSet = has_prefix(*suffix, rowStatus) && suffix->size() > rowStatus.size() &&
                        (*suffix)[rowStatus.size()] == kMonRowStatus;
    const bool contact = *suffix == scalar_oid(kContact);
    if (!contact && *suffix != scalar_oid(kUnownedLimit) && !rowSet)
        return known_object(*suffix) ? SNMP_ERR_NOTWRITABLE : SNMP_ERR_NOCREATION;
    if (!worker || !worker->ready())
        return SNMP_ERR_RESOURCEUNAVAILABLE;  // the data files cannot be written yet
    auto pending = std::make_unique<Pending>();
    bool wanted = true;
    int error;
    if (rowSet)
        error = check_row_status(Oid(suffix->begin() + static_cast<long>(rowStatus.size()) + 1,
                                     suffix->end()),
                                 vb, *pending, wanted);
    else if (contact)
        error = check_contact(vb, *pending);
    else
        error = check_limit(vb, *pending);
    if (error == SNMP_ERR_NOERROR && wanted)
        netsnmp_request_add_list_data(
            r, netsnmp_create_data_list(kDataName, pending.release(),
                                        [](void *p) { delete static_cast<Pending *>(p); }));
    return error;
}

Pending *pending_of(netsnmp_request_info *r)
{
    return static_cast<Pending *>(netsnmp_request_get_list_data(r, kDataName));
}

// ---------------------------------------------------------------- carrying out sets

// The action phase makes the change at once (a local write) and answers
// with what happened: made, or an error and nothing changed.
void make(netsnmp_agent_request_info *reqinfo, netsnmp_request_info *r)
{
    Pending *pending = pending_of(r);
    if (!pending)
        return;
    pending->applied = worker && worker->apply(pending->change, pending->undo);
    if (!pending->applied)
        netsnmp_set_request_error(reqinfo, r, SNMP_ERR_COMMITFAILED);
    if (worker)
        serve(worker->latest());  // the next read sees the change
}

void unmake(netsnmp_agent_request_info *reqinfo, netsnmp_request_info *r)
{
    Pending *pending = pending_of(r);
    if (!pending || !pending->applied || !pending->undo || !worker)
        return;
    std::optional<Change> redo;
    if (!worker->apply(*pending->undo, redo))
        netsnmp_set_request_error(reqinfo, r, SNMP_ERR_UNDOFAILED);
    pending->applied = false;
    serve(worker->latest());
}

// ---------------------------------------------------------------- registration

// The worker starts on the first request, not when the configuration is
// read: snmpd forks into a daemon after that, and the daemon would have no
// worker (only the forking thread lives on), nor a way to take a lock that
// the worker held at the fork.
void ensure_worker()
{
    if (worker || !workerSettings)
        return;
    try {
        worker = std::make_unique<Worker>(*workerSettings);
    } catch (const std::exception &e) {
        // Out of threads or descriptors: served empty now, tried again with
        // the next request; an exception must not cross into snmpd.
        snmp_log(LOG_ERR, "kxsmon: cannot start the worker: %s\n", e.what());
    }
}

// A snapshot older than the cache time-out is replaced before a request
// reads it: ask the worker for a refresh, wait briefly, serve the latest.
// Checked with the clock rather than net-snmp's cache helper, which costs a
// formatted name and a list search for every request.
void load_if_stale(int mode)
{
    if (mode != MODE_GET && mode != MODE_GETNEXT && mode != MODE_GETBULK &&
        mode != MODE_SET_RESERVE1)
        return;
    if (loaded && Clock::now() - *loaded < std::chrono::seconds(cacheSeconds))
        return;
    if (worker)
        serve(worker->refresh(settings.refreshWaitMs));
    loaded = Clock::now();
}

int handle(netsnmp_mib_handler *, netsnmp_handler_registration *,
           netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests)
{
    ensure_worker();
    load_if_stale(reqinfo->mode);
    for (netsnmp_request_info *r = requests; r; r = r->next) {
        if (r->processed)
            continue;
        switch (reqinfo->mode) {
        case MODE_GET:
            answer_get(reqinfo, r);
            break;
        case MODE_GETNEXT:
            answer_next(r);
            break;
        case MODE_SET_RESERVE1:
            if (int error = check_set(r); error != SNMP_ERR_NOERROR)
                netsnmp_set_request_error(reqinfo, r, error);
            break;
        case MODE_SET_ACTION:
            make(reqinfo, r);
            break;
        case MODE_SET_UNDO:
            unmake(reqinfo, r);
            break;
        default:  // RESERVE2, COMMIT, FREE: nothing to do
            break;
        }
    }
    // After a set the next request asks for a refresh: a terminal just
    // monitored has its figures only from a gathering.
    if (reqinfo->mode == MODE_SET_COMMIT)
        loaded.reset();
    return SNMP_ERR_NOERROR;
}

// ---------------------------------------------------------------- notifications

// Sent with net-snmp's own call: through the AgentX master in the subagent,
// to snmpd's trap sinks (trap2sink, informsink, trapsess) in the module.
void send(const Notification &n)
{
    netsnmp_variable_list *vars = nullptr;
    Oid type(kRoot, kRoot + kRootLength);
    type.push_back(kNotificationsArc);
    type.push_back(n.number);
    snmp_varlist_add_variable(&vars, kSnmpTrapOid, sizeof kSnmpTrapOid / sizeof kSnmpTrapOid[0],
                              ASN_OBJECT_ID, reinterpret_cast<const u_char *>(type.data()),
                              type.size() * sizeof(oid));
    for (const Binding &b : n.objects) {
        Oid name(kRoot, kRoot + kRootLength);
        name.insert(name.end(), b.oid.begin(), b.oid.end());
        netsnmp_variable_list *vb =
            snmp_varlist_add_variable(&vars, name.data(), name.size(), ASN_NULL, nullptr, 0);
        if (vb)
            answer(vb, Cell{b.type, b.number, b.text});
    }
    send_v2trap(vars);
    snmp_free_varbind(vars);
}

// Every second on net-snmp's thread: the worker is started once snmpd runs
// as a daemon (so that changes are watched before any request), and what it
// found is sent.
void on_tick(unsigned, void *)
{
    ensure_worker();
    if (!worker)
        return;
    size_t dropped = 0;
    for (const Notification &n : worker->take_notifications(dropped))
        send(n);
    if (dropped > 0)
        snmp_log(LOG_WARNING, "kxsmon: %zu notifications dropped: more changes than can be sent\n",
                 dropped);
}

void read_number(const char *token, char *line, int low, int high, int &into)
{
    char *end = nullptr;
    long n = strtol(line, &end, 10);
    if (end == line || *end != '\0' || n < low || n > high)
        config_perror("kxsmon: expected a whole number in range");
    else
        into = static_cast<int>(n);
    (void)token;
}

void read_switch(char *line, Kind kind)
{
    const std::string word = line;
    if (word == "no" || word == "off" || word == "false" || word == "0")
        settings.notifications &= ~bit(kind);
    else if (word == "yes" || word == "on" || word == "true" || word == "1")
        settings.notifications |= bit(kind);
    else
        config_perror("kxsmon: expected yes or no");
}

// The worker's settings are those the configuration held when first read: a
// reconfiguration keeps them, as it keeps a running worker.
int fix_worker_settings(int, int, void *, void *)
{
    if (workerSettings)
        return SNMPERR_SUCCESS;
    workerSettings = settings;
    cacheSeconds = settings.cacheSeconds;
    return SNMPERR_SUCCESS;
}

}  // namespace

void preset(const Settings &s)
{
    settings = s;
}

}  // namespace kxagent

using namespace kxagent;

extern "C" void init_kxsmon(void)
{
    register_app_config_handler(
        "kxsmonRoot", [](const char *, char *line) { settings.root = line; }, nullptr,
        "DIRECTORY");
    register_app_config_handler(
        "kxsmonCacheTimeout",
        [](const char *t, char *line) { read_number(t, line, 1, 3600, settings.cacheSeconds); },
        nullptr, "SECONDS");
    register_app_config_handler(
        "kxsmonRefreshWait",
        [](const char *t, char *line) { read_number(t, line, 0, 4000, settings.refreshWaitMs); },
        nullptr, "MILLISECONDS");
    register_app_config_handler(
        "kxsmonWatchInterval",
        [](const char *t, char *line) { read_number(t, line, 1, 3600, settings.watchSeconds); },
        nullptr, "SECONDS");
    for (const KindKeyword &k : kind_keywords())
        register_app_config_handler(
            k.keyword,
            [](const char *token, char *line) {
                for (const KindKeyword &which : kind_keywords())
                    if (strcmp(token, which.keyword) == 0)
                        read_switch(line, which.kind);
            },
            nullptr, "yes|no");
    netsnmp_handler_registration *registration = netsnmp_create_handler_registration(
        "kxsmon", handle, kRoot, kRootLength, HANDLER_CAN_RWRITE);
    cacheSeconds = settings.cacheSeconds;
    netsnmp_register_handler(registration);
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_READ_CONFIG,
                           fix_worker_settings, nullptr);
    tick = snmp_alarm_register(1, SA_REPEAT, on_tick, nullptr);
}

extern "C" void deinit_kxsmon(void)
{
    snmp_unregister_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_READ_CONFIG,
                             fix_worker_settings, nullptr, 1);
    snmp_alarm_unregister(tick);
    unregister_mib(const_cast<oid *>(kRoot), kRootLength);
    worker.reset();
    serve(std::make_shared<const Snapshot>());
    loaded.reset();
    workerSettings.reset();
}
