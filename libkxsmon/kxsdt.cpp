#include "kxsdt.h"

#include "group_mgr.h"
#include "kxsinit.h"
#include "kxsutil.h"
#include "ping.h"
#include "utils.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <strings.h>

#include <unistd.h>

namespace kx {

namespace {

constexpr DaemonClient kClient{"kxs_get_current_list", "b", false, false};

char *copy_or_null(const char *text)
{
    return text ? safe_strdup(text) : nullptr;
}

void free_term(KXSTerm *term)
{
    free(term->terminalId);
    free(term->terminalCID);
    free(term->serverName);
    free(term->terminalIPA);
    free(term->model);
    free(term->firmware);
    free(term);
}

const char *or_nil(const char *value)
{
    return *value ? value : "(nil)";
}

// What one record block says about its terminal.
struct TermFields {
    std::string id, cid, ipa, firmware;
    uint32_t connectTime = 0, packets = 0, lost = 0;
};

void apply_term_key(TermFields &f, const char *key, const char *value)
{
    auto number = [value] { return static_cast<uint32_t>(strtoul(value, nullptr, 0)); };
    if (strcasecmp(key, "terminalId") == 0) {
        dlprintf("b", "got terminalId |%s|\n", or_nil(value));
        f.id = value;
    } else if (strcasecmp(key, "terminalCID") == 0) {
        dlprintf("b", "got terminalCID |%s|\n", or_nil(value));
        f.cid = value;
    } else if (strcasecmp(key, "terminalIPA") == 0) {
        dlprintf("b", "got terminalIPA |%s|\n", or_nil(value));
        f.ipa = value;
    } else if (strcasecmp(key, "firmware") == 0) {
        dlprintf("b", "got firmware |%s|\n", or_nil(value));
        f.firmware = value;
    } else if (strcasecmp(key, "terminalConnectTime") == 0) {
        dlprintf("b", "got terminalConnectTime |%s|\n", or_nil(value));
        f.connectTime = number();
    } else if (strcasecmp(key, "terminalPackets") == 0) {
        dlprintf("b", "got terminalPackets |%s|\n", or_nil(value));
        f.packets = number();
    } else if (strcasecmp(key, "terminalLostPackets") == 0) {
        dlprintf("b", "got terminalLostPackets |%s|\n", or_nil(value));
        f.lost = number();
    }
}

const char *text_or_null(const std::string &text)
{
    return text.empty() ? nullptr : text.c_str();
}

}  // namespace

KXSTermList::~KXSTermList()
{
    for (KXSTerm *term : terms)
        free_term(term);
}

char *kxs_get_model(const char *terminalId)
{
    const char *dot = terminalId ? std::strrchr(terminalId, '.') : nullptr;
    if (!dot)
        return safe_strdup("");
    return safe_strdup(std::string(terminalId, dot).c_str());
}

char *get_short_terminal_id(const char *terminalId)
{
    if (!terminalId)
        return nullptr;
    const char *dot = std::strrchr(terminalId, '.');
    return safe_strdup(dot ? dot + 1 : terminalId);
}

bool kxs_term_unowned(const KXSTerm *term, uint32_t limit)
{
    return term && term->terminalPackets == 0 && term->terminalConnectTime >= limit;
}

void kxs_add_to_linked_list(KXSHandle *, KXSTermList &list, const char *terminalId,
                            const char *terminalCID, const char *terminalIPA,
                            const char *serverName, const char *model, const char *firmware,
                            uint32_t terminalConnectTime, uint32_t terminalPackets,
                            uint32_t terminalLostPackets)
{
    auto *term = static_cast<KXSTerm *>(safe_calloc(1, sizeof(KXSTerm)));
    term->terminalId = copy_or_null(terminalId);
    term->terminalCID = copy_or_null(terminalCID);
    term->terminalIPA = copy_or_null(terminalIPA);
    term->serverName = copy_or_null(serverName);
    term->model = copy_or_null(model);
    term->firmware = copy_or_null(firmware);
    term->terminalConnectTime = terminalConnectTime;
    term->terminalPackets = terminalPackets;
    term->terminalLostPackets = terminalLostPackets;
    double all = static_cast<double>(terminalPackets) + terminalLostPackets;
    term->lossPercent = all > 0 ? static_cast<float>(terminalLostPackets * 100.0 / all) : 0.0f;
    list.terms.push_back(term);
}

KXSTerm *kxs_link_list(KXSTermList &list)
{
    std::stable_sort(list.terms.begin(), list.terms.end(), [](const KXSTerm *a, const KXSTerm *b) {
        return strcasecmp(a->terminalId ? a->terminalId : "", b->terminalId ? b->terminalId : "") < 0;
    });
    KXSTerm *head = nullptr;
    for (auto term = list.terms.rbegin(); term != list.terms.rend(); ++term) {
        (*term)->next = head;
        head = *term;
    }
    list.terms.clear();
    return head;
}

void kxs_free_linked_list(KXSHandle *, KXSTerm **list)
{
    if (!list)
        return;
    while (*list) {
        KXSTerm *next = (*list)->next;
        free_term(*list);
        *list = next;
    }
}

void kxs_parse_entry(KXSHandle *handle, KXSTermList &list, const char *blockText, const char *filter)
{
    TermFields f;
    std::string_view text(blockText ? blockText : "");
    while (!text.empty()) {
        std::size_t feed = text.find('\n');
        std::string line(text.substr(0, feed));
        text = feed == std::string_view::npos ? std::string_view() : text.substr(feed + 1);
        char *key = nullptr;
        char *value = nullptr;
        if (parse_key_and_value(line.c_str(), &key, &value) && key && value)
            apply_term_key(f, key, value);
        free(key);
        free(value);
    }
    if (f.id.empty() || f.ipa.empty())
        return;
    char *shortId = get_short_terminal_id(f.id.c_str());
    char *model = kxs_get_model(f.id.c_str());
    if (!filter || std::strstr(shortId, filter))
        kxs_add_to_linked_list(handle, list, shortId, text_or_null(f.cid), f.ipa.c_str(), nullptr,
                               model, text_or_null(f.firmware), f.connectTime, f.packets, f.lost);
    free(shortId);
    free(model);
}

void kxs_parse_line(KXSHandle *handle, KXSTermList &list, const char *line, std::string &blockText,
                    const char *filter)
{
    if (frame_record_line(blockText, line))
        kxs_parse_entry(handle, list, blockText.c_str(), filter);
}

KXSTerm *kxs_get_current_list(KXSHandle *handle, const char *host, int *count, const char *filter)
{
    int ignored;
    if (!count)
        count = &ignored;
    *count = 0;
    const char *shown = host ? host : "(null)";
    int port = daemon_port(kClient, kAuthMgrService, kAuthMgrFallbackPort);
    if (ping_host(host) != 0) {
        report_no_response(kClient, shown, port);
        *count = -1;
        return nullptr;
    }
    trace_opening(kClient, shown, port);
    int fd = kxs_open_socket(host, port);
    if (fd < 0) {
        report_open_failure(kClient, shown, port);
        *count = -1;
        return nullptr;
    }
    KXSTermList list;
    std::string blockText;
    ExchangeStatus status = exchange_command(kClient, fd, "status\n", [&](const char *line) {
        kxs_parse_line(handle, list, line, blockText, filter);
        return true;
    });
    close(fd);
    if (status == ExchangeStatus::WriteFailed || status == ExchangeStatus::TimedOut) {
        *count = -1;
        return nullptr;
    }
    KXSTerm *head = kxs_link_list(list);
    for (KXSTerm *term = head; term; term = term->next) {
        ++*count;
        term->serverName = copy_or_null(host);
    }
    dlprintf("b", "found %d desktops\n", *count);
    return head;
}

KXSTerm *kxs_get_currentHA_list(KXSHandle *handle, HostList *hosts)
{
    KXSTermList merged;
    for (HostList *node = hosts; node; node = node->next) {
        const gm_host *host = node->host;
        if (!host || !host->info || !host->trusted ||
            isTimedOut(host->info->lastseen, host->info->period))
            continue;
        int count = 0;
        KXSTerm *own = kxs_get_current_list(handle, host->info->name, &count, nullptr);
        for (KXSTerm *term = own; term; term = term->next)
            kxs_add_to_linked_list(handle, merged, term->terminalId, term->terminalCID,
                                   term->terminalIPA, host->info->name, term->model,
                                   term->firmware, term->terminalConnectTime,
                                   term->terminalPackets, term->terminalLostPackets);
        kxs_free_linked_list(handle, &own);
    }
    return kxs_link_list(merged);
}

}  // namespace kx
