// The terminal tables that the monitored and the exceptions sections share:
// one row per terminal with its state, address, server, model, firmware,
// packets, loss and location.
#pragma once

#include "section.h"

namespace kxsmon {

// A result of `dtus`, which may be NULL (then no terminal); `heading` is
// the count's noun ("monitored", "on this server"), `metric` the stem of
// the metric names ("kxsmon_monitored_terminal"), and `canBeAbsent` whether
// the table may hold a terminal that no server reports.
Result terminals_result(KXSDTU *const *dtus, const char *heading, const std::string &metric,
                        const Request &request, bool canBeAbsent);

}  // namespace kxsmon
