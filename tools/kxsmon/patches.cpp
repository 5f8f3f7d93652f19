// The installed product patches.
#include "section.h"

#include <cstdlib>

namespace kxsmon {
namespace {

// The lister's lines, as the library joins them with ", ".
std::vector<std::string> split_list(const std::string &joined)
{
    std::vector<std::string> items;
    std::size_t start = 0;
    while (!joined.empty()) {
        std::size_t end = joined.find(", ", start);
        items.push_back(joined.substr(start, end - start));
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
    return items;
}

std::string text_of(const std::vector<std::string> &patches)
{
    if (patches.empty())
        return "  none\n";
    std::string out;
    for (const std::string &p : patches)
        out += "  " + printable(p.c_str()) + "\n";
    return out;
}

Json json_of(const std::vector<std::string> &patches)
{
    Json list = Json::array();
    for (const std::string &p : patches)
        list.push(Json::text(p));
    return list;
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
    const std::vector<std::string> patches = split_list(listed ? joined : "");
    free(joined);
    return answer(Outcome::of(handle), listed, "the patch lister failed",
                  [&] { return known(text_of(patches), json_of(patches), prom_of(patches)); });
}

}  // namespace

const Section kPatchesSection = {"patches", "Patches", "  patches              installed product patches\n",
                                 false, run};

}  // namespace kxsmon
