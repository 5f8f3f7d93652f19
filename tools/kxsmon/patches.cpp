// The installed product patches.
#include "described.h"
#include "section.h"

#include <cstdlib>

namespace kxsmon {
namespace {

const kxfigures::Field<char> &field = kxfigures::texts::patches;

std::string text_of(const std::vector<std::string> &patches)
{
    if (patches.empty())
        return "  none\n";
    std::string out;
    for (const std::string &p : patches)
        out += "  " + printable(p.c_str()) + "\n";
    return out;
}

Prom prom_of(const std::vector<std::string> &patches)
{
    Prom prom;
    prom.gauge("kxsmon_patches", "Number of installed product patches.");
    prom.sample("kxsmon_patches", static_cast<int64_t>(patches.size()));
    prom.gauge("kxsmon_patch_info", "One installed product patch (always 1).");
    for (const std::string &p : patches)
        prom.sample("kxsmon_patch_info", {{"patch", p}}, 1);
    return prom;
}

Result run(KXSHandle *handle, const Request &)
{
    char *joined = kxs_listPatches(handle);
    const bool listed = joined != nullptr;
    const kxfigures::Value list = listed ? field.read(*joined) : kxfigures::Value{};
    const std::vector<std::string> patches = list_items(list.text);
    Result r = answer(Outcome::of(handle), listed, "the patch lister failed", [&] {
        return known(text_of(patches), json_value(field.kind, list), prom_of(patches));
    });
    free(joined);
    return r;
}

}  // namespace

const Section kPatchesSection = {"patches", "Patches", "  patches              installed product patches\n",
                                 false, run};

}  // namespace kxsmon
