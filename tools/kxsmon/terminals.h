// The terminal tables that the monitored and the exceptions sections share:
// one row per terminal with its state, address, server, model, firmware,
// packets, loss and location.
#pragma once

#include "section.h"

namespace kxsmon {

// A result of `dtus`, which may be NULL (then no terminal); `heading` is
// the count's noun ("monitored", "on this server") and `metric` the stem of
// the metric names ("kxsmon_monitored_terminal").
Result terminals_result(KXSDTU *const *dtus, const char *heading, const std::string &metric);

}  // namespace kxsmon
