// The product's DHCP summary: the addresses still available per network.
#include "described.h"
#include "section.h"

namespace kxsmon {
namespace {

namespace field = kxfigures::dhcp;

std::string text_of(KXSDHCPEntry *const *list, std::size_t width)
{
    if (!*list)
        return "  no DHCP network\n";
    Table table({"~NETWORK", ">AVAILABLE"});
    for (KXSDHCPEntry *const *e = list; *e; ++e)
        table.row({(*e)->name ? printable((*e)->name) : "-",
                   count_text(field::available.read(**e))});
    return table.str(width);
}

Prom prom_of(KXSDHCPEntry *const *list)
{
    Prom prom;
    prom.gauge("kxsmon_dhcp_available_addresses", "Addresses the DHCP service can still give, per network.");
    for (KXSDHCPEntry *const *e = list; *e; ++e)
        if (const kxfigures::Value available = field::available.read(**e); available.known)
            prom.sample("kxsmon_dhcp_available_addresses",
                        {{"network", (*e)->name ? (*e)->name : ""}}, available.number);
    return prom;
}

Result run(KXSHandle *handle, const Request &request)
{
    KXSDHCPEntry **list = kxs_DHCP(handle);
    const char *why = "the DHCP summary tool could not be run, or failed";
    Result r = answer(Outcome::of(handle), list, why, [&] {
        return known(text_of(list, request.width), json_records(list, field::all), prom_of(list));
    });
    kxs_freeDHCP(handle, list);
    return r;
}

}  // namespace

const Section kDhcpSection = {"dhcp", "DHCP", "  dhcp                 addresses available per DHCP network\n", false,
                              run};

}  // namespace kxsmon
