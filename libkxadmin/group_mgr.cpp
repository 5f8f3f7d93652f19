#include "group_mgr.h"

#include "exchange.h"
#include "query_status.h"
#include "kxsmon.h"
#include "utils.h"

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <strings.h>

#include <unistd.h>

namespace kx {

namespace {

void report_unresolved(const char *host)
{
    dprintf("get_gstatus(): Unable to resolve host [%s]\n", host ? host : "(null)");
    note_failure(KXS_ENOHOST, std::string("host name ") + (host ? host : "(null)") +
                                  " of the group manager could not be resolved");
}

constexpr DaemonClient kClient{"get_gstatus", "b", true, false, kAuthMgrService,
                               kAuthMgrFallbackPort, true, Opener::Plain, true,
                               report_unresolved};

// A reply line split into words, on a copy of its own.
struct Words {
    std::string text;
    char *word[kMaxLineWords];
    int count;
    explicit Words(std::string_view line) : text(line)
    {
        count = make_fields(text.data(), word, kMaxLineWords);
    }
    bool is(const char *kind) const
    {
        return count >= kMinEntryWords && std::strcmp(word[0], kind) == 0;
    }
};

uint32_t hex_word(const char *word)
{
    return text_to_uint32(word, 16);
}

void copy_name(char *into, std::size_t size, const char *from)
{
    std::strncpy(into, from, size - 1);
    into[size - 1] = '\0';
}

void apply_host_line(gm_host *host, const Words &w)
{
    for (int i = kMinEntryWords; i < w.count; ++i) {
        const char *word = w.word[i];
        if (strcasecmp(word, "TRUSTED") == 0)
            host->trusted = 1;
        else if (strcasecmp(word, "OFFLINE") == 0)
            host->offline = 1;
        else if (strcasecmp(word, "LAN_OK") == 0)
            host->lanOk = 1;
        else if (strcasecmp(word, "period") == 0 && i + 1 < w.count)
            host->info->period = text_to_int32(w.word[++i]);
        else if (strcasecmp(word, "starttime") == 0 && i + 1 < w.count)
            host->info->starttime = text_to_int32(w.word[++i]);
    }
    gm_hostinfo *info = host->info;
    copy_name(info->name, sizeof info->name, w.word[1]);
    info->hostaddr = hex_word(w.word[7]);
    info->timeoff = text_to_int32(w.word[5]);
    info->lastseen = text_to_int32(w.word[3]);
    int numifs = text_to_int32(w.word[9]);
    if (numifs < 0 || numifs > kMaxHostInterfaces)
        numifs = 0;
    // A later host line in the same block replaces the earlier one's table.
    free(info->interfaces);
    info->interfaces = nullptr;
    info->numifs = numifs;
    if (numifs > 0)
        info->interfaces = static_cast<gm_interface *>(safe_calloc(numifs, sizeof(gm_interface)));
}

void apply_interface_line(gm_interface *entry, const Words &w)
{
    copy_name(entry->ifname, sizeof entry->ifname, w.word[1]);
    entry->ifipaddr = hex_word(w.word[3]);
    entry->ifnetmask = hex_word(w.word[5]);
    entry->ifbcastaddr = hex_word(w.word[7]);
    entry->iflastpkt = text_to_int32(w.word[9]);
    for (int i = kMinEntryWords; i < w.count; ++i)
        if (strcasecmp(w.word[i], "LAN") == 0)
            entry->isLAN = 1;
}

}  // namespace

bool GstatusReader::hostSeen() const
{
    return Words(std::string_view(block).substr(0, block.find('\n'))).is("host");
}

bool GstatusReader::complete() const
{
    return hostSeen() && ifcount == numifs && numifs >= 0;
}

void GstatusReader::take_block()
{
    if (hosts == kMaxGroupMembers)
        dprintf("get_gstatus(): more than %d hosts; the rest is dropped\n", kMaxGroupMembers);
    if (hosts++ < kMaxGroupMembers)
        parse_host_entry(tail, block.c_str());
    while (*tail)
        tail = &(*tail)->next;
    block.assign(block.size(), '\0');
    block.clear();
    numifs = 0;
    ifcount = 0;
}

bool GstatusReader::line(const char *text)
{
    if (complete()) {
        take_block();
    } else if (ifcount > 0 && ifcount > numifs) {
        dprintf("get_gstatus(): error: ifcount=%d > numifs=%d.\n", ifcount, numifs);
        free_HostList(*list);
        *list = nullptr;
        return false;
    }
    parse_host_line(list, text, block, &numifs, &ifcount);
    return true;
}

void GstatusReader::finish()
{
    // The last host of the group has no line after it: a block that is
    // complete when the reply ends is taken too.
    if (complete())
        take_block();
}

void parse_host_line(HostList **list, const char *line, std::string &hostBlock, int *numifs,
                     int *ifcount)
{
    (void)list;
    Words w(line ? line : "");
    if (w.is("host")) {
        *numifs = text_to_int32(w.word[9]);
        append_block_line(hostBlock, line);
    } else if (w.is("interface")) {
        ++*ifcount;
        append_block_line(hostBlock, line);
    }
}

namespace {

// The host of one block; false when the block names no host.
bool fill_host(gm_host *host, const char *hostBlock)
{
    int filled = 0;
    bool haveHost = false;
    std::string_view text(hostBlock ? hostBlock : "");
    while (!text.empty()) {
        std::size_t feed = text.find('\n');
        Words w(text.substr(0, feed));
        text = feed == std::string_view::npos ? std::string_view() : text.substr(feed + 1);
        if (w.is("host")) {
            apply_host_line(host, w);
            haveHost = true;
            filled = 0;
        } else if (w.is("interface") && filled < host->info->numifs) {
            apply_interface_line(&host->info->interfaces[filled++], w);
        }
    }
    // A host line that announced more interfaces than its block holds would
    // leave blank entries that look like live interfaces: no table then.
    gm_hostinfo *info = host->info;
    if (filled < info->numifs) {
        free(info->interfaces);
        info->interfaces = nullptr;
        info->numifs = 0;
    }
    return haveHost;
}

}  // namespace

void parse_host_entry(HostList **list, const char *hostBlock)
{
    gm_host *host = allocate_gm_host();
    try {
        if (fill_host(host, hostBlock)) {
            add_host_to_list(list, host);
            return;
        }
    } catch (...) {  // memory ran out
        free_gm_host(host);
        throw;
    }
    free_gm_host(host);
}

gm_host *allocate_gm_host()
{
    auto *host = static_cast<gm_host *>(safe_calloc(1, sizeof(gm_host)));
    try {
        host->info = static_cast<gm_hostinfo *>(safe_calloc(1, sizeof(gm_hostinfo)));
    } catch (...) {
        free(host);
        throw;
    }
    host->info->period = 20;
    return host;
}

void add_host_to_list(HostList **list, gm_host *host)
{
    auto *node = static_cast<HostList *>(safe_calloc(1, sizeof(HostList)));
    node->host = host;
    while (*list)
        list = &(*list)->next;
    *list = node;
}

void free_gm_host(gm_host *host)
{
    if (!host)
        return;
    if (host->info)
        free(host->info->interfaces);
    free(host->info);
    free(host);
}

void free_HostList(HostList *list)
{
    while (list) {
        HostList *next = list->next;
        free_gm_host(list->host);
        free(list);
        list = next;
    }
}

bool isTimedOut(int32_t age, int32_t period)
{
    // In 64 bits: three times a huge period must not wrap round to a small one.
    return 3ull * static_cast<uint32_t>(period) < static_cast<uint32_t>(age);
}

void get_gstatus(const char *host, HostList **list)
{
    GstatusReader reader(list);
    bool dropped = false;
    bool text = false;
    Outcome outcome = ask_daemon(kClient, host, "gstatus\n", [&](std::string_view line) {
        text = text || !line.empty();
        dropped = !reader.line(line.data());
        return !dropped;
    });
    if (!dropped && client_result(kClient, outcome) == 0)
        reader.finish();
    if (dropped)
        note_reply_fault(kClient.service, kClient.fallbackPort, host,
                         "listed more interfaces for a host than it announced");
    else if (outcome == Outcome::Complete && !*list && text)
        note_reply_fault(kClient.service, kClient.fallbackPort, host, "listed no host");
}

HostList *get_gm_hosts(const char *host, int *count)
{
    if (count)
        *count = 0;
    const char *target = host;
    if (!target) {
        dprintf("get_gm_hosts(): First and second args are NULL pointers\n");
        return nullptr;
    }
    HostList *list = nullptr;
    try {
        get_gstatus(target, &list);
    } catch (...) {  // memory ran out: nothing half made is kept
        free_HostList(list);
        throw;
    }
    int hosts = 0;
    for (HostList *node = list; node; node = node->next)
        ++hosts;
    if (count)
        *count = hosts;
    dlprintf("e", "found %d hosts\n", hosts);
    return list;
}

}  // namespace kx
