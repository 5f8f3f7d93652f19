#include "kxsdt.h"

#include "group_mgr.h"
#include "kxsinit.h"
#include "kxsutil.h"
#include "exchange.h"
#include "utils.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>

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

// Bytes a segment offers: a heap block well below the size that the
// allocator would map on its own.
constexpr std::size_t kSegmentBytes = 64 * 1024 - 64;

constexpr std::size_t aligned_up(std::size_t bytes)
{
    return (bytes + alignof(KXSTerm) - 1) & ~(alignof(KXSTerm) - 1);
}

// Identifiers are protocol text: their case is folded as ASCII has it,
// whatever locale the host process runs in.
unsigned char folded(char c)
{
    auto byte = static_cast<unsigned char>(c);
    return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte + ('a' - 'A')) : byte;
}

// Room that a segment keeps behind its last byte, so that the key of an
// identifier at its very end can still be read a word at a time.
constexpr std::size_t kSegmentSlack = 16;

// The `length` (at most 8) bytes from `at`, ASCII capitals lower-cased, the
// rest of the word zero, most significant first: words compare as the texts
// do. Reads 8 bytes whatever `length` is.
uint64_t folded_word(const char *at, std::size_t length)
{
    if constexpr (std::endian::native != std::endian::little) {
        uint64_t word = 0;
        for (std::size_t i = 0; i < 8; ++i)
            word = word << 8 | (i < length ? folded(at[i]) : 0u);
        return word;
    }
    constexpr uint64_t kHighBits = 0x8080808080808080;
    uint64_t word;
    std::memcpy(&word, at, sizeof word);  // the first byte the least significant
    if (length < 8)
        word &= (uint64_t{1} << (8 * length)) - 1;
    const uint64_t low = word & ~kHighBits;
    const uint64_t fromA = low + 0x3f3f3f3f3f3f3f3f;    // high bit set from 'A' up
    const uint64_t pastZ = low + 0x2525252525252525;    // and from past 'Z' up
    const uint64_t capitals = fromA & ~pastZ & ~word & kHighBits;
    return __builtin_bswap64(word | capitals >> 2);
}

// The key of a record whose identifier lies in a segment of the store.
KXSTermKey key_of(KXSTerm *term, std::size_t idLength)
{
    const char *id = term->terminalId;
    if (!id)
        return {0, 0, term};
    return {folded_word(id, std::min<std::size_t>(idLength, 8)),
            idLength > 8 ? folded_word(id + 8, std::min<std::size_t>(idLength - 8, 8)) : 0, term};
}

// What copies of a record's texts take, as KXSTerm::copiedTextBytes counts
// them.
std::size_t copied_text_bytes(const KXSTerm *term)
{
    std::size_t bytes = texts_behind(term).size();
    for (char *KXSTerm::*text : kTermTexts)
        if (const char *t = term->*text; t && !lies_behind(term, t))
            bytes += std::strlen(t) + 1;
    return bytes;
}

void set_figures(KXSTerm *term, uint32_t connectTime, uint32_t packets, uint32_t lost)
{
    term->terminalConnectTime = connectTime;
    term->terminalPackets = packets;
    term->terminalLostPackets = lost;
    double all = static_cast<double>(packets) + lost;
    term->lossPercent = all > 0 ? static_cast<float>(lost * 100.0 / all) : 0.0f;
}

// Lays a record out in the list's store with copies of its texts.
void add_record(KXSTermList &list, const Text (&texts)[kTermTextCount], uint32_t connectTime,
                uint32_t packets, uint32_t lost)
{
    std::size_t bytes = sizeof(KXSTerm);
    for (const Text &text : texts)
        bytes += text ? text->size() + 1 : 0;
    if (bytes > UINT32_MAX)
        return;
    char *place = list.store.room(bytes);
    auto *term = reinterpret_cast<KXSTerm *>(place);
    *term = KXSTerm{};
    char *at = place + sizeof(KXSTerm);
    for (std::size_t i = 0; i < kTermTextCount; ++i) {
        if (texts[i])
            term->*kTermTexts[i] = place_text(at, *texts[i]);
    }
    set_figures(term, connectTime, packets, lost);
    term->bytes = static_cast<uint32_t>(at - place);
    list.store.commit(at);
    list.copiedTextBytes += copied_text_bytes(term);
    list.keys.push_back(key_of(term, texts[0] ? texts[0]->size() : 0));
}

// Eight bytes of a key, a letter's case bit (0x20) set: keys are compared
// with names of letters only, eight bytes at a time.
uint64_t caseless_word(const char *at)
{
    constexpr uint64_t kCaseBits = 0x2020202020202020;
    uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word | kCaseBits;
}

enum class TermKey { Id, Cid, Ipa, Firmware, ConnectTime, Packets, Lost, None };

// The caseless word of a name's eight letters from `at`, as caseless_word
// reads them from a line.
consteval uint64_t name_word(std::string_view name, std::size_t at)
{
    const bool little = std::endian::native == std::endian::little;
    uint64_t word = 0;
    for (std::size_t i = 0; i < 8; ++i)
        word |= static_cast<uint64_t>(static_cast<unsigned char>(name[at + i]) | 0x20u)
                << (8 * (little ? i : 7 - i));
    return word;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// The known key of the "terminal" family that the line's first `length`
// bytes spell, or TermKey::None; its first word is matched already. Each
// key is told by the word that ends it, the longest also by the word behind
// "terminal".
TermKey terminal_key(const char *line, std::size_t length)
{
    auto ends_as = [last = caseless_word(line + length - 8)](uint64_t word) {
        return last == word;
    };
    switch (length) {
    case 10:
        return ends_as(name_word("terminalId", 2)) ? TermKey::Id : TermKey::None;
    case 11:
        return ends_as(name_word("terminalCID", 3))   ? TermKey::Cid
               : ends_as(name_word("terminalIPA", 3)) ? TermKey::Ipa
                                                      : TermKey::None;
    case 15:
        return ends_as(name_word("terminalPackets", 7)) ? TermKey::Packets : TermKey::None;
    case 19: {
        const uint64_t middle = caseless_word(line + 8);
        if (middle == name_word("terminalConnectTime", 8) &&
            ends_as(name_word("terminalConnectTime", 11)))
            return TermKey::ConnectTime;
        if (middle == name_word("terminalLostPackets", 8) &&
            ends_as(name_word("terminalLostPackets", 11)))
            return TermKey::Lost;
        return TermKey::None;
    }
    default:
        return TermKey::None;
    }
}

constexpr uint64_t kFirmwareWord = name_word("firmware", 0);
constexpr uint64_t kTerminalWord = name_word("terminal", 0);

// The known key that `key` (stripped) spells without regard to case.
TermKey term_key(std::string_view key)
{
    if (key.size() < 8)
        return TermKey::None;
    const uint64_t first = caseless_word(key.data());
    if (key.size() == 8)
        return first == kFirmwareWord ? TermKey::Firmware : TermKey::None;
    return first == kTerminalWord ? terminal_key(key.data(), key.size()) : TermKey::None;
}

// The key of a line as daemons write it, "key=value" with no blank before
// the '=': told from the first eight bytes and the byte behind each length a
// known key can have, without a search for the '='. std::nullopt for any
// other shape that could still be a known key (a blank about it, a short
// line), which the general split reads. `equals` gets the '=''s place.
std::optional<TermKey> plain_term_key(std::string_view line, std::size_t &equals)
{
    if (line.size() < 9)
        return std::nullopt;
    const uint64_t first = caseless_word(line.data());
    auto ended_at = [&line, &equals](std::size_t length, TermKey key) -> std::optional<TermKey> {
        if (line[length] != '=')
            return std::nullopt;  // a blank: the general split strips it
        equals = length;
        return key;
    };
    if (first == kFirmwareWord) {
        const char behind = line[8];
        return behind == '=' || is_blank(behind) ? ended_at(8, TermKey::Firmware)
                                                 : TermKey::None;
    }
    if (first != kTerminalWord)  // only a blank before it could make it ours
        return is_blank(line[0]) ? std::nullopt : std::optional(TermKey::None);
    // A known key is all letters, so an '=' right behind it is the first.
    for (std::size_t length : {10, 11, 15, 19}) {
        if (line.size() <= length)
            break;
        const char behind = line[length];
        if (behind == '=' || is_blank(behind)) {
            TermKey key = terminal_key(line.data(), length);
            if (key != TermKey::None || behind == '=')
                return ended_at(length, key);
        }
    }
    return TermKey::None;
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

// strtoul(value, NULL, 0), saturated at the 32-bit maximum: every form a
// figure may take (blanks, signs, "0x", octal, large figures).
[[gnu::noinline]] uint32_t general_number(std::string_view value)
{
    std::string text(value);  // short: no allocation
    return text_to_uint32(text.c_str());
}

// The same, with plain decimal figures below a billion, the usual case,
// summed up directly.
uint32_t to_number(std::string_view value)
{
    const std::size_t n = value.size();
    if (n == 0 || n > 9 || (value[0] == '0' && n > 1))
        return general_number(value);
    uint32_t number = 0;
    for (char c : value) {
        const auto digit = static_cast<uint32_t>(static_cast<unsigned char>(c) - '0');
        if (digit > 9)
            return general_number(value);
        number = number * 10 + digit;
    }
    return number;
}

// One record block, parsed line by line as the lines come: the values of
// the keys it recognises are copied at once behind the place of its record
// in the list's store, so no line is kept and no block text is built, and a
// closed block's record is laid out where its texts already lie. An
// incomplete block leaves nothing behind.
class TermBlock {
public:
    // Only terminals whose short identifier holds `filter` (when given) are
    // added, and with `wanted` only the records that it keeps for `member`.
    explicit TermBlock(KXSTermList &list, const char *filter, KXSWantedTerms *wanted = nullptr,
                       std::size_t member = 0);
    // A new block: whatever the last one left unclosed goes.
    void open();
    void line(std::string_view line);
    // A block text: its lines, split at line feeds.
    void lines(std::string_view text);
    // Adds the block's terminal to the list when it has an identifier and an
    // address, and passes the filter.
    void close();
    // About `bytes` more reply bytes are coming.
    void expect_bytes(std::size_t bytes)
    {
        std::vector<KXSTermKey> &keys = list_.keys;
        if (keys.capacity() - keys.size() < bytes / kTypicalRecordBytes)
            keys.reserve(std::max(2 * keys.capacity(), keys.size() + bytes / kTypicalRecordBytes));
    }

private:
    // What a record of a real reply costs, about: an identifier, an address,
    // a token and the figures.
    static constexpr std::size_t kTypicalRecordBytes = 128;
    struct Span {
        uint32_t at = 0, length = 0;  // from the record's place; empty: not given, or given empty
    };
    char *text(Span span) const { return record_ + span.at; }
    // A line whose key is not told from its shape: read by the general split.
    [[gnu::noinline]] void line_of_other_shape(std::string_view line);
    void take(TermKey which, std::string_view value);
    void start_record();
    void keep(Span &span, std::string_view value);
    bool move_record(std::size_t more);

    KXSTermList &list_;
    const char *filter_;
    KXSWantedTerms *wanted_;
    std::size_t member_;
    bool trace_;
    char *record_ = nullptr;  // the place of the block's record, its texts behind it
    char *free_ = nullptr;    // the first byte the texts have not taken
    Span id_, cid_, ipa_, firmware_;
    uint32_t connectTime_ = 0, packets_ = 0, lost_ = 0;
};

TermBlock::TermBlock(KXSTermList &list, const char *filter, KXSWantedTerms *wanted,
                     std::size_t member)
    : list_(list), filter_(filter), wanted_(wanted), member_(member), trace_(gdebug("b") != 0)
{
    if (list_.serverName && !list_.storedServerName) {
        const std::size_t bytes = std::strlen(list_.serverName) + 1;
        char *copy = list_.store.room(bytes);
        std::memcpy(copy, list_.serverName, bytes);
        list_.store.commit(copy + bytes);
        list_.storedServerName = copy;
    }
    start_record();
}

void TermBlock::start_record()
{
    record_ = list_.store.room(sizeof(KXSTerm));
    open();
}

void TermBlock::open()
{
    free_ = record_ + sizeof(KXSTerm);
    id_ = cid_ = ipa_ = firmware_ = Span{};
    connectTime_ = packets_ = lost_ = 0;
}

// The record's place and texts so far move to a fresh segment with `more`
// bytes of room behind them; false when the record would grow past what a
// span can tell.
bool TermBlock::move_record(std::size_t more)
{
    const auto taken = static_cast<std::size_t>(free_ - record_);
    if (taken + more > UINT32_MAX)
        return false;
    char *place = list_.store.room(taken + more);
    std::memcpy(place, record_, taken);
    record_ = place;
    free_ = place + taken;
    return true;
}

void TermBlock::keep(Span &span, std::string_view value)
{
    span = Span{};
    if (value.empty())
        return;
    const std::size_t bytes = value.size() + 1;
    if (static_cast<std::size_t>(list_.store.limit() - free_) < bytes && !move_record(bytes))
        return;
    span = {static_cast<uint32_t>(free_ - record_), static_cast<uint32_t>(value.size())};
    place_text(free_, value);
}

void TermBlock::line(std::string_view line)
{
    std::size_t equals = 0;
    const std::optional<TermKey> plain = plain_term_key(line, equals);
    if (!plain)
        return line_of_other_shape(line);
    if (*plain == TermKey::None)
        return;
    std::string_view value = line.substr(equals + 1, kKeyValueSideMax);
    auto edge = [](char c) { return is_blank(c) || c == '\n'; };
    if (!value.empty() && (edge(value.front()) || edge(value.back())))
        value = strip_blanks(value);
    take(*plain, value);
}

void TermBlock::line_of_other_shape(std::string_view line)
{
    // Reply lines end at their first NUL, and block texts are C strings.
    std::string_view key, value;
    if (!split_key_and_value_without_nul(line, key, value))
        return;
    const TermKey which = term_key(key);
    if (which != TermKey::None)
        take(which, value);
}

void TermBlock::take(TermKey which, std::string_view value)
{
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

void TermBlock::close()
{
    if (id_.length == 0 || ipa_.length == 0)
        return open();
    // The identifier splits at its last ".": the model before, the short
    // identifier after (the whole value without one), as kxs_get_model and
    // get_short_terminal_id give them.
    char *id = text(id_);
    auto *dot = static_cast<char *>(memrchr(id, '.', id_.length));
    char *shortId = dot ? dot + 1 : id;
    const std::string_view shortView(shortId, static_cast<std::size_t>(id + id_.length - shortId));
    if (filter_ && shortView.find(filter_) == std::string_view::npos)
        return open();
    if (wanted_ && !wanted_->keep(member_, std::string_view(id, id_.length), shortView))
        return open();  // its place is taken by the next record
    auto *term = reinterpret_cast<KXSTerm *>(record_);
    *term = KXSTerm{};
    term->terminalId = shortId;
    term->model = id + id_.length;  // "" without a model: the identifier's own NUL
    if (dot) {
        *dot = '\0';
        term->model = id;
    }
    term->terminalCID = cid_.length ? text(cid_) : nullptr;
    term->serverName = const_cast<char *>(list_.storedServerName);
    term->terminalIPA = text(ipa_);
    term->firmware = firmware_.length ? text(firmware_) : nullptr;
    set_figures(term, connectTime_, packets_, lost_);
    term->bytes = static_cast<uint32_t>(free_ - record_);
    list_.store.commit(free_);
    list_.copiedTextBytes += copied_text_bytes(term);
    list_.keys.push_back(key_of(term, shortView.size()));
    start_record();
}

// A "status" reply parsed into terminals as it is read: the lines are
// framed and parsed straight from the read buffer.
using TermReply = BlockReply<TermBlock>;

// Whether a member's exchange gave a list: it ran (what came before a reply
// was cut short counts) and, whole, held record blocks (or nothing).
bool gave_list(Outcome outcome, const TermReply &reply, const char *host)
{
    if (outcome == Outcome::Complete && !reply.holds_blocks())
        note_reply_fault(kClient.service, kClient.fallbackPort, host, "sent no record blocks");
    if (client_result(kClient, outcome, reply.holds_blocks()) != 0)
        return false;
    note_answer();
    return true;
}

std::string_view id_of(const KXSTerm *term)
{
    return term->terminalId ? std::string_view(term->terminalId) : std::string_view();
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
void sort_by_key(std::vector<KXSTermKey> &order)
{
    if (order.size() < 2)
        return;
    uint64_t highDiffers = 0, lowDiffers = 0;
    for (const KXSTermKey &e : order) {
        highDiffers |= e.high ^ order.front().high;
        lowDiffers |= e.low ^ order.front().low;
    }
    std::vector<KXSTermKey> other(order.size());
    for (int byte = 0; byte < 16; ++byte) {
        const bool inLow = byte < 8;
        const int shift = 8 * (byte % 8);
        if (((inLow ? lowDiffers : highDiffers) >> shift & 0xff) == 0)
            continue;
        auto byte_of = [inLow, shift](const KXSTermKey &e) {
            return static_cast<std::size_t>((inLow ? e.low : e.high) >> shift & 0xff);
        };
        std::array<uint32_t, 256> count{};
        for (const KXSTermKey &e : order)
            ++count[byte_of(e)];
        uint32_t at = 0;
        for (uint32_t &slot : count)
            at += std::exchange(slot, at);
        for (const KXSTermKey &e : order)
            other[count[byte_of(e)]++] = e;
        order.swap(other);
    }
}

// Identifiers alike in their first 16 bytes: only longer ones can still
// differ, and a stable sort of their run keeps the order added.
void order_alike_keys(std::vector<KXSTermKey> &order)
{
    auto tail_before = [](const KXSTermKey &a, const KXSTermKey &b) {
        return compare_tails(id_of(a.term), id_of(b.term)) < 0;
    };
    for (auto run = order.begin(); run != order.end();) {
        auto end = std::find_if(run, order.end(), [&run](const KXSTermKey &e) {
            return e.high != run->high || e.low != run->low;
        });
        if (end - run > 1)
            std::stable_sort(run, end, tail_before);
        run = end;
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

// ---- the store of a list ---------------------------------------------------------

struct KXSTermSegment {
    KXSTermSegment *next;
};

namespace {

// A segment's room starts behind its header, aligned for a record.
constexpr std::size_t kSegmentHeader = aligned_up(sizeof(KXSTermSegment));

}  // namespace

KXSTermStore::KXSTermStore(KXSTermStore &&other) noexcept
    : first_(std::exchange(other.first_, nullptr)), last_(std::exchange(other.last_, nullptr)),
      free_(std::exchange(other.free_, nullptr)), limit_(std::exchange(other.limit_, nullptr))
{
}

KXSTermStore::~KXSTermStore()
{
    release(first_);
}

char *KXSTermStore::room(std::size_t bytes)
{
    if (free_ && static_cast<std::size_t>(limit_ - free_) >= bytes)
        return free_;
    const std::size_t roomBytes = std::max(kSegmentBytes, aligned_up(bytes));
    // Written as records are laid out; only the slack behind the room is
    // cleared, for the reads of words there.
    auto *segment = static_cast<KXSTermSegment *>(
        safe_malloc_uncleared(kSegmentHeader + roomBytes + kSegmentSlack));
    segment->next = nullptr;
    std::memset(reinterpret_cast<char *>(segment) + kSegmentHeader + roomBytes, 0, kSegmentSlack);
    (last_ ? last_->next : first_) = segment;
    last_ = segment;
    free_ = reinterpret_cast<char *>(segment) + kSegmentHeader;
    limit_ = free_ + roomBytes;
    return free_;
}

void KXSTermStore::commit(const char *end)
{
    free_ += aligned_up(static_cast<std::size_t>(end - free_));
    free_ = std::min(free_, limit_);
}

KXSTermSegment *KXSTermStore::take()
{
    free_ = limit_ = nullptr;
    last_ = nullptr;
    return std::exchange(first_, nullptr);
}

void KXSTermStore::release(KXSTermSegment *chain)
{
    while (chain)
        free(std::exchange(chain, chain->next));
}

// ---- building, ordering and releasing lists ---------------------------------------

void kxs_add_to_linked_list(Handle *, KXSTermList &list, const char *terminalId,
                            const char *terminalCID, const char *terminalIPA,
                            const char *serverName, const char *model, const char *firmware,
                            uint32_t terminalConnectTime, uint32_t terminalPackets,
                            uint32_t terminalLostPackets)
{
    const Text texts[kTermTextCount] = {text_of(terminalId),  text_of(terminalCID),
                                        text_of(serverName),  text_of(terminalIPA),
                                        text_of(model),       text_of(firmware)};
    add_record(list, texts, terminalConnectTime, terminalPackets, terminalLostPackets);
}

namespace {

// Links the records where the parse laid them, in `order`.
KXSTerm *link_in_order(const std::vector<KXSTermKey> &order)
{
    KXSTerm *head = nullptr;
    KXSTerm **tail = &head;
    for (const KXSTermKey &key : order) {
        *tail = key.term;
        tail = &key.term->next;
    }
    *tail = nullptr;
    return head;
}

// The segments of every store in one chain, the stores left empty.
KXSTermSegment *chain_of(std::vector<KXSTermStore> &stores)
{
    KXSTermSegment *chain = nullptr;
    KXSTermSegment **tail = &chain;
    for (KXSTermStore &store : stores) {
        *tail = store.take();
        while (*tail)
            tail = &(*tail)->next;
    }
    return chain;
}

}  // namespace

KXSTerm *kxs_link_lists(std::vector<KXSTermList> &lists)
{
    // Each identifier was folded once, when its record was added; the sort
    // compares words, and only identifiers that agree in their first 16
    // bytes look further.
    std::vector<KXSTermKey> order;
    std::vector<KXSTermStore> parsed;
    std::size_t copiedTextBytes = 0;
    for (KXSTermList &list : lists) {
        if (order.empty())
            order.swap(list.keys);
        else
            order.insert(order.end(), list.keys.begin(), list.keys.end());
        list.keys.clear();
        list.storedServerName = nullptr;  // in the store, which the linked list takes
        copiedTextBytes += std::exchange(list.copiedTextBytes, 0);
        parsed.push_back(std::move(list.store));
    }
    if (order.empty())
        return nullptr;
    sort_by_key(order);
    order_alike_keys(order);
    KXSTerm *head = link_in_order(order);
    head->storage = chain_of(parsed);
    head->copiedTextBytes = copiedTextBytes;
    return head;
}

KXSTerm *kxs_link_list(KXSTermList &list)
{
    std::vector<KXSTermList> one;
    one.push_back(std::move(list));  // leaves `list` empty, ready for more
    return kxs_link_lists(one);
}

void kxs_free_linked_list(Handle *, KXSTerm **list)
{
    if (!list || !*list)
        return;
    KXSTermStore::release(std::exchange(*list, nullptr)->storage);
}

void kxs_parse_entry(Handle *, KXSTermList &list, const char *blockText, const char *filter)
{
    TermBlock block(list, filter);
    block.lines(blockText ? blockText : "");
    block.close();
}

std::unique_ptr<ReplySink> kxs_term_reply(KXSTermList &list, const char *filter)
{
    return std::make_unique<TermReply>(kClient.name, list, filter);
}

KXSTerm *kxs_get_current_list(Handle *, const char *host, int *count, const char *filter,
                              Deadline deadline, KXSWantedTerms *wanted)
{
    int ignored;
    if (!count)
        count = &ignored;
    *count = 0;
    KXSTermList list;
    list.serverName = host;
    TermReply reply(kClient.name, list, filter, wanted);
    Outcome outcome = ask_daemon(kClient, host, "status\n", reply, deadline);
    if (!gave_list(outcome, reply, host)) {
        *count = -1;
        return nullptr;
    }
    *count = static_cast<int>(list.size());
    KXSTerm *head = kxs_link_list(list);
    dlprintf("b", "found %d desktops\n", *count);
    return head;
}

namespace {

// A member's terminals when its exchange failed: none, and no server name.
void discard_terms(KXSTermList &list)
{
    list.keys.clear();
    list.storedServerName = nullptr;
    list.copiedTextBytes = 0;
    KXSTermStore::release(list.store.take());
}

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

KXSTerm *kxs_get_currentHA_list(Handle *, HostList *hosts, KXSWantedTerms *wanted)
{
    const std::vector<const char *> members = members_to_ask(hosts);
    // Every member is asked at once; each parses into a list of its own, so
    // the merge below keeps the members' order whatever order they answer in.
    std::vector<KXSTermList> lists(members.size());
    std::vector<std::unique_ptr<TermReply>> replies;
    std::vector<ReplySink *> sinks;
    for (std::size_t i = 0; i < members.size(); ++i) {
        lists[i].serverName = members[i];
        replies.push_back(std::make_unique<TermReply>(kClient.name, lists[i], nullptr, wanted, i));
        sinks.push_back(replies.back().get());
    }
    std::vector<Outcome> outcomes =
        ask_daemons(kClient, members, "status\n", sinks, deadline_in(kGroupQueryMs));
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (!gave_list(outcomes[i], *replies[i], members[i])) {
            discard_terms(lists[i]);
            continue;
        }
        dlprintf("b", "found %zu desktops\n", lists[i].size());
    }
    return kxs_link_lists(lists);
}

// ---- the records a query for some identifiers can report ----------------------

namespace {

constexpr std::size_t kNoMember = static_cast<std::size_t>(-1);

}  // namespace

KXSWantedTerms::KXSWantedTerms(const std::vector<const char *> &terminalIds)
{
    for (const char *id : terminalIds) {
        if (!id)
            continue;
        std::string key(id);
        for (char &c : key)
            c = static_cast<char>(folded(c));
        longest_ = std::max(longest_, key.size());
        anyWhole_ = anyWhole_ || key.find('.') != std::string::npos;
        if (slots_.emplace(std::move(key), firstMember_.size()).second)
            firstMember_.push_back(kNoMember);
    }
}

bool KXSWantedTerms::take(std::size_t member, std::string_view id)
{
    if (id.size() > longest_)
        return false;
    folded_.assign(id);
    for (char &c : folded_)
        c = static_cast<char>(folded(c));
    auto slot = slots_.find(std::string_view(folded_));
    if (slot == slots_.end() || firstMember_[slot->second] <= member)
        return false;
    firstMember_[slot->second] = member;
    return true;
}

bool KXSWantedTerms::keep(std::size_t member, std::string_view wholeId, std::string_view shortId)
{
    // A short ID holds no "." and a whole one does, so each key matches one
    // of the two lookups only. Both run: the record may be the first for
    // either.
    const bool byShort = take(member, shortId);
    const bool byWhole = anyWhole_ && wholeId.size() != shortId.size() && take(member, wholeId);
    return byShort || byWhole;
}

namespace {

// The order of the list: identifiers compared byte by byte, case folded
// (a missing one as ""). A shorter identifier that the longer one begins
// with comes first: its NUL is the lesser byte.
int compare_folded(const char *a, const char *b)
{
    a = a ? a : "";
    b = b ? b : "";
    for (;; ++a, ++b) {
        if (*a != *b && folded(*a) != folded(*b))
            return folded(*a) - folded(*b);
        if (!*a)
            return 0;
    }
}

bool equal_folded(std::string_view a, std::string_view b)
{
    auto same = [](char x, char y) { return folded(x) == folded(y); };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same);
}

bool ordered_before(const KXSTerm *a, const KXSTerm *b)
{
    return compare_folded(a->terminalId, b->terminalId) < 0;
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

std::span<const KXSTerm *const> KXSTermIndex::all_with(const char *terminalId) const
{
    auto first = std::lower_bound(terms_.begin(), terms_.end(), terminalId,
                                  [](const KXSTerm *term, const char *id) {
                                      return compare_folded(term->terminalId, id) < 0;
                                  });
    auto end = std::find_if(first, terms_.end(), [terminalId](const KXSTerm *term) {
        return compare_folded(term->terminalId, terminalId) != 0;
    });
    return {first, end};
}

const KXSTerm *KXSTermIndex::find(const char *terminalId) const
{
    if (auto same = all_with(terminalId); !same.empty())
        return same.front();
    // An identifier stored whole, as the terminal reports itself
    // ("IEEE802.080020f8a2b1"), names the first terminal of that model and
    // ID: the short ID may recur with other models, on this server or
    // another member.
    const char *dot = strrchr(terminalId, '.');
    if (!dot)
        return nullptr;
    const std::string_view model(terminalId, static_cast<std::size_t>(dot - terminalId));
    for (const KXSTerm *term : all_with(dot + 1))
        if (term->model && equal_folded(term->model, model))
            return term;
    return nullptr;
}

}  // namespace kx
