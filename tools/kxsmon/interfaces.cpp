// This server's network interfaces as its failover group sees them.
#include "described.h"
#include "section.h"

namespace kxsmon {
namespace {

const std::vector<std::string> kStates = kxfigures::link_states().words();

namespace field = kxfigures::interfaces;

std::string state_word(const KXSInterface &i)
{
    return word_of(field::state.read(i));
}

// The age of the last packet, from hundredths of a second.
std::string last_packet(uint32_t hundredths)
{
    if (hundredths == 0)
        return "-";
    return age(hundredths / 100) + " ago";
}

std::string text_of(KXSInterface *const *list, const Request &request)
{
    if (!*list)
        return "  no interface listed for this server\n";
    Table table({"NAME", "ADDRESS", "NETMASK", "STATE", ">LAST PACKET", "TYPE"});
    for (KXSInterface *const *i = list; *i; ++i)
        table.row({printable((*i)->name), printable((*i)->ipaddr), printable((*i)->netmask),
                   state_word(**i), last_packet((*i)->lastpkt), printable((*i)->type)});
    return table.str(request.width);
}

// An interface is named by its name alone: its address may change, and
// goes in the info.
Prom prom_of(KXSInterface *const *list, time_t now)
{
    const auto name = [](const KXSInterface &i) { return Labels{{"interface", i.name ? i.name : ""}}; };
    Prom prom;
    prom.gauge("kxsmon_interface_info", "A network interface's address, netmask and type (always 1).");
    for (KXSInterface *const *i = list; *i; ++i) {
        Labels labels = name(**i);
        labels.insert(labels.end(), {{"address", (*i)->ipaddr ? (*i)->ipaddr : ""},
                                     {"netmask", (*i)->netmask ? (*i)->netmask : ""},
                                     {"type", (*i)->type ? (*i)->type : ""}});
        prom.sample("kxsmon_interface_info", labels, 1);
    }
    prom.gauge("kxsmon_interface_state", "State of a network interface: 1 for the state it is in.");
    for (KXSInterface *const *i = list; *i; ++i)
        prom.states("kxsmon_interface_state", name(**i), kStates, state_word(**i));
    // No age (0) when the group manager reports the interface down.
    prom.gauge("kxsmon_interface_last_packet_time_seconds",
               "When the group manager last saw a packet on an interface, seconds since the epoch.");
    for (KXSInterface *const *i = list; *i; ++i)
        if ((*i)->lastpkt)
            prom.sample_real("kxsmon_interface_last_packet_time_seconds", name(**i),
                             static_cast<double>(now) - (*i)->lastpkt / 100.0);
    return prom;
}

Result run(KXSHandle *handle, const Request &request)
{
    KXSInterface **list = kxs_interfaces(handle);
    const char *why =
        "the group manager could not be asked, or does not list this host by its host name";
    Result r = answer(Outcome::of(handle), list, why, [&] {
        return known(text_of(list, request), json_records(list, field::all),
                     prom_of(list, request.now));
    });
    kxs_freeInterfaces(handle, list);
    return r;
}

}  // namespace

const Section kInterfacesSection = {"interfaces", "Interfaces",
                                    "  interfaces           this server's network interfaces\n", false, run};

}  // namespace kxsmon
