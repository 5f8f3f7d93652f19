#include "kxsdesktop.h"

#include "kxsinit.h"
#include "utils.h"

#include <cerrno>
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
    handle->monitoredDTUs = nullptr;
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

}  // namespace kx

KXS_EXPORT int32_t kxs_addDTUMonitored(KXSHandle *handle, const char *terminalId) noexcept
{
    return kx::c_boundary("kxs_addDTUMonitored", -1,
                          [=] { return kx::add_monitored(handle, terminalId); });
}

KXS_EXPORT int32_t kxs_deleteDTUMonitored(KXSHandle *handle, const char *terminalId) noexcept
{
    return kx::c_boundary("kxs_deleteDTUMonitored", -1,
                          [=] { return kx::delete_monitored(handle, terminalId); });
}
