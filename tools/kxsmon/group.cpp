// The failover group: each trusted member, its role and its state.
#include "described.h"
#include "section.h"

namespace kxsmon {
namespace {

const std::vector<std::string> kStates = kxfigures::link_states().words();
// The roles a member may have: a failover changes which one is 1, never the
// series. "unknown" is none of them.
const std::vector<std::string> kRoles = kxfigures::roles().words();

namespace field = kxfigures::members;

std::string state_word(const KXSFOHost &h)
{
    return word_of(field::state.read(h));
}

bool offline(const KXSFOHost &h)
{
    return field::role.read(h).flag;
}

// The role without "offline ".
std::string role_of(const KXSFOHost &h)
{
    return word_of(field::role.read(h));
}

std::string text_of(KXSFOHost *const *list, std::size_t width)
{
    if (!*list)
        return "  no trusted member\n";
    Table table({"~MEMBER", "ROLE", "STATE"});
    for (KXSFOHost *const *h = list; *h; ++h)
        table.row({printable((*h)->name), printable((*h)->role), state_word(**h)});
    return table.str(width);
}

Prom prom_of(KXSFOHost *const *list)
{
    const auto member = [](const KXSFOHost &h) { return Labels{{"member", h.name ? h.name : ""}}; };
    Prom prom;
    prom.gauge("kxsmon_group_member_state", "State of a failover group member: 1 for the state it is in.");
    for (KXSFOHost *const *h = list; *h; ++h)
        prom.states("kxsmon_group_member_state", member(**h), kStates, state_word(**h));
    prom.gauge("kxsmon_group_member_role",
               "Role of a failover group member: 1 for the role it has (none while it is not known).");
    for (KXSFOHost *const *h = list; *h; ++h)
        if (role_of(**h) != "unknown")
            prom.states("kxsmon_group_member_role", member(**h), kRoles, role_of(**h), "role");
    prom.gauge("kxsmon_group_member_offline", "1 when the group manager marks a member offline.");
    for (KXSFOHost *const *h = list; *h; ++h)
        prom.sample("kxsmon_group_member_offline", member(**h), offline(**h));
    return prom;
}

Result run(KXSHandle *handle, const Request &request)
{
    KXSFOHost **list = kxs_FOGroup(handle);
    const char *why = "the group manager could not be asked, or lists no member";
    Result r = answer(Outcome::of(handle), list, why, [&] {
        return known(text_of(list, request.width), json_records(list, field::all), prom_of(list));
    });
    kxs_freeFOGroup(handle, list);
    return r;
}

}  // namespace

const Section kGroupSection = {"group", "Failover group", "  group                the failover group's members\n",
                               false, run};

}  // namespace kxsmon
