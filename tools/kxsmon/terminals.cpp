// The terminal tables, as text, JSON and metrics.
#include "terminals.h"

#include <cstdio>

namespace kxsmon {
namespace {

const std::vector<std::string> kStates = {"owned", "absent", "unowned"};

std::string state_word(int32_t state)
{
    return state >= KXS_DTU_OWNED && state <= KXS_DTU_UNOWNED ? kStates[state - 1] : "unknown";
}

std::string field(const char *text)
{
    return text && *text ? printable(text) : "-";
}

std::string loss(float percent)
{
    char text[32];
    snprintf(text, sizeof text, "%.2f%%", static_cast<double>(percent));
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

std::string text_of(KXSDTU *const *dtus, const char *heading)
{
    std::string out = summary(dtus, heading);
    if (!dtus || !*dtus)
        return out;
    Table table({"TERMINAL", "STATE", "ADDRESS", "SERVER", "MODEL", "FIRMWARE", ">PACKETS", ">LOST", ">LOSS",
                 "LOCATION"});
    for (KXSDTU *const *d = dtus; *d; ++d)
        table.row({field((*d)->terminalId), state_word((*d)->state), field((*d)->terminalIPA),
                   field((*d)->serverName), field((*d)->model), field((*d)->firmware),
                   std::to_string((*d)->terminalPackets), std::to_string((*d)->terminalLostPackets),
                   loss((*d)->lossPercent), field((*d)->location)});
    return out + "\n" + table.str();
}

Json json_of(KXSDTU *const *dtus)
{
    Json list = Json::array();
    for (KXSDTU *const *d = dtus; d && *d; ++d)
        list.push(Json::object()
                      .set("terminalId", Json::text((*d)->terminalId))
                      .set("state", Json::text(state_word((*d)->state)))
                      .set("status", Json::number((*d)->state))
                      .set("terminalIPA", Json::text((*d)->terminalIPA))
                      .set("serverName", Json::text((*d)->serverName))
                      .set("model", Json::text((*d)->model))
                      .set("firmware", Json::text((*d)->firmware))
                      .set("terminalPackets", Json::number((*d)->terminalPackets))
                      .set("terminalLostPackets", Json::number((*d)->terminalLostPackets))
                      .set("lossPercent", Json::decimal((*d)->lossPercent))
                      .set("location", Json::text((*d)->location))
                      .set("otherInfo", Json::text((*d)->otherInfo)));
    return list;
}

Labels labels_of(const KXSDTU &dtu)
{
    return {{"terminal", dtu.terminalId ? dtu.terminalId : ""}, {"model", dtu.model ? dtu.model : ""}};
}

Prom prom_of(KXSDTU *const *dtus, const std::string &metric)
{
    Prom prom;
    int64_t all = 0;
    for (KXSDTU *const *d = dtus; d && *d; ++d)
        ++all;
    prom.gauge(metric + "s", "Number of terminals in the table.");
    prom.sample(metric + "s", all);
    prom.gauge(metric + "_state", "State of a terminal: 1 for the state it is in.");
    for (KXSDTU *const *d = dtus; d && *d; ++d)
        prom.states(metric + "_state", labels_of(**d), kStates, state_word((*d)->state));
    prom.gauge(metric + "_packets", "Packets a terminal has received.");
    for (KXSDTU *const *d = dtus; d && *d; ++d)
        prom.sample(metric + "_packets", labels_of(**d), (*d)->terminalPackets);
    prom.gauge(metric + "_lost_packets", "Packets a terminal has lost.");
    for (KXSDTU *const *d = dtus; d && *d; ++d)
        prom.sample(metric + "_lost_packets", labels_of(**d), (*d)->terminalLostPackets);
    return prom;
}

}  // namespace

Result terminals_result(KXSDTU *const *dtus, const char *heading, const std::string &metric)
{
    return known(text_of(dtus, heading), json_of(dtus), prom_of(dtus, metric));
}

}  // namespace kxsmon
