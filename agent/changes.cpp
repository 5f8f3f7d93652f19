#include "changes.h"

#include <cstdlib>
#include <memory>

#include <strings.h>
#include <syslog.h>

#include "datafiles.h"

namespace kxagent {

namespace {

void refused(KXSHandle *handle, const char *what)
{
    syslog(LOG_ERR, "kxsmon agent: %s not made: %s", what, kxs_lastErrorText(handle));
}

// A change that could not be stored stays in the handle's memory: it is
// taken back there (the old value stored again, which may fail too, as the
// file still holds it), so that what is served is what the files hold.
bool change_contact(KXSHandle *handle, const std::string &contact, std::optional<Change> &undo)
{
    std::unique_ptr<char, decltype(&free)> old(kxs_contact(handle), free);
    const std::string previous = old ? old.get() : "";
    if (kxs_setContact(handle, contact.c_str()) != 0) {
        refused(handle, "contact change");
        kxs_setContact(handle, previous.c_str());
        return false;
    }
    undo = Change{ChangeKind::Contact, previous};
    return true;
}

// Taken back by the opposite change; a terminal put back goes to the end of
// the table (the order of the rows served is the IDs').
bool change_table(KXSHandle *handle, const std::string &id, bool add, std::optional<Change> &undo)
{
    const bool was = monitored_in(handle, id);
    if ((add ? kxs_addDTUMonitored(handle, id.c_str()) : kxs_deleteDTUMonitored(handle, id.c_str())) != 0) {
        refused(handle, add ? "monitored terminal addition" : "monitored terminal removal");
        if (monitored_in(handle, id) != was) {
            if (was)
                kxs_addDTUMonitored(handle, id.c_str());
            else
                kxs_deleteDTUMonitored(handle, id.c_str());
        }
        return false;
    }
    if (was != add)
        undo = Change{add ? ChangeKind::DeleteMonitored : ChangeKind::AddMonitored, id};
    return true;
}

}  // namespace

bool monitored_in(const KXSHandle *handle, const std::string &id)
{
    for (const std::string &other : monitored_table(handle))
        if (strcasecmp(other.c_str(), id.c_str()) == 0)
            return true;
    return false;
}

bool make_change(KXSHandle *handle, uint32_t &limit, const Change &change, std::optional<Change> &undo)
{
    undo.reset();
    switch (change.kind) {
    case ChangeKind::Contact:
        return change_contact(handle, change.text, undo);
    case ChangeKind::UnownedLimit:
        if (!store_limit(change.number)) {
            syslog(LOG_ERR, "kxsmon agent: unowned limit not stored");
            return false;
        }
        undo = Change{ChangeKind::UnownedLimit, {}, limit};
        limit = change.number;
        return true;
    case ChangeKind::AddMonitored:
    case ChangeKind::DeleteMonitored:
        break;
    }
    return change_table(handle, change.text, change.kind == ChangeKind::AddMonitored, undo);
}

}  // namespace kxagent
