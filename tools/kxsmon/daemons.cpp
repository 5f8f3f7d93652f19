// The state of every configured daemon.
#include "section.h"
#include "states.h"

namespace kxsmon {
namespace {

// Every state, "unknown" too, is a series of the state metric.
const std::vector<std::string> kStates = [] {
    std::vector<std::string> all = kxfigures::daemon_states().words();
    all.emplace_back(kxfigures::daemon_states().otherwise.word);
    return all;
}();

std::string state_word(int32_t status)
{
    return kxfigures::daemon_states().of(status).word;
}

std::string text_of(KXSDaemon *const *daemons, const Request &request)
{
    if (!*daemons)
        return "  no daemon configured\n";
    Table table({"NAME", "STATE", ">PROCS", "STARTED", "CHANGED", "~DESCRIPTION"});
    for (KXSDaemon *const *d = daemons; *d; ++d)
        table.row({printable((*d)->name), state_word((*d)->status), std::to_string((*d)->instances),
                   when((*d)->stime, request.now, request.full), when((*d)->changetm, request.now, request.full),
                   printable((*d)->description)});
    return table.str(request.width);
}

Json json_of(KXSDaemon *const *daemons)
{
    Json list = Json::array();
    for (KXSDaemon *const *d = daemons; *d; ++d)
        list.push(Json::object()
                      .set("name", Json::text((*d)->name))
                      .set("state", Json::text(state_word((*d)->status)))
                      .set("status", Json::number((*d)->status))
                      .set("instances", Json::number((*d)->instances))
                      .set("stime", Json::number((*d)->stime))
                      .set("changetm", Json::number((*d)->changetm))
                      .set("description", Json::text((*d)->description)));
    return list;
}

// A time the daemon has not got (no process runs, no change seen) is left
// out rather than given as 0.
void times_of(Prom &prom, KXSDaemon *const *daemons, const std::string &metric, uint32_t KXSDaemon::*time,
              const std::string &help)
{
    prom.gauge(metric, help);
    for (KXSDaemon *const *d = daemons; *d; ++d)
        if ((*d)->*time)
            prom.sample(metric, {{"daemon", (*d)->name}}, (*d)->*time);
}

Prom prom_of(KXSDaemon *const *daemons)
{
    Prom prom;
    prom.gauge("kxsmon_daemon_state", "State of a configured daemon: 1 for the state it is in.");
    for (KXSDaemon *const *d = daemons; *d; ++d)
        prom.states("kxsmon_daemon_state", {{"daemon", (*d)->name}}, kStates, state_word((*d)->status));
    prom.gauge("kxsmon_daemon_processes", "Number of a daemon's processes.");
    for (KXSDaemon *const *d = daemons; *d; ++d)
        prom.sample("kxsmon_daemon_processes", {{"daemon", (*d)->name}}, (*d)->instances);
    times_of(prom, daemons, "kxsmon_daemon_start_time_seconds", &KXSDaemon::stime,
             "Earliest start of a daemon's running processes, seconds since the epoch.");
    times_of(prom, daemons, "kxsmon_daemon_last_change_time_seconds", &KXSDaemon::changetm,
             "Last change of a daemon's state, seconds since the epoch.");
    return prom;
}

Result run(KXSHandle *handle, const Request &request)
{
    KXSDaemon **daemons = kxs_daemons(handle);
    Result r = answer(Outcome::of(handle), daemons, "the daemons could not be listed", [&] {
        return known(text_of(daemons, request), json_of(daemons), prom_of(daemons));
    });
    kxs_freeDaemons(handle, daemons);
    return r;
}

}  // namespace

const Section kDaemonsSection = {"daemons", "Daemons", "  daemons              state of every configured daemon\n",
                                 false, run};

}  // namespace kxsmon
