// The authentication policy, as the policy tool gives it.
#include "described.h"
#include "section.h"

#include <cstdlib>

namespace kxsmon {
namespace {

// The library keeps the leading blank of a command line's options; a
// report shows the text without it and one line per line.
std::string text_of(const std::string &policy)
{
    std::string out;
    std::size_t start = policy.find_first_not_of(' ');
    while (start != std::string::npos && start < policy.size()) {
        const std::size_t end = std::min(policy.find('\n', start), policy.size());
        if (end > start)
            out += "  " + printable(policy.substr(start, end - start).c_str()) + "\n";
        start = end + 1;
    }
    return out.empty() ? "  (empty)\n" : out;
}

Result run(KXSHandle *handle, const Request &)
{
    char *policy = kxs_policy(handle);
    Result r = answer(Outcome::of(handle), policy, "the policy tool could not be run", [&] {
        Prom prom;
        prom.gauge("kxsmon_policy_info", "The authentication policy (always 1).");
        prom.sample("kxsmon_policy_info", {{"policy", policy}}, 1);
        const kxfigures::Field<char> &field = kxfigures::texts::policy;
        return known(text_of(policy), json_value(field.kind, field.read(*policy)), std::move(prom));
    });
    free(policy);
    return r;
}

}  // namespace

const Section kPolicySection = {"policy", "Policy", "  policy               the authentication policy\n", false,
                                run};

}  // namespace kxsmon
