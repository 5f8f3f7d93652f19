// The product's DHCP summary: the addresses still available per network.
#include "section.h"

namespace kxsmon {
namespace {

std::string text_of(KXSDHCPEntry *const *list, std::size_t width)
{
    if (!*list)
        return "  no DHCP network\n";
    Table table({"~NETWORK", ">AVAILABLE"});
    for (KXSDHCPEntry *const *e = list; *e; ++e)
        table.row({(*e)->name ? printable((*e)->name) : "-", std::to_string((*e)->available)});
    return table.str(width);
}

Json json_of(KXSDHCPEntry *const *list)
{
    Json out = Json::array();
    for (KXSDHCPEntry *const *e = list; *e; ++e)
        out.push(Json::object().set("name", Json::text((*e)->name)).set("available", Json::number((*e)->available)));
    return out;
}

Prom prom_of(KXSDHCPEntry *const *list)
{
    Prom prom;
    prom.gauge("kxsmon_dhcp_available_addresses", "Addresses the DHCP service can still give, per network.");
    for (KXSDHCPEntry *const *e = list; *e; ++e)
        prom.sample("kxsmon_dhcp_available_addresses", {{"network", (*e)->name ? (*e)->name : ""}},
                    (*e)->available);
    return prom;
}

Result run(KXSHandle *handle, const Request &request)
{
    KXSDHCPEntry **list = kxs_DHCP(handle);
    Result r = answer(Outcome::of(handle), list, "the DHCP summary tool could not be run, or failed",
                      [&] { return known(text_of(list, request.width), json_of(list), prom_of(list)); });
    kxs_freeDHCP(handle, list);
    return r;
}

}  // namespace

const Section kDhcpSection = {"dhcp", "DHCP", "  dhcp                 addresses available per DHCP network\n", false,
                              run};

}  // namespace kxsmon
