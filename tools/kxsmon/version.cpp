// The product's version and installation date.
#include "described.h"
#include "section.h"

namespace kxsmon {
namespace {

std::string text_of(const KXSVersion &v)
{
    return fields({{"version", v.version ? printable(v.version) : "-"},
                   {"installed", v.installDate ? printable(v.installDate) : "-"}});
}

Prom prom_of(const KXSVersion &v)
{
    Prom prom;
    prom.gauge("kxsmon_product_info", "The product's version and installation date (always 1).");
    prom.sample("kxsmon_product_info",
                {{"version", v.version ? v.version : ""}, {"install_date", v.installDate ? v.installDate : ""}}, 1);
    return prom;
}

Result run(KXSHandle *handle, const Request &)
{
    KXSVersion *version = kxs_version(handle);
    const char *why = "the product's version is not known (no package record?)";
    Result r = answer(Outcome::of(handle), version, why, [&] {
        return known(text_of(*version), json_record(*version, kxfigures::version::all),
                     prom_of(*version));
    });
    kxs_freeVersion(handle, version);
    return r;
}

}  // namespace

const Section kVersionSection = {"version", "Version", "  version              version and installation date of the product\n",
                                 false, run};

}  // namespace kxsmon
