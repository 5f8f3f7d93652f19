#include "module.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>

#include <strings.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "gather.h"
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
const char *const kDataName = "kxsmon-change";

// RowStatus values (RFC 2579).
enum RowStatus : long { kActive = 1, kCreateAndGo = 4, kDestroy = 6 };

// Everything below is touched by net-snmp's thread only.
Settings settings;
std::optional<Settings> workerSettings;  // set once the configuration is read
std::unique_ptr<Worker> worker;
std::shared_ptr<const Rows> view = std::make_shared<const Rows>();
netsnmp_cache *cache = nullptr;

// A change that a SET asks for, checked in the first phase, carried out by
// the worker in the action phase, and reversed if another binding fails.
struct Change {
    bool wanted = false;  // false: nothing to do (a row set active again)
    Job job;
    Job undo;
    bool reversible = false;
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

void answer(netsnmp_variable_list *vb, const Value &v)
{
    switch (v.type) {
    case Asn::OctetString:
        snmp_set_var_typed_value(vb, ASN_OCTET_STR, v.text.data(), v.text.size());
        return;
    case Asn::IpAddress: {
        auto address = static_cast<in_addr_t>(v.number);
        snmp_set_var_typed_value(vb, ASN_IPADDRESS, &address, sizeof address);
        return;
    }
    case Asn::Integer: {
        long n = static_cast<long>(v.number);
        snmp_set_var_typed_value(vb, ASN_INTEGER, &n, sizeof n);
        return;
    }
    case Asn::Unsigned:
    case Asn::TimeTicks: {
        u_long n = static_cast<u_long>(v.number);
        snmp_set_var_typed_value(vb, static_cast<u_char>(v.type), &n, sizeof n);
        return;
    }
    }
}

void answer_get(netsnmp_agent_request_info *reqinfo, netsnmp_request_info *r)
{
    auto suffix = suffix_of(r->requestvb->name, r->requestvb->name_length);
    auto found = suffix ? view->find(*suffix) : view->end();
    if (found == view->end())
        netsnmp_set_request_error(reqinfo, r, SNMP_NOSUCHINSTANCE);
    else
        answer(r->requestvb, found->second);
}

// Past the subtree's last object the request stays unanswered, and the agent
// asks the next subtree.
void answer_next(netsnmp_request_info *r)
{
    auto suffix = suffix_of(r->requestvb->name, r->requestvb->name_length);
    if (!suffix)
        return;
    auto next = suffix->empty() ? view->begin() : view->upper_bound(*suffix);
    if (next == view->end())
        return;
    Oid full(kRoot, kRoot + kRootLength);
    full.insert(full.end(), next->first.begin(), next->first.end());
    snmp_set_var_objid(r->requestvb, full.data(), full.size());
    answer(r->requestvb, next->second);
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

bool monitored(const std::string &id)
{
    const Oid first = table_cell(kMonitoredTable, kMonRowStatus, {});
    for (auto it = view->lower_bound(first); it != view->end() && has_prefix(it->first, first); ++it)
        if (auto other = terminal_id(Oid(it->first.begin() + static_cast<long>(first.size()),
                                         it->first.end()));
            other && strcasecmp(other->c_str(), id.c_str()) == 0)
            return true;
    return false;
}

int check_contact(const netsnmp_variable_list *vb, Change &change)
{
    if (vb->type != ASN_OCTET_STR)
        return SNMP_ERR_WRONGTYPE;
    if (vb->val_len > 255)
        return SNMP_ERR_WRONGLENGTH;
    std::string text = text_of(vb);
    // The contact file's first line is the contact: a line feed would cut it.
    if (text.find_first_of(std::string("\n\0", 2)) != std::string::npos)
        return SNMP_ERR_WRONGVALUE;
    auto old = view->find(system_scalar(kContact));
    change.wanted = true;
    change.job = {JobKind::SetContact, text};
    change.undo = {JobKind::SetContact, old != view->end() ? old->second.text : ""};
    change.reversible = old != view->end();
    return SNMP_ERR_NOERROR;
}

int check_limit(const netsnmp_variable_list *vb, Change &change)
{
    if (vb->type != ASN_UNSIGNED)
        return SNMP_ERR_WRONGTYPE;
    auto old = view->find(system_scalar(kUnownedLimit));
    change.wanted = true;
    change.job = {JobKind::SetUnownedLimit, {}, static_cast<uint32_t>(*vb->val.integer)};
    change.undo = {JobKind::SetUnownedLimit, {},
                   old != view->end() ? static_cast<uint32_t>(old->second.number) : 0};
    change.reversible = old != view->end();
    return SNMP_ERR_NOERROR;
}

int check_row_status(const Oid &index, const netsnmp_variable_list *vb, Change &change)
{
    if (vb->type != ASN_INTEGER)
        return SNMP_ERR_WRONGTYPE;
    auto id = terminal_id(index);
    if (!id)
        return SNMP_ERR_NOCREATION;
    const bool exists = monitored(*id);
    switch (*vb->val.integer) {
    case kCreateAndGo:
        if (exists)
            return SNMP_ERR_INCONSISTENTVALUE;
        change.wanted = true;
        change.job = {JobKind::AddMonitored, *id};
        change.undo = {JobKind::DeleteMonitored, *id};
        change.reversible = true;
        return SNMP_ERR_NOERROR;
    case kDestroy:
        change.wanted = true;
        change.job = {JobKind::DeleteMonitored, *id};
        change.undo = {JobKind::AddMonitored, *id};
        change.reversible = exists;
        return SNMP_ERR_NOERROR;
    case kActive:  // every row is active already
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
    auto change = std::make_unique<Change>();
    int error;
    const Oid rowStatus = table_cell(kMonitoredTable, kMonRowStatus, {});
    if (*suffix == system_scalar(kContact))
        error = check_contact(vb, *change);
    else if (*suffix == system_scalar(kUnownedLimit))
        error = check_limit(vb, *change);
    else if (has_prefix(*suffix, rowStatus))
        error = check_row_status(Oid(suffix->begin() + static_cast<long>(rowStatus.size()),
                                     suffix->end()),
                                 vb, *change);
    else
        return view->count(*suffix) ? SNMP_ERR_NOTWRITABLE : SNMP_ERR_NOCREATION;
    if (error == SNMP_ERR_NOERROR && change->wanted)
        netsnmp_request_add_list_data(
            r, netsnmp_create_data_list(kDataName, change.release(),
                                        [](void *c) { delete static_cast<Change *>(c); }));
    return error;
}

Change *change_of(netsnmp_request_info *r)
{
    return static_cast<Change *>(netsnmp_request_get_list_data(r, kDataName));
}

// ---------------------------------------------------------------- carrying out sets

// The action phase hands the change to the worker and answers once it is
// made (a delegated request), so a worker busy with a slow query delays this
// one set, not the agent.
void start_change(netsnmp_mib_handler *handler, netsnmp_handler_registration *reginfo,
                  netsnmp_agent_request_info *reqinfo, netsnmp_request_info *r)
{
    Change *change = change_of(r);
    if (!change || !worker)
        return;
    r->delegated = 1;
    Job job = change->job;
    job.cookie = netsnmp_create_delegated_cache(handler, reginfo, reqinfo, r, nullptr);
    worker->submit(std::move(job));
}

void undo_change(netsnmp_request_info *r)
{
    Change *change = change_of(r);
    if (change && change->applied && change->reversible && worker)
        worker->submit(change->undo);  // its outcome has no one to go to
}

void on_changes_made(int, void *)
{
    for (Job &job : worker->finished()) {
        auto *delegated = static_cast<netsnmp_delegated_cache *>(job.cookie);
        if (!delegated)
            continue;
        netsnmp_delegated_cache *live = netsnmp_handler_check_cache(delegated);
        if (live) {
            if (Change *change = change_of(live->requests))
                change->applied = job.done;
            if (!job.done)
                netsnmp_set_request_error(live->reqinfo, live->requests, SNMP_ERR_COMMITFAILED);
            live->requests->delegated = 0;
        }
        netsnmp_free_delegated_cache(delegated);
    }
    cache->valid = 0;  // the next read sees the change
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
        return;
    }
    register_readfd(worker->notify_fd(), on_changes_made, nullptr);
}

int handle(netsnmp_mib_handler *handler, netsnmp_handler_registration *reginfo,
           netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests)
{
    ensure_worker();
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
            start_change(handler, reginfo, reqinfo, r);
            break;
        case MODE_SET_UNDO:
            undo_change(r);
            break;
        default:  // RESERVE2, COMMIT, FREE: nothing to do
            break;
        }
    }
    return SNMP_ERR_NOERROR;
}

// The cache helper calls this when the snapshot served is older than the
// cache time-out: ask the worker for a refresh, wait briefly, serve the latest.
int load_snapshot(netsnmp_cache *, void *)
{
    ensure_worker();
    if (worker)
        view = worker->refresh(settings.refreshWaitMs);
    return 0;
}

void keep_snapshot(netsnmp_cache *, void *)
{
    // The snapshot stays until the next one replaces it.
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

// The worker's settings are those the configuration held when first read: a
// reconfiguration keeps them, as it keeps a running worker.
int fix_worker_settings(int, int, void *, void *)
{
    if (workerSettings)
        return SNMPERR_SUCCESS;
    workerSettings = settings;
    cache->timeout = settings.cacheSeconds;
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
    netsnmp_handler_registration *registration = netsnmp_create_handler_registration(
        "kxsmon", handle, kRoot, kRootLength, HANDLER_CAN_RWRITE);
    cache = netsnmp_cache_create(settings.cacheSeconds, load_snapshot, keep_snapshot, kRoot,
                                 kRootLength);
    netsnmp_inject_handler(registration, netsnmp_cache_handler_get(cache));
    netsnmp_register_handler(registration);
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_READ_CONFIG,
                           fix_worker_settings, nullptr);
}

extern "C" void deinit_kxsmon(void)
{
    snmp_unregister_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_READ_CONFIG,
                             fix_worker_settings, nullptr, 1);
    unregister_mib(const_cast<oid *>(kRoot), kRootLength);
    if (worker)
        unregister_readfd(worker->notify_fd());
    worker.reset();
    view = std::make_shared<const Rows>();
    workerSettings.reset();
}
