// The table of sections: the report prints them in this order, and each is a
// command of its own. A new query is a file beside these and one entry here.
#include "section.h"

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

}  // namespace kxsmon
