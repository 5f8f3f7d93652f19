// The user sessions of this server: those not idling, and of them those a
// desktop unit shows now.
#include "section.h"

namespace kxsmon {
namespace {

Prom prom_of(int32_t total, int32_t active)
{
    Prom prom;
    prom.gauge("kxsmon_sessions", "User sessions that are not idling.");
    prom.sample("kxsmon_sessions", total);
    prom.gauge("kxsmon_active_sessions", "User sessions that a desktop unit shows now.");
    prom.sample("kxsmon_active_sessions", active);
    return prom;
}

Result run(KXSHandle *handle, const Request &)
{
    // The counts give 0 on failure too: the refresh and the outcomes tell.
    const bool counted = kxs_countSessions(handle) == 0;
    Outcome outcome = Outcome::of(handle);
    const int32_t total = kxs_totalSessions(handle);
    outcome.add(handle);
    const int32_t active = kxs_sessions(handle);
    outcome.add(handle);
    return answer(outcome, counted, "the sessions could not be counted", [&] {
        return known(fields({{"Total", std::to_string(total)}, {"Active", std::to_string(active)}}),
                     Json::object().set("total", Json::number(total)).set("active", Json::number(active)),
                     prom_of(total, active));
    });
}

}  // namespace

const Section kSessionsSection = {"sessions", "Sessions",
                                  "  sessions             user sessions: not idling, and shown on a unit\n",
                                  false, run};

}  // namespace kxsmon
