#include "kxsdt.h"

#include "group_mgr.h"
#include "kxsinit.h"
#include "kxsutil.h"
#include "ping.h"
#include "utils.h"

#include <algorithm>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>
#include <strings.h>

namespace kx {

namespace {

constexpr DaemonClient kClient{"kxs_get_current_list", "b",    false, false, kAuthMgrService,
                               kAuthMgrFallbackPort,   true, Opener::Bound};

// A record's texts, in the order they are laid out behind it; absent ones
// stay NULL.
using Text = std::optional<std::string_view>;
constexpr char *KXSTerm::*kTermTexts[] = {&KXSTerm::terminalId, &KXSTerm::terminalCID,
                                          &KXSTerm::serverName, &KXSTerm::terminalIPA,
                                          &KXSTerm::model,      &KXSTerm::firmware};
constexpr std::size_t kTermTextCount = std::size(kTermTexts);

Text text_of(const char *text)
{
    return text ? Text(text) : std::nullopt;
}

// One allocation holds the record and its texts, so a record costs one
// malloc and one free however many texts it has.
KXSTerm *make_term(const Text (&texts)[kTermTextCount], uint32_t connectTime, uint32_t packets,
                   uint32_t lost)
{
    std::size_t bytes = sizeof(KXSTerm);
    for (const Text &text : texts)
        bytes += text ? text->size() + 1 : 0;
    auto *term = static_cast<KXSTerm *>(safe_malloc(bytes));
    *term = KXSTerm{};
    char *at = reinterpret_cast<char *>(term + 1);
    for (std::size_t i = 0; i < kTermTextCount; ++i) {
        if (!texts[i])
            continue;
        term->*kTermTexts[i] = place_text(at, *texts[i]);
    }
    term->terminalConnectTime = connectTime;
    term->terminalPackets = packets;
    term->terminalLostPackets = lost;
    double all = static_cast<double>(packets) + lost;
    term->lossPercent = all > 0 ? static_cast<float>(lost * 100.0 / all) : 0.0f;
    return term;
}

void free_term(KXSTerm *term)
{
    free(term);
}

bool same_key(std::string_view key, std::string_view name)
{
    return key.size() == name.size() && strncasecmp(key.data(), name.data(), key.size()) == 0;
}

// Traces a recognised key's value, "(nil)" when it is empty.
void trace_value(std::string_view key, std::string_view value)
{
    if (!gdebug("b"))
        return;
    if (value.empty())
        dlprintf("b", "got %s |(nil)|\n", key.data());
    else
        dlprintf("b", "got %s |%.*s|\n", key.data(), static_cast<int>(value.size()), value.data());
}

bool is_plain_decimal(std::string_view value)
{
    return !value.empty() && value.size() <= 9 && value[0] != '0' &&
           std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// strtoul(value, NULL, 0), saturated at the 32-bit maximum. Plain decimal
// figures below a billion, the usual case, are summed up directly; every
// other form (blanks, signs, "0x", octal, large figures) goes through the
// general reader.
uint32_t to_number(std::string_view value)
{
    if (is_plain_decimal(value)) {
        uint32_t number = 0;
        for (char c : value)
            number = number * 10 + static_cast<uint32_t>(c - '0');
        return number;
    }
    std::string text(value);  // short: no allocation
    return text_to_uint32(text.c_str());
}

// What one record block says about its terminal: views into the block.
struct TermFields {
    std::string_view id, cid, ipa, firmware;
    uint32_t connectTime = 0, packets = 0, lost = 0;
};

void apply_term_key(TermFields &f, std::string_view key, std::string_view value)
{
    // Names as views: their lengths are known, so most keys are told apart
    // by length alone. Each view is a whole literal, so it ends in a NUL.
    static constexpr struct {
        std::string_view name;
        std::string_view TermFields::*text;
        uint32_t TermFields::*number;
    } kKeys[] = {
        {"terminalId", &TermFields::id, nullptr},
        {"terminalCID", &TermFields::cid, nullptr},
        {"terminalIPA", &TermFields::ipa, nullptr},
        {"firmware", &TermFields::firmware, nullptr},
        {"terminalConnectTime", nullptr, &TermFields::connectTime},
        {"terminalPackets", nullptr, &TermFields::packets},
        {"terminalLostPackets", nullptr, &TermFields::lost},
    };
    for (const auto &k : kKeys) {
        if (!same_key(key, k.name))
            continue;
        trace_value(k.name, value);
        if (k.text)
            f.*k.text = value;
        else
            f.*k.number = to_number(value);
        return;
    }
}

Text text_or_null(std::string_view text)
{
    return text.empty() ? std::nullopt : Text(text);
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
    const Text texts[] = {text_of(terminalId), text_of(terminalCID), text_of(serverName),
                          text_of(terminalIPA), text_of(model),      text_of(firmware)};
    list.terms.push_back(
        make_term(texts, terminalConnectTime, terminalPackets, terminalLostPackets));
}

KXSTerm *kxs_link_list(KXSTermList &list)
{
    // Byte order of the lower-cased identifiers is strcasecmp's order; each
    // identifier is lower-cased once instead of at every comparison, and
    // the sort moves positions, not strings.
    std::vector<std::string> keys;
    keys.reserve(list.terms.size());
    for (const KXSTerm *term : list.terms) {
        std::string key = term->terminalId ? term->terminalId : "";
        for (char &c : key)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        keys.push_back(std::move(key));
    }
    std::vector<uint32_t> order(list.terms.size());
    for (uint32_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&keys](uint32_t a, uint32_t b) { return keys[a] < keys[b]; });
    KXSTerm *head = nullptr;
    for (auto at = order.rbegin(); at != order.rend(); ++at) {
        list.terms[*at]->next = head;
        head = list.terms[*at];
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

void kxs_parse_entry(KXSHandle *, KXSTermList &list, const char *blockText, const char *filter)
{
    TermFields f;
    std::string_view text(blockText ? blockText : "");
    while (!text.empty()) {
        std::size_t feed = text.find('\n');
        std::string_view line = text.substr(0, feed);
        text = feed == std::string_view::npos ? std::string_view() : text.substr(feed + 1);
        std::string_view key, value;
        if (split_key_and_value(line, key, value) && !key.empty())
            apply_term_key(f, key, value);
    }
    if (f.id.empty() || f.ipa.empty())
        return;
    // The identifier splits at its last ".": the model before, the short
    // identifier after (the whole value without one), as kxs_get_model and
    // get_short_terminal_id give them.
    std::size_t dot = f.id.rfind('.');
    std::string_view model = dot == std::string_view::npos ? std::string_view() : f.id.substr(0, dot);
    std::string_view shortId = dot == std::string_view::npos ? f.id : f.id.substr(dot + 1);
    if (filter && shortId.find(filter) == std::string_view::npos)
        return;
    const Text texts[] = {shortId, text_or_null(f.cid), text_of(list.serverName),
                          f.ipa,   model,               text_or_null(f.firmware)};
    list.terms.push_back(make_term(texts, f.connectTime, f.packets, f.lost));
}

void kxs_parse_line(KXSHandle *handle, KXSTermList &list, std::string_view line,
                    RecordFramer &framer, const char *filter)
{
    if (const char *block = framer.line(line))
        kxs_parse_entry(handle, list, block, filter);
}

KXSTerm *kxs_get_current_list(KXSHandle *handle, const char *host, int *count, const char *filter,
                              Deadline deadline)
{
    int ignored;
    if (!count)
        count = &ignored;
    *count = 0;
    KXSTermList list;
    list.serverName = host;
    RecordFramer framer(kClient.name);
    Outcome outcome = ask_daemon(
        kClient, host, "status\n",
        [&](std::string_view line) {
            kxs_parse_line(handle, list, line, framer, filter);
            return true;
        },
        deadline);
    if (!exchange_ran(outcome)) {
        *count = -1;
        return nullptr;
    }
    *count = static_cast<int>(list.terms.size());
    KXSTerm *head = kxs_link_list(list);
    dlprintf("b", "found %d desktops\n", *count);
    return head;
}

namespace {

// The members a merged list asks: trusted hosts that have not timed out, in
// list order, at most kMaxGroupMembers.
std::vector<const char *> members_to_ask(HostList *hosts)
{
    std::vector<const char *> members;
    for (HostList *node = hosts; node; node = node->next) {
        const gm_host *host = node->host;
        if (!host || !host->info || !host->trusted ||
            isTimedOut(host->info->lastseen, host->info->period))
            continue;
        if (members.size() == static_cast<std::size_t>(kMaxGroupMembers)) {
            dprintf("kxs_get_currentHA_list(): member limit reached; the other members are not "
                    "asked\n");
            break;
        }
        members.push_back(host->info->name);
    }
    return members;
}

}  // namespace

KXSTerm *kxs_get_currentHA_list(KXSHandle *handle, HostList *hosts)
{
    const std::vector<const char *> members = members_to_ask(hosts);
    // Every member is asked at once; each parses into a list of its own, so
    // the merge below keeps the members' order whatever order they answer in.
    std::vector<KXSTermList> lists(members.size());
    std::vector<RecordFramer> framers;
    framers.reserve(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
        lists[i].serverName = members[i];
        framers.emplace_back(kClient.name);
    }
    std::vector<Outcome> outcomes = ask_daemons(
        kClient, members, "status\n",
        [&](std::size_t member, std::string_view line) {
            kxs_parse_line(handle, lists[member], line, framers[member], nullptr);
            return true;
        },
        deadline_in(kGroupQueryMs));
    KXSTermList merged;
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (!exchange_ran(outcomes[i]))
            continue;
        dlprintf("b", "found %zu desktops\n", lists[i].terms.size());
        merged.terms.insert(merged.terms.end(), lists[i].terms.begin(), lists[i].terms.end());
        lists[i].terms.clear();
    }
    return kxs_link_list(merged);
}

namespace {

// strcasecmp's notion of equal identifiers, as one key.
std::string lowered(const char *text)
{
    std::string key = text ? text : "";
    for (char &c : key)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return key;
}

}  // namespace

KXSTermIndex::KXSTermIndex(const KXSTerm *list)
{
    for (const KXSTerm *term = list; term; term = term->next)
        first_.try_emplace(lowered(term->terminalId), term);  // keeps the first
}

const KXSTerm *KXSTermIndex::find(const char *terminalId) const
{
    auto found = first_.find(lowered(terminalId));
    if (found != first_.end())
        return found->second;
    // An identifier stored whole, as the terminal reports itself
    // ("IEEE802.080020f8a2b1"), names the terminal of that model and ID.
    const char *dot = strrchr(terminalId, '.');
    if (!dot)
        return nullptr;
    found = first_.find(lowered(dot + 1));
    if (found == first_.end())
        return nullptr;
    const char *model = found->second->model;
    std::size_t modelLength = static_cast<std::size_t>(dot - terminalId);
    bool sameModel = model && strlen(model) == modelLength &&
                     strncasecmp(model, terminalId, modelLength) == 0;
    return sameModel ? found->second : nullptr;
}

}  // namespace kx
