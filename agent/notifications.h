// The notifications of KXSMON-MIB: which change of which figure calls for
// which one, and the watcher that finds those changes between two answers
// of a source. The watcher runs on the worker thread; what it finds is
// sent on net-snmp's thread (module.cpp).
//
// A change is a state that an answer holds for a row (a daemon, a member, a
// monitored terminal, an interface, a source) other than the one the last
// answer held for it, the row told by its name (or its terminal ID), not by
// its position. The first answer that holds a row is notified of nothing, so
// neither the agent's start nor a new row sends one. A failed source feeds
// the watcher nothing: the states of its last answer stay, and a change
// across the failure is notified once the source answers again.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "gather.h"
#include "snapshot.h"

namespace kxagent {

// The kinds of notification, each turned off by a keyword of its own.
enum class Kind : unsigned { Daemon, Member, Terminal, Link, Source, Count };
constexpr unsigned kAllKinds = (1u << static_cast<unsigned>(Kind::Count)) - 1;
constexpr unsigned bit(Kind kind)
{
    return 1u << static_cast<unsigned>(kind);
}

struct KindKeyword {
    Kind kind;
    const char *keyword;  // in snmpd.conf or kxsmon-agentx.conf: "KEYWORD no"
};
const std::array<KindKeyword, static_cast<size_t>(Kind::Count)> &kind_keywords();

// An object of a notification as it is sent.
struct Binding {
    Oid oid;  // below the module's root
    Asn type;
    uint32_t number = 0;
    std::string text;
};

struct Notification {
    Subid number;  // kxsNotifications.number
    std::vector<Binding> objects;
};

class Watcher {
public:
    // Notifies only of the kinds in `kinds` (bits of Kind).
    explicit Watcher(unsigned kinds);

    // What the answer `part` of the source that fills `slot` calls for,
    // added to `out`; `partial` when the answer is incomplete, so that the
    // states it cannot vouch for are neither notified nor taken.
    void see(Slot slot, const Part &part, bool partial, std::vector<Notification> &out);

private:
    unsigned kinds_;
    // Per watch: each row's state in the last answer, by the row's name.
    std::vector<std::unordered_map<std::string, uint64_t>> known_;
};

}  // namespace kxagent
