// The terminal tables, as text, JSON and metrics.
#include "terminals.h"

#include <algorithm>
#include <cstdio>

#include "described.h"

namespace kxsmon {
namespace {

const std::vector<std::string> kStates = kxfigures::terminal_states().words();

namespace described = kxfigures::terminals;
using described::reported;

std::string state_word(const KXSDTU &dtu)
{
    return word_of(described::state.read(dtu));
}

// A loss is shown for a terminal reported with packets.
bool has_loss(const KXSDTU &dtu)
{
    return described::loss.read(dtu).known && (dtu.terminalPackets || dtu.terminalLostPackets);
}

std::string field(const char *text)
{
    return text && *text ? printable(text) : "-";
}

std::string figure(const KXSDTU &dtu, uint32_t n)
{
    return reported(dtu) ? std::to_string(n) : "-";
}

std::string loss(const KXSDTU &dtu)
{
    if (!has_loss(dtu))
        return "-";
    char text[32];
    snprintf(text, sizeof text, "%.2f%%", described::loss.read(dtu).percent);
    return text;
}

std::string summary(KXSDTU *const *dtus, const char *heading)
{
    std::size_t counts[4] = {};
    std::size_t all = 0;
    for (KXSDTU *const *d = dtus; d && *d; ++d, ++all)
        ++counts[(*d)->state >= KXS_DTU_OWNED && (*d)->state <= KXS_DTU_UNOWNED ? (*d)->state : 0];
    std::string out = "  " + std::to_string(all) + " " + heading;
    const char *separator = ": ";
    for (std::size_t s = 1; s <= kStates.size(); ++s)
        if (counts[s]) {
            out += separator + std::to_string(counts[s]) + " " + kStates[s - 1];
            separator = ", ";
        }
    return out + "\n";
}

// By default the columns that fit 80 with ordinary values, the server and
// location cut to fit; with -l every figure.
std::string table_of(KXSDTU *const *dtus, const Request &request)
{
    if (!request.full) {
        Table table({"TERMINAL", "STATE", "ADDRESS", "~SERVER", ">LOSS", "~LOCATION"});
        for (KXSDTU *const *d = dtus; *d; ++d)
            table.row({field((*d)->terminalId), state_word(**d), field((*d)->terminalIPA),
                       field((*d)->serverName), loss(**d), field((*d)->location)});
        return table.str(request.width);
    }
    Table table({"TERMINAL", "STATE", "ADDRESS", "SERVER", "MODEL", "FIRMWARE", ">PACKETS", ">LOST", ">LOSS",
                 "LOCATION"});
    for (KXSDTU *const *d = dtus; *d; ++d)
        table.row({field((*d)->terminalId), state_word(**d), field((*d)->terminalIPA),
                   field((*d)->serverName), field((*d)->model), field((*d)->firmware),
                   figure(**d, (*d)->terminalPackets), figure(**d, (*d)->terminalLostPackets),
                   loss(**d), field((*d)->location)});
    return table.str(request.width);
}

std::string text_of(KXSDTU *const *dtus, const char *heading, const Request &request)
{
    std::string out = summary(dtus, heading);
    if (!dtus || !*dtus)
        return out;
    return out + "\n" + table_of(dtus, request);
}

std::ptrdiff_t count(KXSDTU *const *dtus)
{
    KXSDTU *const *end = dtus;
    while (*end)
        ++end;
    return end - dtus;
}

Labels terminal(const KXSDTU &dtu)
{
    return {{"terminal", dtu.terminalId ? dtu.terminalId : ""}};
}

const char *text_or_empty(const char *text)
{
    return text ? text : "";
}

// A terminal is named by its ID alone: what it is and where it is connected
// go in the info, which an absent terminal, whose figures no member gave,
// has not; nor has it packets or a loss. `states` are those a terminal of
// the table can be in.
Prom prom_of(KXSDTU *const *dtus, const std::string &metric, const std::vector<std::string> &states)
{
    Prom prom;
    prom.gauge(metric + "s", "Number of terminals in the table in each state.");
    for (const std::string &state : states)
        prom.sample(metric + "s", {{"state", state}},
                    std::count_if(dtus, dtus + (dtus ? count(dtus) : 0),
                                  [&](const KXSDTU *d) { return state_word(*d) == state; }));
    prom.gauge(metric + "_state", "State of a terminal: 1 for the state it is in.");
    for (KXSDTU *const *d = dtus; d && *d; ++d)
        prom.states(metric + "_state", terminal(**d), states, state_word(**d));
    prom.gauge(metric + "_info", "A reported terminal's model, firmware, address and server (always 1).");
    for (KXSDTU *const *d = dtus; d && *d; ++d)
        if (reported(**d))
            prom.sample(metric + "_info",
                        {terminal(**d)[0], {"model", text_or_empty((*d)->model)},
                         {"firmware", text_or_empty((*d)->firmware)}, {"address", text_or_empty((*d)->terminalIPA)},
                         {"server", text_or_empty((*d)->serverName)}},
                        1);
    prom.counter(metric + "_packets_total", "Packets a reported terminal has received.");
    for (KXSDTU *const *d = dtus; d && *d; ++d)
        if (reported(**d))
            prom.sample(metric + "_packets_total", terminal(**d), (*d)->terminalPackets);
    prom.counter(metric + "_lost_packets_total", "Packets a reported terminal has lost.");
    for (KXSDTU *const *d = dtus; d && *d; ++d)
        if (reported(**d))
            prom.sample(metric + "_lost_packets_total", terminal(**d), (*d)->terminalLostPackets);
    prom.gauge(metric + "_loss_ratio", "Lost packets of a reported terminal, of all its packets (0 to 1).");
    for (KXSDTU *const *d = dtus; d && *d; ++d)
        if (has_loss(**d))
            prom.sample_real(metric + "_loss_ratio", terminal(**d),
                             static_cast<double>((*d)->terminalLostPackets) /
                                 (static_cast<double>((*d)->terminalPackets) + (*d)->terminalLostPackets));
    return prom;
}

}  // namespace

Result terminals_result(KXSDTU *const *dtus, const char *heading, const std::string &metric,
                        const Request &request, bool canBeAbsent)
{
    const std::vector<std::string> states =
        canBeAbsent ? kStates : std::vector<std::string>{kStates[KXS_DTU_OWNED - 1], kStates[KXS_DTU_UNOWNED - 1]};
    return known(text_of(dtus, heading, request), json_records(dtus, described::all),
                 prom_of(dtus, metric, states));
}

}  // namespace kxsmon
