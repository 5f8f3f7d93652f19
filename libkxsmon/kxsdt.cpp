#include "kxsdt.h"

#include "group_mgr.h"
#include "kxsinit.h"
#include "kxsutil.h"
#include "ping.h"
#include "utils.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
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

// The draft's texts, by their place in KXSTermDraft::at.
enum DraftText : std::size_t { kId, kCid, kIpa, kModel, kFirmware, kDraftTexts };

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

Text draft_text(const KXSTermList &list, const KXSTermDraft &draft, std::size_t which)
{
    if (draft.at[which] == KXSTermDraft::kAbsent)
        return std::nullopt;
    return std::string_view(list.store).substr(draft.at[which], draft.length[which]);
}

KXSTerm *make_term(const KXSTermList &list, const KXSTermDraft &draft)
{
    const Text texts[] = {draft_text(list, draft, kId),    draft_text(list, draft, kCid),
                          text_of(draft.serverName),       draft_text(list, draft, kIpa),
                          draft_text(list, draft, kModel), draft_text(list, draft, kFirmware)};
    return make_term(texts, draft.connectTime, draft.packets, draft.lost);
}

// Whether `key` spells `name` without regard to case. `name` holds letters
// only and at least eight of them, so a letter's case is its 0x20 bit and
// the words can be compared eight bytes at a time: the key of every line of
// a long reply is looked up here.
bool spells(std::string_view key, std::string_view name)
{
    constexpr uint64_t kCaseBits = 0x2020202020202020;
    auto word = [](const char *at) {
        uint64_t w;
        std::memcpy(&w, at, sizeof w);
        return w | kCaseBits;
    };
    const std::size_t n = name.size();
    if (key.size() != n)
        return false;
    for (std::size_t i = 0; i + 8 < n; i += 8)
        if (word(key.data() + i) != word(name.data() + i))
            return false;
    return word(key.data() + n - 8) == word(name.data() + n - 8);
}

enum class TermKey { Id, Cid, Ipa, Firmware, ConnectTime, Packets, Lost, None };

// The keys a terminal is built from, told apart by length first.
TermKey term_key(std::string_view key)
{
    switch (key.size()) {
    case 8:
        return spells(key, "firmware") ? TermKey::Firmware : TermKey::None;
    case 10:
        return spells(key, "terminalId") ? TermKey::Id : TermKey::None;
    case 11:
        if (spells(key, "terminalCID"))
            return TermKey::Cid;
        return spells(key, "terminalIPA") ? TermKey::Ipa : TermKey::None;
    case 15:
        return spells(key, "terminalPackets") ? TermKey::Packets : TermKey::None;
    case 19:
        if (spells(key, "terminalConnectTime"))
            return TermKey::ConnectTime;
        return spells(key, "terminalLostPackets") ? TermKey::Lost : TermKey::None;
    default:
        return TermKey::None;
    }
}

// Each view is a whole literal, so it ends in a NUL.
constexpr std::string_view kTermKeyNames[] = {"terminalId",          "terminalCID",
                                              "terminalIPA",         "firmware",
                                              "terminalConnectTime", "terminalPackets",
                                              "terminalLostPackets"};

// Traces a recognised key's value, "(nil)" when it is empty.
void trace_value(std::string_view key, std::string_view value)
{
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

// Keeps `text` in the list's store; the store only grows while its offsets
// fit a draft.
bool keep_text(KXSTermList &list, std::string_view text, uint32_t &at, uint32_t &length)
{
    if (list.store.size() + text.size() >= KXSTermDraft::kAbsent)
        return false;
    at = static_cast<uint32_t>(list.store.size());
    length = static_cast<uint32_t>(text.size());
    list.store.append(text);
    return true;
}

// One record block, parsed line by line as the lines come: the values of
// the keys it recognises go to the list's store at once, so no line is kept
// and no block text is built. An incomplete block leaves nothing behind.
class TermBlock {
public:
    explicit TermBlock(KXSTermList &list)
        : list_(list), trace_(gdebug("b") != 0), start_(list.store.size())
    {
    }
    // A new block: whatever the last one left unclosed goes.
    void open();
    void line(std::string_view line);
    // A text that may hold several lines.
    void lines(std::string_view text);
    // Adds the block's terminal to the list when it has an identifier and an
    // address, and its short identifier holds `filter` (when given).
    void close(const char *filter);

private:
    struct Span {
        uint32_t at = 0, length = 0;  // empty: not given, or given empty
    };
    std::string_view text(Span span) const
    {
        return std::string_view(list_.store).substr(span.at, span.length);
    }
    void keep(Span &span, std::string_view value)
    {
        if (!keep_text(list_, value, span.at, span.length))
            span = Span{};
    }

    KXSTermList &list_;
    bool trace_;
    std::size_t start_ = 0;  // the store's size when the block opened
    Span id_, cid_, ipa_, firmware_;
    uint32_t connectTime_ = 0, packets_ = 0, lost_ = 0;
};

void TermBlock::open()
{
    list_.store.resize(start_);
    id_ = cid_ = ipa_ = firmware_ = Span{};
    connectTime_ = packets_ = lost_ = 0;
}

void TermBlock::line(std::string_view line)
{
    // Reply lines end at their first NUL, and block texts are C strings.
    std::string_view key, value;
    if (!split_key_and_value_without_nul(line, key, value))
        return;
    TermKey which = term_key(key);
    if (which == TermKey::None)
        return;
    if (trace_)
        trace_value(kTermKeyNames[static_cast<int>(which)], value);
    switch (which) {
    case TermKey::Id:
        return keep(id_, value);
    case TermKey::Cid:
        return keep(cid_, value);
    case TermKey::Ipa:
        return keep(ipa_, value);
    case TermKey::Firmware:
        return keep(firmware_, value);
    case TermKey::ConnectTime:
        connectTime_ = to_number(value);
        return;
    case TermKey::Packets:
        packets_ = to_number(value);
        return;
    case TermKey::Lost:
        lost_ = to_number(value);
        return;
    case TermKey::None:
        return;
    }
}

void TermBlock::lines(std::string_view text)
{
    while (!text.empty()) {
        std::size_t feed = text.find('\n');
        line(text.substr(0, feed));
        text = feed == std::string_view::npos ? std::string_view() : text.substr(feed + 1);
    }
}

void TermBlock::close(const char *filter)
{
    if (id_.length == 0 || ipa_.length == 0)
        return open();
    // The identifier splits at its last ".": the model before, the short
    // identifier after (the whole value without one), as kxs_get_model and
    // get_short_terminal_id give them.
    const std::string_view id = text(id_);
    const std::size_t dot = id.rfind('.');
    const uint32_t modelLength = dot == std::string_view::npos ? 0 : static_cast<uint32_t>(dot);
    const uint32_t skipped = dot == std::string_view::npos ? 0 : modelLength + 1;
    if (filter && id.substr(skipped).find(filter) == std::string_view::npos)
        return open();
    auto absent_if_empty = [](Span span) {
        return span.length ? span.at : KXSTermDraft::kAbsent;
    };
    KXSTermDraft draft{};
    draft.at[kId] = id_.at + skipped;
    draft.length[kId] = id_.length - skipped;
    draft.at[kCid] = absent_if_empty(cid_);
    draft.length[kCid] = cid_.length;
    draft.at[kIpa] = ipa_.at;
    draft.length[kIpa] = ipa_.length;
    draft.at[kModel] = id_.at;
    draft.length[kModel] = modelLength;
    draft.at[kFirmware] = absent_if_empty(firmware_);
    draft.length[kFirmware] = firmware_.length;
    draft.serverName = list_.serverName;
    draft.connectTime = connectTime_;
    draft.packets = packets_;
    draft.lost = lost_;
    list_.drafts.push_back(draft);
    start_ = list_.store.size();  // the block's texts now belong to the draft
    open();
}

// A "status" reply parsed into terminals as it is read: the lines are
// framed and parsed straight from the read buffer.
class TermReply : public ReplySink {
public:
    TermReply(KXSTermList &list, const char *filter)
        : lines_(kClient), framing_(kClient.name), block_(list), filter_(filter)
    {
    }
    bool bytes(char *data, std::size_t length) override
    {
        return lines_.feed_each(data, length, [this](std::string_view line) {
            step(line, false);
            return true;
        });
    }
    bool line(std::string_view line) override
    {
        step(line, true);
        return true;
    }

private:
    // A line handed over whole may hold line feeds: a block text would
    // split it there.
    void step(std::string_view line, bool mayHoldFeeds)
    {
        switch (framing_.step(line)) {
        case BlockFraming::Step::Open:
            return block_.open();
        case BlockFraming::Step::Add:
            return mayHoldFeeds ? block_.lines(line) : block_.line(line);
        case BlockFraming::Step::Close:
            return block_.close(filter_);
        case BlockFraming::Step::Skip:
            return;
        }
    }

    LineAssembler lines_;
    BlockFraming framing_;
    TermBlock block_;
    const char *filter_;
};

// The order of a terminal: its identifier's first 16 bytes lower-cased,
// big-endian (a shorter one padded with NULs, which no identifier holds, so
// comparing the words is comparing the texts), then its list and its place.
struct SortEntry {
    uint64_t high, low;
    uint32_t list, index;
};

// Identifiers are protocol text: their case is folded as ASCII has it,
// whatever locale the host process runs in.
unsigned char folded(char c)
{
    auto byte = static_cast<unsigned char>(c);
    return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte + ('a' - 'A')) : byte;
}

uint64_t folded_word(std::string_view text)
{
    uint64_t word = 0;
    for (std::size_t i = 0; i < 8; ++i)
        word = word << 8 | (i < text.size() ? folded(text[i]) : 0u);
    return word;
}

std::string_view draft_id(const KXSTermList &list, const KXSTermDraft &draft)
{
    return std::string_view(list.store).substr(draft.at[kId], draft.length[kId]);
}

// The case-blind comparison of what follows the first 16 bytes.
int compare_tails(std::string_view a, std::string_view b)
{
    for (std::size_t i = 16; i < a.size() && i < b.size(); ++i)
        if (folded(a[i]) != folded(b[i]))
            return folded(a[i]) - folded(b[i]);
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// A stable radix sort on the 16 key bytes, least significant first. Only
// the bytes in which keys differ take a pass: identifiers share their model
// prefix and their padding.
void sort_by_key(std::vector<SortEntry> &order)
{
    if (order.empty())
        return;
    uint64_t highDiffers = 0, lowDiffers = 0;
    for (const SortEntry &e : order) {
        highDiffers |= e.high ^ order.front().high;
        lowDiffers |= e.low ^ order.front().low;
    }
    std::vector<SortEntry> other(order.size());
    for (int byte = 0; byte < 16; ++byte) {
        const bool inLow = byte < 8;
        const int shift = 8 * (byte % 8);
        if (((inLow ? lowDiffers : highDiffers) >> shift & 0xff) == 0)
            continue;
        auto byte_of = [inLow, shift](const SortEntry &e) {
            return static_cast<std::size_t>((inLow ? e.low : e.high) >> shift & 0xff);
        };
        std::array<uint32_t, 256> count{};
        for (const SortEntry &e : order)
            ++count[byte_of(e)];
        uint32_t at = 0;
        for (uint32_t &slot : count)
            at += std::exchange(slot, at);
        for (const SortEntry &e : order)
            other[count[byte_of(e)]++] = e;
        order.swap(other);
    }
}

}  // namespace

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
    KXSTermDraft draft{};
    const char *texts[kDraftTexts] = {terminalId, terminalCID, terminalIPA, model, firmware};
    for (std::size_t i = 0; i < kDraftTexts; ++i) {
        draft.at[i] = KXSTermDraft::kAbsent;
        if (texts[i] && !keep_text(list, texts[i], draft.at[i], draft.length[i]))
            return;
    }
    draft.serverName = serverName;
    draft.connectTime = terminalConnectTime;
    draft.packets = terminalPackets;
    draft.lost = terminalLostPackets;
    list.drafts.push_back(draft);
}

KXSTerm *kxs_link_lists(std::vector<KXSTermList> &lists)
{
    // Each identifier is folded once; the sort compares words, and only
    // identifiers that agree in their first 16 bytes look further.
    std::vector<SortEntry> order;
    for (uint32_t l = 0; l < lists.size(); ++l) {
        order.reserve(order.size() + lists[l].drafts.size());
        for (uint32_t i = 0; i < lists[l].drafts.size(); ++i) {
            std::string_view id = draft_id(lists[l], lists[l].drafts[i]);
            order.push_back({folded_word(id), folded_word(id.size() > 8 ? id.substr(8) : ""), l, i});
        }
    }
    sort_by_key(order);
    auto tail_before = [&lists](const SortEntry &a, const SortEntry &b) {
        return compare_tails(draft_id(lists[a.list], lists[a.list].drafts[a.index]),
                             draft_id(lists[b.list], lists[b.list].drafts[b.index])) < 0;
    };
    // Identifiers alike in their first 16 bytes: only longer ones can still
    // differ, and a stable sort of their run keeps the order added.
    for (auto run = order.begin(); run != order.end();) {
        auto end = std::find_if(run, order.end(), [&run](const SortEntry &e) {
            return e.high != run->high || e.low != run->low;
        });
        if (end - run > 1)
            std::stable_sort(run, end, tail_before);
        run = end;
    }
    // Laid out in list order: the records follow one another in memory as
    // the caller walks and releases them.
    // The drafts are visited out of the order they lie in: each is fetched
    // some records ahead, and then its texts.
    auto draft_of = [&lists](const SortEntry &e) -> const KXSTermDraft & {
        return lists[e.list].drafts[e.index];
    };
    constexpr std::size_t kAhead = 8;
    KXSTerm *head = nullptr;
    KXSTerm **tail = &head;
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (k + 2 * kAhead < order.size())
            __builtin_prefetch(&draft_of(order[k + 2 * kAhead]));
        if (k + kAhead < order.size()) {
            const SortEntry &soon = order[k + kAhead];
            __builtin_prefetch(lists[soon.list].store.data() + draft_of(soon).at[kIpa]);
        }
        *tail = make_term(lists[order[k].list], draft_of(order[k]));
        tail = &(*tail)->next;
    }
    for (KXSTermList &list : lists) {
        list.drafts.clear();
        list.store.clear();
    }
    return head;
}

KXSTerm *kxs_link_list(KXSTermList &list)
{
    std::vector<KXSTermList> one(1);
    std::swap(one[0].drafts, list.drafts);
    std::swap(one[0].store, list.store);
    return kxs_link_lists(one);
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
    TermBlock block(list);
    block.lines(blockText ? blockText : "");
    block.close(filter);
}

void kxs_parse_line(KXSHandle *handle, KXSTermList &list, std::string_view line,
                    RecordFramer &framer, const char *filter)
{
    if (const char *block = framer.line(line))
        kxs_parse_entry(handle, list, block, filter);
}

KXSTerm *kxs_get_current_list(KXSHandle *, const char *host, int *count, const char *filter,
                              Deadline deadline)
{
    int ignored;
    if (!count)
        count = &ignored;
    *count = 0;
    KXSTermList list;
    list.serverName = host;
    TermReply reply(list, filter);
    Outcome outcome = ask_daemon_into(kClient, host, "status\n", reply, deadline);
    if (!exchange_ran(outcome)) {
        *count = -1;
        return nullptr;
    }
    *count = static_cast<int>(list.size());
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

KXSTerm *kxs_get_currentHA_list(KXSHandle *, HostList *hosts)
{
    const std::vector<const char *> members = members_to_ask(hosts);
    // Every member is asked at once; each parses into a list of its own, so
    // the merge below keeps the members' order whatever order they answer in.
    std::vector<KXSTermList> lists(members.size());
    std::vector<std::unique_ptr<TermReply>> replies;
    std::vector<ReplySink *> sinks;
    for (std::size_t i = 0; i < members.size(); ++i) {
        lists[i].serverName = members[i];
        replies.push_back(std::make_unique<TermReply>(lists[i], nullptr));
        sinks.push_back(replies.back().get());
    }
    std::vector<Outcome> outcomes =
        ask_daemons(kClient, members, "status\n", sinks, deadline_in(kGroupQueryMs));
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (!exchange_ran(outcomes[i])) {
            lists[i].drafts.clear();
            continue;
        }
        dlprintf("b", "found %zu desktops\n", lists[i].size());
    }
    return kxs_link_lists(lists);
}

namespace {

std::string_view id_of(const KXSTerm *term)
{
    return term->terminalId ? std::string_view(term->terminalId) : std::string_view();
}

// The order of the list: identifiers compared byte by byte, case folded.
int compare_folded(std::string_view a, std::string_view b)
{
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (folded(a[i]) != folded(b[i]))
            return folded(a[i]) - folded(b[i]);
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool ordered_before(const KXSTerm *a, const KXSTerm *b)
{
    return compare_folded(id_of(a), id_of(b)) < 0;
}

}  // namespace

// A status list comes ordered by identifier, equal ones in merge order, so
// the walk only has to check that; a list in any other order is sorted
// stably, which keeps the first of equal identifiers first.
KXSTermIndex::KXSTermIndex(const KXSTerm *list)
{
    for (const KXSTerm *term = list; term; term = term->next)
        terms_.push_back(term);
    if (!std::is_sorted(terms_.begin(), terms_.end(), ordered_before))
        std::stable_sort(terms_.begin(), terms_.end(), ordered_before);
}

const KXSTerm *KXSTermIndex::first_with(std::string_view terminalId) const
{
    auto at = std::lower_bound(terms_.begin(), terms_.end(), terminalId,
                               [](const KXSTerm *term, std::string_view id) {
                                   return compare_folded(id_of(term), id) < 0;
                               });
    return at != terms_.end() && compare_folded(id_of(*at), terminalId) == 0 ? *at : nullptr;
}

const KXSTerm *KXSTermIndex::find(const char *terminalId) const
{
    if (const KXSTerm *term = first_with(terminalId))
        return term;
    // An identifier stored whole, as the terminal reports itself
    // ("IEEE802.080020f8a2b1"), names the terminal of that model and ID.
    const char *dot = strrchr(terminalId, '.');
    if (!dot)
        return nullptr;
    const KXSTerm *term = first_with(dot + 1);
    if (!term)
        return nullptr;
    const char *model = term->model;
    std::size_t modelLength = static_cast<std::size_t>(dot - terminalId);
    bool sameModel = model && strlen(model) == modelLength &&
                     strncasecmp(model, terminalId, modelLength) == 0;
    return sameModel ? term : nullptr;
}

}  // namespace kx
