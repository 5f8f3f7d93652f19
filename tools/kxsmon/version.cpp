// The product's version and installation date.
#include "section.h"

namespace kxsmon {
namespace {

std::string text_of(const KXSVersion &v)
{
    return fields({{"version", v.version ? printable(v.version) : "-"},
                   {"installed", v.installDate ? printable(v.installDate) : "-"}});
}

Json json_of(const KXSVersion &v)
{
    return Json::object().set("version", Json::text(v.version)).set("installDate", Json::text(v.installDate));
}

void prom_of(const KXSVersion &v, Prom &prom)
{
    prom.gauge("kxsmon_version_info", "The product's version and installation date (always 1).");
    prom.sample("kxsmon_version_info",
                {{"version", v.version ? v.version : ""}, {"install_date", v.installDate ? v.installDate : ""}}, 1);
}

Result run(KXSHandle *handle, const Request &)
{
    KXSVersion *version = kxs_version(handle);
    if (!version)
        return failure("the product's version is not known (no package record?)");
    Result r;
    r.text = text_of(*version);
    r.json = json_of(*version);
    prom_of(*version, r.prom);
    kxs_freeVersion(handle, version);
    return r;
}

}  // namespace

const Section kVersionSection = {"version", "Version", "  version              version and installation date of the product\n",
                                 false, run};

}  // namespace kxsmon
