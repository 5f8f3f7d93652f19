// The table of sections: the report prints them in this order, and each is a
// command of its own. A new query is a file beside these and one entry here.
#include "section.h"

#include <cerrno>
#include <cstring>

namespace kxsmon {

const std::vector<Section> &sections()
{
    static const std::vector<Section> table = {
        kVersionSection, kPatchesSection,    kUptimeSection, kSessionsSection, kUsersSection,
        kDesktopsSection, kContactSection,   kPolicySection, kDaemonsSection,  kInterfacesSection,
        kDhcpSection,     kGroupSection,     kMonitoredSection, kExceptionsSection,
    };
    return table;
}

std::string section_name(const std::string &command)
{
    return command == "dtus" ? "monitored" : command;
}

Result failure(std::string error)
{
    Result r;
    r.status = kFailed;
    r.error = std::move(error);
    r.text = "  (failed: " + r.error + ")\n";
    return r;
}

Result misuse(std::string why)
{
    Result r;
    r.status = kUsage;
    r.error = std::move(why);
    return r;
}

Result count_result(int64_t n, const std::string &metric, const std::string &help)
{
    Result r;
    r.text = "  " + std::to_string(n) + "\n";
    r.json = Json::number(n);
    r.prom.gauge(metric, help);
    r.prom.sample(metric, n);
    return r;
}

std::string store_failure(const std::string &what)
{
    const int err = errno;
    return what + " could not be stored: " +
           (err ? strerror(err) : "see the system log (or run with -v)");  // NOLINT(concurrency-mt-unsafe): one thread
}

}  // namespace kxsmon
