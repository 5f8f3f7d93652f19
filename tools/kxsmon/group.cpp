// The failover group: each trusted member, its role and its state.
#include "section.h"

namespace kxsmon {
namespace {

const std::vector<std::string> kStates = {"up", "down"};

const std::string &state_word(int32_t status)
{
    return kStates[status == 1 ? 0 : 1];
}

std::string text_of(KXSFOHost *const *list)
{
    if (!*list)
        return "  no trusted member\n";
    Table table({"MEMBER", "ROLE", "STATE"});
    for (KXSFOHost *const *h = list; *h; ++h)
        table.row({printable((*h)->name), printable((*h)->role), state_word((*h)->status)});
    return table.str();
}

Json json_of(KXSFOHost *const *list)
{
    Json out = Json::array();
    for (KXSFOHost *const *h = list; *h; ++h)
        out.push(Json::object()
                     .set("name", Json::text((*h)->name))
                     .set("role", Json::text((*h)->role))
                     .set("state", Json::text(state_word((*h)->status)))
                     .set("status", Json::number((*h)->status)));
    return out;
}

Prom prom_of(KXSFOHost *const *list)
{
    Prom prom;
    prom.gauge("kxsmon_group_member_state", "State of a failover group member: 1 for the state it is in.");
    for (KXSFOHost *const *h = list; *h; ++h)
        prom.states("kxsmon_group_member_state", {{"member", (*h)->name}, {"role", (*h)->role}}, kStates,
                    state_word((*h)->status));
    return prom;
}

Result run(KXSHandle *handle, const Request &)
{
    KXSFOHost **list = kxs_FOGroup(handle);
    Result r = answer(Outcome::of(handle), list, "the group manager could not be asked, or lists no member",
                      [&] { return known(text_of(list), json_of(list), prom_of(list)); });
    kxs_freeFOGroup(handle, list);
    return r;
}

}  // namespace

const Section kGroupSection = {"group", "Failover group", "  group                the failover group's members\n",
                               false, run};

}  // namespace kxsmon
