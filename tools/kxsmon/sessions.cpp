// The user sessions of this server: those not idling, and of them those a
// desktop unit shows now.
#include "section.h"

namespace kxsmon {
namespace {

Result run(KXSHandle *handle, const Request &)
{
    // The two counts give 0 on failure too: only the refresh tells.
    if (kxs_countSessions(handle) != 0)
        return failure("the sessions could not be counted");
    const int32_t total = kxs_totalSessions(handle);
    const int32_t active = kxs_sessions(handle);
    Result r;
    r.text = fields({{"Total", std::to_string(total)}, {"Active", std::to_string(active)}});
    r.json = Json::object().set("total", Json::number(total)).set("active", Json::number(active));
    r.prom.gauge("kxsmon_sessions", "User sessions that are not idling.");
    r.prom.sample("kxsmon_sessions", total);
    r.prom.gauge("kxsmon_active_sessions", "User sessions that a desktop unit shows now.");
    r.prom.sample("kxsmon_active_sessions", active);
    return r;
}

}  // namespace

const Section kSessionsSection = {"sessions", "Sessions",
                                  "  sessions             user sessions: not idling, and shown on a unit\n",
                                  false, run};

}  // namespace kxsmon
