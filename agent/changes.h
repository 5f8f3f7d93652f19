// The changes that SNMP sets make: the contact, the unowned limit and the
// monitored table. Each is a local write (a data file under the product's
// snmp directory), made on a handle that asks no daemon, so that a set is
// carried out at once and its answer says whether it was made.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kxsmon.h"

namespace kxagent {

enum class ChangeKind { Contact, UnownedLimit, AddMonitored, DeleteMonitored };

struct Change {
    ChangeKind kind = ChangeKind::Contact;
    std::string text;     // contact or terminal ID
    uint32_t number = 0;  // unowned limit
};

// Whether the handle's monitored table holds `id`, without regard to case.
bool monitored_in(const KXSHandle *handle, const std::string &id);

// Makes `change` on `handle` (and in `limit`, the limit in force) and
// stores it. True when made: `undo` is then the change that reverses it, or
// nothing when nothing changed. False when it could not be stored: the
// handle then holds what the files hold, and nothing changed.
bool make_change(KXSHandle *handle, uint32_t &limit, const Change &change, std::optional<Change> &undo);

}  // namespace kxagent
