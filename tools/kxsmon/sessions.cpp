// The user sessions of this server: those not idling, and of them those a
// desktop unit shows now.
#include "described.h"
#include "section.h"

namespace kxsmon {
namespace {

using kxfigures::queries::active_sessions;
using kxfigures::queries::total_sessions;

Prom prom_of(const kxfigures::Value &total, const kxfigures::Value &active)
{
    Prom prom;
    prom.gauge("kxsmon_sessions", "User sessions that are not idling.");
    if (total.known)
        prom.sample("kxsmon_sessions", total.number);
    prom.gauge("kxsmon_active_sessions", "User sessions that a desktop unit shows now.");
    if (active.known)
        prom.sample("kxsmon_active_sessions", active.number);
    return prom;
}

Json json_of(const kxfigures::Value &total, const kxfigures::Value &active)
{
    Json counts = Json::object();
    set_member(counts, total_sessions.key, total_sessions.kind, total);
    set_member(counts, active_sessions.key, active_sessions.kind, active);
    return counts;
}

Result run(KXSHandle *handle, const Request &)
{
    // The counts give 0 on failure too: the refresh and the outcomes tell.
    const bool counted = kxs_countSessions(handle) == 0;
    Outcome outcome = Outcome::of(handle);
    const kxfigures::Value total = total_sessions.read(*handle);
    outcome.add(handle);
    const kxfigures::Value active = active_sessions.read(*handle);
    outcome.add(handle);
    return answer(outcome, counted, "the sessions could not be counted", [&] {
        return known(fields({{"Total", count_text(total)}, {"Active", count_text(active)}}),
                     json_of(total, active), prom_of(total, active));
    });
}

}  // namespace

const Section kSessionsSection = {"sessions", "Sessions",
                                  "  sessions             user sessions: not idling, and shown on a unit\n",
                                  false, run};

}  // namespace kxsmon
