// The terminal status list: every terminal that a server's authentication
// manager serves ("status"), or the terminals of every live server of the
// failover group, ordered by terminal identifier.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ping.h"

struct KXSHandle;

namespace kx {

struct HostList;

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
};

// A terminal parsed but not yet laid out as a KXSTerm: its texts lie in the
// list's text store, and the key it is ordered by is computed once.
struct KXSTermDraft {
    static constexpr uint32_t kAbsent = UINT32_MAX;
    // Offset and length in the store of terminalId, terminalCID, terminalIPA,
    // model and firmware (kAbsent: NULL).
    uint32_t at[5];
    uint32_t length[5];
    const char *serverName;
    uint32_t connectTime, packets, lost;
};

// Terminals in the order they were added. kxs_link_list orders them at once
// (a stable sort on keys computed once), so a reply of n terminals costs
// O(n log n) rather than an insertion walk per terminal, and only then lays
// each out as a KXSTerm, in list order. Each KXSTerm is one allocation, its
// texts laid out behind it: release a record with free() alone
// (kxs_free_linked_list does).
struct KXSTermList {
    std::vector<KXSTermDraft> drafts;
    std::string store;  // the drafts' texts
    const char *serverName = nullptr;  // given to every record parsed into the list
    KXSTermList() = default;
    KXSTermList(const KXSTermList &) = delete;
    KXSTermList &operator=(const KXSTermList &) = delete;
    std::size_t size() const { return drafts.size(); }
};

// Asks the authentication manager on `host`, done by `deadline`. *count
// gets the number of terminals, or -1 when the exchange failed. Only
// terminals whose short identifier contains `filter` are kept when it is
// given.
KXSTerm *kxs_get_current_list(KXSHandle *handle, const char *host, int *count, const char *filter,
                              Deadline deadline = kNoDeadline);
// The terminals of every trusted host of `hosts` that has not timed out, in
// list order; at most kMaxGroupMembers hosts are asked, all at once and
// within kGroupQueryMs (group_mgr.h).
KXSTerm *kxs_get_currentHA_list(KXSHandle *handle, HostList *hosts);

// Framing step: hands each closed record block to kxs_parse_entry.
void kxs_parse_line(KXSHandle *handle, KXSTermList &list, std::string_view line,
                    RecordFramer &framer, const char *filter);
void kxs_parse_entry(KXSHandle *handle, KXSTermList &list, const char *blockText, const char *filter);
// Adds a terminal with copies of the texts (NULL stays NULL).
void kxs_add_to_linked_list(KXSHandle *handle, KXSTermList &list, const char *terminalId,
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
void kxs_free_linked_list(KXSHandle *handle, KXSTerm **list);

char *kxs_get_model(const char *terminalId);
char *get_short_terminal_id(const char *terminalId);
// No packets and connected for at least `limit` seconds.
bool kxs_term_unowned(const KXSTerm *term, uint32_t limit);

// The first terminal of a list for each identifier, compared without regard
// to case. Built once in one walk, so that matching many identifiers against
// a long list costs one binary search each instead of a walk of the list. An
// identifier that no terminal has may name one whole, "MODEL.ID". The list
// must outlive the index.
class KXSTermIndex {
public:
    explicit KXSTermIndex(const KXSTerm *list);
    // NULL when no terminal of the list has the identifier.
    const KXSTerm *find(const char *terminalId) const;

private:
    const KXSTerm *first_with(std::string_view terminalId) const;

    std::vector<const KXSTerm *> terms_;  // by identifier, equal ones in list order
};

}  // namespace kx
