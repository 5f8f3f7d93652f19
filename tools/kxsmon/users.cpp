// The users this server serves and the desktop units its authentication
// manager knows. Both queries give 0 also when the manager cannot be asked.
#include "section.h"

namespace kxsmon {
namespace {

Result count(int64_t n, const char *metric, const char *help)
{
    Result r;
    r.text = "  " + std::to_string(n) + "\n";
    r.json = Json::number(n);
    r.prom.gauge(metric, help);
    r.prom.sample(metric, n);
    return r;
}

Result users(KXSHandle *handle, const Request &)
{
    return count(kxs_users(handle), "kxsmon_users",
                 "Users this server serves: its units, a multihead group counted once.");
}

Result desktops(KXSHandle *handle, const Request &)
{
    return count(kxs_desktops(handle), "kxsmon_desktops",
                 "Desktop units this server's authentication manager knows.");
}

}  // namespace

const Section kUsersSection = {"users", "Users",
                               "  users                users served (a multihead group counts once)\n", false,
                               users};
const Section kDesktopsSection = {"desktops", "Desktops",
                                  "  desktops             desktop units the authentication manager knows\n",
                                  false, desktops};

}  // namespace kxsmon
