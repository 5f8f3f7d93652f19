#include "kxsdesktop.h"

#include "admin_desktop.h"
#include "group_mgr.h"
#include "kxsdt.h"
#include "kxsinit.h"
#include "utils.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

namespace kx {
namespace {

KXSMonitoredDTU *make_node(const char *terminalId)
{
    auto *node = static_cast<KXSMonitoredDTU *>(calloc(1, sizeof(KXSMonitoredDTU)));
    if (!node)
        return nullptr;
    node->terminalID = strdup(terminalId);
    if (!node->terminalID) {
        free(node);
        return nullptr;
    }
    return node;
}

void release_node(KXSMonitoredDTU *node)
{
    free(node->terminalID);
    free(node);
}

KXSMonitoredDTU **tail_of(KXSHandle *handle)
{
    KXSMonitoredDTU **link = &handle->monitoredDTUs;
    while (*link)
        link = &(*link)->next;
    return link;
}

// The first node whose ID matches without regard to case, as the link that
// points at it; the end link when there is none.
KXSMonitoredDTU **find_link(KXSHandle *handle, const char *terminalId)
{
    KXSMonitoredDTU **link = &handle->monitoredDTUs;
    while (*link && strcasecmp((*link)->terminalID, terminalId) != 0)
        link = &(*link)->next;
    return link;
}

// Writes the whole table, one ID a line. Returns 0 or -1; after a failure
// the table is remembered as unstored until a later write succeeds.
int store_table(KXSHandle *handle, const char *caller)
{
    std::vector<std::string> lines;
    for (KXSMonitoredDTU *node = handle->monitoredDTUs; node; node = node->next)
        lines.push_back(std::string(node->terminalID) + "\n");
    std::string path = product_path(kMonitoredPath);
    handle->monitoredUnstored = array_to_file(path.c_str(), lines) != 0;
    if (handle->monitoredUnstored) {
        int err = errno;  // the caller may tell why
        dprintf("%s(): Unable to write %s file", caller, path.c_str());
        errno = err;
        return -1;
    }
    return 0;
}

// For a call that changes nothing: 0, or the outcome of writing a table
// that an earlier call could not store.
int store_if_unstored(KXSHandle *handle, const char *caller)
{
    return handle->monitoredUnstored ? store_table(handle, caller) : 0;
}

}  // namespace

void kxs_initDTUMonitored(KXSHandle *handle)
{
    dlprintf("s", "kxs_initDTUMonitored initializing table\n");
    std::string path = product_path(kMonitoredPath);
    std::vector<std::string> lines;
    // One line more than the table holds tells an overlong file.
    int count = file_to_array(path.c_str(), lines, kMaxMonitored + 1);
    if (count < 0) {
        dlprintf("s", "kxs_initDTUMonitored could not open %s file\n", path.c_str());
        return;
    }
    if (count == 0)
        return;
    if (count > kMaxMonitored) {
        dprintf("kxs_initDTUMonitored(): %s holds more than %d terminals, the rest is ignored\n",
                path.c_str(), kMaxMonitored);
        lines.resize(kMaxMonitored);
    }
    KXSMonitoredDTU **tail = tail_of(handle);
    for (std::string &line : lines) {
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        dlprintf("s", "kxs_initDTUMonitored: %s\n", line.c_str());
        KXSMonitoredDTU *node = make_node(line.c_str());
        if (!node)
            return;
        *tail = node;
        tail = &node->next;
        ++handle->numMonitoredDTUs;
    }
    dlprintf("s", "kxs_initDTUMonitored completed\n");
}

void kxs_freeDTUMonitored(KXSHandle *handle)
{
    if (!handle)
        return;
    dlprintf("s", "kxs_freeDTUMonitored freeing table\n");
    KXSMonitoredDTU *node = handle->monitoredDTUs;
    while (node) {
        KXSMonitoredDTU *next = node->next;
        release_node(node);
        node = next;
    }
    // An empty table, as a fresh handle has it, ready to be read again.
    handle->monitoredDTUs = nullptr;
    handle->numMonitoredDTUs = 0;
    handle->monitoredUnstored = false;
    dlprintf("s", "kxs_freeDTUMonitored completed\n");
}

namespace {

int32_t add_monitored(KXSHandle *handle, const char *terminalId)
{
    if (!handle || !terminalId)
        return -1;
    // The file carries one ID a line of at most 255 characters: an ID that
    // holds a line feed, or a longer one, would come back as several IDs.
    if (strchr(terminalId, '\n') || strlen(terminalId) > kMaxTerminalIdLength) {
        dprintf("kxs_addDTUMonitored(): terminalID refused: it holds a line feed or is longer "
                "than %d characters\n",
                static_cast<int>(kMaxTerminalIdLength));
        errno = EINVAL;
        return -1;
    }
    if (*find_link(handle, terminalId)) {
        dlprintf("s", "kxs_addDTUMonitored: duplicate terminalID \"%s\"\n", terminalId);
        return store_if_unstored(handle, "kxs_addDTUMonitored");
    }
    if (handle->numMonitoredDTUs >= kMaxMonitored) {
        dprintf("Reach maximum numbers of monitored DTUs \"%d\"!!", kMonitoredSlots);
        errno = ENOSPC;
        return -1;
    }
    KXSMonitoredDTU *node = make_node(terminalId);
    if (!node)
        return -1;
    *tail_of(handle) = node;
    ++handle->numMonitoredDTUs;
    if (store_table(handle, "kxs_addDTUMonitored") != 0)
        return -1;
    dlprintf("s", "kxs_addDTUMonitored: added terminalID \"%s\"\n", terminalId);
    return 0;
}

int32_t delete_monitored(KXSHandle *handle, const char *terminalId)
{
    if (!handle || !terminalId)
        return -1;
    KXSMonitoredDTU **link = find_link(handle, terminalId);
    if (!*link) {
        dlprintf("s", "kxs_deleteDTUMonitored: terminalID \"%s\" not found\n", terminalId);
        return store_if_unstored(handle, "kxs_deleteDTUMonitored");
    }
    KXSMonitoredDTU *node = *link;
    *link = node->next;
    release_node(node);
    --handle->numMonitoredDTUs;
    if (store_table(handle, "kxs_deleteDTUMonitored") != 0)
        return -1;
    dlprintf("s", "kxs_deleteDTUMonitored: terminalID \"%s\" deleted\n", terminalId);
    return 0;
}

}  // namespace


// ---- terminal status and exceptions -----------------------------------------------

namespace {

// Copies `text` into `field` (NULL stays NULL); false when memory ran out.
bool copy_text(char *&field, const char *text)
{
    field = text ? strdup(text) : nullptr;
    return field || !text;
}

void free_dtu(KXSDTU *dtu)
{
    for (char *text : {dtu->terminalId, dtu->terminalIPA, dtu->location, dtu->otherInfo,
                       dtu->serverName, dtu->model, dtu->firmware})
        free(text);
    free(dtu);
}

void free_dtus(KXSDTU **dtus)
{
    if (!dtus)
        return;
    for (KXSDTU **slot = dtus; *slot; ++slot)
        free_dtu(*slot);
    free(dtus);
}

// The live figures of a reported terminal.
bool fill_from_term(KXSDTU *dtu, const KXSTerm *term, uint32_t limit)
{
    dtu->state = kxs_term_unowned(term, limit) ? KXS_DTU_UNOWNED : KXS_DTU_OWNED;
    dtu->terminalPackets = term->terminalPackets;
    dtu->terminalLostPackets = term->terminalLostPackets;
    dtu->lossPercent = term->lossPercent;
    return copy_text(dtu->terminalIPA, term->terminalIPA) &&
           copy_text(dtu->serverName, term->serverName) && copy_text(dtu->model, term->model) &&
           copy_text(dtu->firmware, term->firmware);
}

// The directory step of one query: location and further text from each
// terminal's desktop entry, when the handle has a directory connection and
// the directory knows the terminal. A lookup that runs into the directory's
// time-out means that the directory does not answer: the rest of the query
// goes without it, so that a hung directory costs one time-out per query
// rather than one per terminal.
struct DirectoryStep {
    KXSHandle *handle;
    const char *query;
    bool givenUp = false;

    bool fill(KXSDTU *dtu, const char *terminalId)
    {
        if (!handle->connection || givenUp)
            return true;
        const auto start = Clock::now();
        desktop *rec = get_desktop(static_cast<kxa *>(handle->connection), terminalId);
        if (!rec) {
            // A search that ran out of time ends at the time-out, give or take.
            const auto timeOut = std::chrono::milliseconds(900 * std::max(DStimeout, 1));
            givenUp = Clock::now() - start >= timeOut;
            if (givenUp)
                dprintf("%s(): the directory does not answer; the other terminals go without "
                        "location\n",
                        query);
            return true;
        }
        bool copied =
            copy_text(dtu->location, rec->location) && copy_text(dtu->otherInfo, rec->other_info);
        free_desktop(rec);
        return copied;
    }
};

// One record for `terminalId`: absent with zeroed figures unless `term`
// reports it, then completed from the directory. NULL when memory ran out.
KXSDTU *make_dtu(DirectoryStep &directory, const char *terminalId, const KXSTerm *term,
                 uint32_t limit)
{
    auto *dtu = static_cast<KXSDTU *>(calloc(1, sizeof(KXSDTU)));
    if (!dtu)
        return nullptr;
    dtu->state = KXS_DTU_ABSENT;
    dtu->lossPercent = 0.0f;
    if (!copy_text(dtu->terminalId, terminalId) || (term && !fill_from_term(dtu, term, limit)) ||
        !directory.fill(dtu, terminalId)) {
        free_dtu(dtu);
        return nullptr;
    }
    return dtu;
}

// Owns a status list and a host list for the length of one query.
struct QueryLists {
    KXSTerm *terms = nullptr;
    HostList *hosts = nullptr;
    QueryLists() = default;
    QueryLists(const QueryLists &) = delete;
    QueryLists &operator=(const QueryLists &) = delete;
    ~QueryLists()
    {
        kxs_free_linked_list(nullptr, &terms);
        free_HostList(hosts);
    }
};

// The terminals of the trusted, live members of this server's failover
// group, or this server's own when the group lists no host.
void read_group_terminals(KXSHandle *handle, QueryLists &lists)
{
    int hostCount = 0;
    lists.hosts = get_gm_hosts(nullptr, handle->hostname, &hostCount);
    int count = 0;
    if (lists.hosts) {
        lists.terms = kxs_get_currentHA_list(handle, lists.hosts);
    } else {
        dlprintf("s", "kxs_DTUMonitored: no hosts listed\n");
        lists.terms = kxs_get_current_list(handle, handle->hostname, &count, nullptr);
    }
    if (!lists.terms) {
        if (count == 0)
            dlprintf("s", "kxs_DTUMonitored: no DTUs returned\n");
        dlprintf("s", "kxs_DTUMonitored: error getting DTUs\n");
    }
}

KXSDTU **monitored_dtus(KXSHandle *handle, uint32_t limit)
{
    if (!handle || !handle->monitoredDTUs)
        return nullptr;
    QueryLists lists;
    read_group_terminals(handle, lists);
    const KXSTermIndex index(lists.terms);
    auto **dtus = static_cast<KXSDTU **>(
        calloc(static_cast<std::size_t>(handle->numMonitoredDTUs) + 1, sizeof(KXSDTU *)));
    if (!dtus) {
        dprintf("kxs_DTUMonitored(): error allocating DTU list\n");
        return nullptr;
    }
    DirectoryStep directory{handle, "kxs_DTUMonitored"};
    int next = 0;
    for (KXSMonitoredDTU *node = handle->monitoredDTUs;
         node && next < handle->numMonitoredDTUs; node = node->next) {
        KXSDTU *dtu = make_dtu(directory, node->terminalID, index.find(node->terminalID), limit);
        if (!dtu) {
            dprintf("kxs_DTUMonitored(): error allocating a DTU\n");
            free_dtus(dtus);
            return nullptr;
        }
        dtus[next++] = dtu;
    }
    return dtus;
}

KXSDTU **exception_dtus(KXSHandle *handle, uint32_t limit)
{
    if (!handle)
        return nullptr;
    QueryLists lists;
    int count = 0;
    lists.terms = kxs_get_current_list(handle, handle->hostname, &count, nullptr);
    if (!lists.terms && count < 0) {
        dlprintf("s", "kxs_DTUException: error getting DTUs\n");
        return nullptr;
    }
    if (!lists.terms)
        dlprintf("s", "kxs_DTUException: no DTUs returned\n");
    auto **dtus = static_cast<KXSDTU **>(
        calloc(static_cast<std::size_t>(count > 0 ? count : 0) + 1, sizeof(KXSDTU *)));
    if (!dtus) {
        dprintf("kxs_DTUException(): error allocating DTU list\n");
        return nullptr;
    }
    DirectoryStep directory{handle, "kxs_DTUException"};
    int next = 0;
    for (const KXSTerm *term = lists.terms; term && next < count; term = term->next) {
        KXSDTU *dtu = make_dtu(directory, term->terminalId, term, limit);
        if (!dtu) {
            dprintf("kxs_DTUException(): error allocating a DTU\n");
            free_dtus(dtus);
            return nullptr;
        }
        dtus[next++] = dtu;
    }
    return dtus;
}

}  // namespace

}  // namespace kx

KXS_EXPORT int32_t kxs_addDTUMonitored(KXSHandle *handle, const char *terminalId) noexcept
{
    return kx::c_query(handle, "kxs_addDTUMonitored", -1, kx::FailureResult::AlwaysFailure,
                          [=] { return kx::add_monitored(handle, terminalId); });
}

KXS_EXPORT int32_t kxs_deleteDTUMonitored(KXSHandle *handle, const char *terminalId) noexcept
{
    return kx::c_query(handle, "kxs_deleteDTUMonitored", -1, kx::FailureResult::AlwaysFailure,
                          [=] { return kx::delete_monitored(handle, terminalId); });
}

KXS_EXPORT KXSDTU **kxs_DTUMonitored(KXSHandle *handle, uint32_t limit, void *) noexcept
{
    return kx::c_query(handle, "kxs_DTUMonitored", static_cast<KXSDTU **>(nullptr),
                       kx::FailureResult::MayBeAnswer,
                       [=] { return kx::monitored_dtus(handle, limit); });
}

KXS_EXPORT KXSDTU **kxs_DTUException(KXSHandle *handle, uint32_t limit, void *) noexcept
{
    return kx::c_query(handle, "kxs_DTUException", static_cast<KXSDTU **>(nullptr),
                       kx::FailureResult::AlwaysFailure,
                       [=] { return kx::exception_dtus(handle, limit); });
}

KXS_EXPORT void kxs_freeDTUs(KXSHandle *, KXSDTU **dtus) noexcept
{
    kx::free_dtus(dtus);
}
