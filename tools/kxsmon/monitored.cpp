// The monitored terminals, wherever in the failover group they are
// connected: the table with each terminal's state, a terminal added or
// deleted. The same section answers to "dtus".
#include "terminals.h"

#include <cerrno>

namespace kxsmon {
namespace {

std::string add_failure(const std::string &id)
{
    if (errno == EINVAL)
        return "terminal " + id + " refused: an ID is one line of at most 254 characters";
    if (errno == ENOSPC)
        return "terminal " + id + " refused: the table is full (" +
               std::to_string(KXS_MAX_MONITORED_DTUS) + " terminals)";
    return store_failure("the monitored table");
}

Result change(KXSHandle *handle, const std::vector<std::string> &args)
{
    if (args.size() != 2 || (args[0] != "add" && args[0] != "delete"))
        return misuse("monitored takes nothing, add ID or delete ID");
    errno = 0;
    if (args[0] == "add" && kxs_addDTUMonitored(handle, args[1].c_str()) != 0)
        return refused(handle, add_failure(args[1]));
    if (args[0] == "delete" && kxs_deleteDTUMonitored(handle, args[1].c_str()) != 0)
        return refused(handle, store_failure("the monitored table"));
    return {};
}

Result run(KXSHandle *handle, const Request &request)
{
    if (!request.args.empty()) {
        Result changed = change(handle, request.args);
        if (changed.status != kOk)
            return changed;
    }
    // NULL is also the answer for an empty table.
    KXSDTU **dtus = kxs_DTUMonitored(handle, request.limitSeconds, nullptr);
    Result r = answer(Outcome::of(handle), true, "the monitored terminals could not be had",
                      [&] { return terminals_result(dtus, "monitored", "kxsmon_monitored_terminal", request, true); });
    kxs_freeDTUs(handle, dtus);
    return r;
}

}  // namespace

const Section kMonitoredSection = {"monitored", "Monitored terminals",
                                   "  monitored, dtus      the monitored terminals and their states\n"
                                   "  monitored add ID     monitor the terminal ID\n"
                                   "  monitored delete ID  stop monitoring the terminal ID\n",
                                   true, run};

}  // namespace kxsmon
