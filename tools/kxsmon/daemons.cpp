// The state of every configured daemon.
#include "described.h"
#include "section.h"

namespace kxsmon {
namespace {

// Every state, "unknown" too, is a series of the state metric.
const std::vector<std::string> kStates = [] {
    std::vector<std::string> all = kxfigures::daemon_states().words();
    all.emplace_back(kxfigures::daemon_states().otherwise.word);
    return all;
}();

namespace field = kxfigures::daemons;

std::string state_word(const KXSDaemon &d)
{
    return word_of(field::state.read(d));
}

std::string text_of(KXSDaemon *const *daemons, const Request &request)
{
    if (!*daemons)
        return "  no daemon configured\n";
    Table table({"NAME", "STATE", ">PROCS", "STARTED", "CHANGED", "~DESCRIPTION"});
    for (KXSDaemon *const *d = daemons; *d; ++d)
        table.row({printable((*d)->name), state_word(**d), count_text(field::instances.read(**d)),
                   when((*d)->stime, request.now, request.full),
                   when((*d)->changetm, request.now, request.full), printable((*d)->description)});
    return table.str(request.width);
}

// A time the daemon has not got (no process runs, no change seen) is left
// out rather than given as 0.
void times_of(Prom &prom, KXSDaemon *const *daemons, const std::string &metric,
              const kxfigures::Field<KXSDaemon> &time, const std::string &help)
{
    prom.gauge(metric, help);
    for (KXSDaemon *const *d = daemons; *d; ++d)
        if (const int64_t seconds = time.read(**d).number)
            prom.sample(metric, {{"daemon", (*d)->name}}, seconds);
}

Prom prom_of(KXSDaemon *const *daemons)
{
    Prom prom;
    prom.gauge("kxsmon_daemon_state", "State of a configured daemon: 1 for the state it is in.");
    for (KXSDaemon *const *d = daemons; *d; ++d)
        prom.states("kxsmon_daemon_state", {{"daemon", (*d)->name}}, kStates, state_word(**d));
    prom.gauge("kxsmon_daemon_processes", "Number of a daemon's processes.");
    for (KXSDaemon *const *d = daemons; *d; ++d)
        if (const kxfigures::Value n = field::instances.read(**d); n.known)
            prom.sample("kxsmon_daemon_processes", {{"daemon", (*d)->name}}, n.number);
    times_of(prom, daemons, "kxsmon_daemon_start_time_seconds", field::start_time,
             "Earliest start of a daemon's running processes, seconds since the epoch.");
    times_of(prom, daemons, "kxsmon_daemon_last_change_time_seconds", field::change_time,
             "Last change of a daemon's state, seconds since the epoch.");
    return prom;
}

Result run(KXSHandle *handle, const Request &request)
{
    KXSDaemon **daemons = kxs_daemons(handle);
    Result r = answer(Outcome::of(handle), daemons, "the daemons could not be listed", [&] {
        return known(text_of(daemons, request), json_records(daemons, field::all),
                     prom_of(daemons));
    });
    kxs_freeDaemons(handle, daemons);
    return r;
}

}  // namespace

const Section kDaemonsSection = {"daemons", "Daemons", "  daemons              state of every configured daemon\n",
                                 false, run};

}  // namespace kxsmon
