// The terminal status list: every terminal that a server's authentication
// manager serves ("status"), or the terminals of every live server of the
// failover group, ordered by terminal identifier.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "exchange.h"

namespace kx {

class Handle;

struct HostList;

struct KXSTermSegment;

struct KXSTerm {
    char *terminalId;    // after the last "." of the reply's terminalId
    char *terminalCID;   // or NULL
    char *serverName;    // the host that reported the terminal
    char *terminalIPA;
    char *model;         // before the last "." of the reply's terminalId; "" without one
    char *firmware;      // or NULL
    uint32_t terminalConnectTime;
    uint32_t terminalPackets;
    uint32_t terminalLostPackets;
    float lossPercent;   // lost * 100 / (packets + lost); 0 when both are 0
    KXSTerm *next;
    // The head's only: the storage of every record of the list, released
    // with it. A list is released whole, from its head.
    KXSTermSegment *storage;
    // The head's only: what copies of the texts of every record take, those
    // behind the record in one piece and each of the others on its own.
    std::size_t copiedTextBytes;
    uint32_t bytes;  // the record's with its texts behind it
};

// The texts laid out behind a record, in one piece.
inline std::string_view texts_behind(const KXSTerm *term)
{
    return {reinterpret_cast<const char *>(term) + sizeof(KXSTerm), term->bytes - sizeof(KXSTerm)};
}

// Whether `text` lies among them (a list's shared server name does not).
inline bool lies_behind(const KXSTerm *term, const char *text)
{
    const std::string_view behind = texts_behind(term);
    const auto at = reinterpret_cast<std::uintptr_t>(text);
    const auto begin = reinterpret_cast<std::uintptr_t>(behind.data());
    return at >= begin && at - begin < behind.size();
}

// Where a list's records are laid out as they are parsed, each record
// followed by its texts: segments of memory chained one to the next, so that
// a list of n terminals costs a few dozen allocations rather than n, and is
// released in one walk of the chain.
class KXSTermStore {
public:
    KXSTermStore() = default;
    KXSTermStore(KXSTermStore &&other) noexcept;
    KXSTermStore &operator=(KXSTermStore &&) = delete;
    KXSTermStore(const KXSTermStore &) = delete;
    ~KXSTermStore();
    // At least `bytes` free bytes from the returned place on, in the current
    // segment or a fresh one. Nothing is taken until commit.
    char *room(std::size_t bytes);
    // The end of the current segment's room, or nullptr before any.
    const char *limit() const { return limit_; }
    // Takes everything up to `end` (in the current segment).
    void commit(const char *end);
    // Hands the whole chain over; the store is left empty.
    KXSTermSegment *take();
    // Releases a chain that take() handed over.
    static void release(KXSTermSegment *chain);

private:
    KXSTermSegment *first_ = nullptr;
    KXSTermSegment *last_ = nullptr;
    char *free_ = nullptr;   // the first byte not taken
    char *limit_ = nullptr;  // the end of the current segment's room
};

// The order of a terminal: its identifier's first 16 bytes lower-cased,
// big-endian (a shorter one padded with NULs, which no identifier holds, so
// comparing the words is comparing the texts).
struct KXSTermKey {
    uint64_t high, low;
    KXSTerm *term;
};

// Terminals parsed but not yet linked, in the order they were added, each
// laid out with its texts in the list's store and its key computed once.
// kxs_link_list orders them at once (a stable sort on the keys), so a reply
// of n terminals costs O(n log n) rather than an insertion walk per terminal.
// One reply or block is parsed into a list at a time: an open block holds
// the free end of its store.
struct KXSTermList {
    KXSTermStore store;
    std::vector<KXSTermKey> keys;
    const char *serverName = nullptr;  // given to every record parsed into the list
    const char *storedServerName = nullptr;  // its copy in the store, made once
    std::size_t copiedTextBytes = 0;         // of its records, as KXSTerm has it
    KXSTermList() = default;
    // Leaves `other` empty.
    KXSTermList(KXSTermList &&other) noexcept
        : store(std::move(other.store)), keys(std::exchange(other.keys, {})),
          serverName(other.serverName),
          storedServerName(std::exchange(other.storedServerName, nullptr)),
          copiedTextBytes(std::exchange(other.copiedTextBytes, 0))
    {
    }
    KXSTermList(const KXSTermList &) = delete;
    KXSTermList &operator=(const KXSTermList &) = delete;
    std::size_t size() const { return keys.size(); }
};

// The records of a group's replies that a query for some terminals can still
// report, told as each record is parsed: the first record of each
// identifier from each member, and only while no member earlier in the
// group's order has given one. So a query holds at most identifiers x
// members records, however many terminals the members serve, and
// KXSTermIndex::find over what it kept gives what it gives over the whole
// merged list. Identifiers match as find matches them: the short one, or
// "MODEL.ID" whole, without regard to case.
class KXSWantedTerms {
public:
    explicit KXSWantedTerms(const std::vector<const char *> &terminalIds);
    // Whether to keep the record of `member` (its place in the group's
    // order) whose reply identifier is `wholeId`, `shortId` after its last
    // ".". A member's records must come in reply order.
    bool keep(std::size_t member, std::string_view wholeId, std::string_view shortId);

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view key) const
        {
            return std::hash<std::string_view>{}(key);
        }
    };
    // Whether `id` is wanted and `member` gives it first so far.
    bool take(std::size_t member, std::string_view id);

    std::unordered_map<std::string, std::size_t, Hash, std::equal_to<>> slots_;  // folded ID
    std::vector<std::size_t> firstMember_;  // by slot: the earliest member that gave one
    std::size_t longest_ = 0;
    bool anyWhole_ = false;  // some identifier names its model
    std::string folded_;     // the identifier looked up, folded
};

// Asks the authentication manager on `host`, done by `deadline`. *count
// gets the number of terminals, or -1 when the exchange failed. Only
// terminals whose short identifier contains `filter` are kept when it is
// given, and only those that `wanted` keeps when it is given.
KXSTerm *kxs_get_current_list(Handle *handle, const char *host, int *count, const char *filter,
                              Deadline deadline = kNoDeadline, KXSWantedTerms *wanted = nullptr);
// The terminals of every trusted host of `hosts` that has not timed out, in
// list order; at most kMaxGroupMembers hosts are asked, all at once and
// within kGroupQueryMs (group_mgr.h). With `wanted`, only the terminals that
// it keeps.
KXSTerm *kxs_get_currentHA_list(Handle *handle, HostList *hosts,
                                KXSWantedTerms *wanted = nullptr);

// A "status" reply parsed into `list` as it is read (ask_daemon).
std::unique_ptr<ReplySink> kxs_term_reply(KXSTermList &list, const char *filter);
void kxs_parse_entry(Handle *handle, KXSTermList &list, const char *blockText, const char *filter);
// Adds a terminal with copies of the texts (NULL stays NULL).
void kxs_add_to_linked_list(Handle *handle, KXSTermList &list, const char *terminalId,
                            const char *terminalCID, const char *terminalIPA,
                            const char *serverName, const char *model, const char *firmware,
                            uint32_t terminalConnectTime, uint32_t terminalPackets,
                            uint32_t terminalLostPackets);
// Orders the terminals ascending by identifier without regard to case, equal
// identifiers in the order added, and links them; the list is left empty.
KXSTerm *kxs_link_list(KXSTermList &list);
// The same over several lists at once: equal identifiers in the order of
// the lists, then in the order added.
KXSTerm *kxs_link_lists(std::vector<KXSTermList> &lists);
// Releases every terminal and sets *list to NULL.
void kxs_free_linked_list(Handle *handle, KXSTerm **list);

char *kxs_get_model(const char *terminalId);
char *get_short_terminal_id(const char *terminalId);
// No packets and connected for at least `limit` seconds.
inline bool kxs_term_unowned(const KXSTerm *term, uint32_t limit)
{
    return term && term->terminalPackets == 0 && term->terminalConnectTime >= limit;
}

// The first terminal of a list for each identifier, compared without regard
// to case. Built once in one walk, so that matching many identifiers against
// a long list costs one binary search each instead of a walk of the list. An
// identifier that no terminal has may name one whole, "MODEL.ID": the first
// terminal in list order whose short identifier and model both match. The
// list must outlive the index.
class KXSTermIndex {
public:
    explicit KXSTermIndex(const KXSTerm *list);
    // NULL when no terminal of the list has the identifier.
    const KXSTerm *find(const char *terminalId) const;

private:
    // The terminals with the short identifier, in list order.
    std::span<const KXSTerm *const> all_with(const char *terminalId) const;

    std::vector<const KXSTerm *> terms_;  // by identifier, equal ones in list order
};

}  // namespace kx
