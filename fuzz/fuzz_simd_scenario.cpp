// The simulated server's scenario file, and the replies rendered from it.
#include "scenario.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string error;
    auto scenario = kxsim::parse_scenario(text, error);
    if (!scenario)
        return 0;
    std::string all = kxsim::gstatus_reply(*scenario);
    for (const auto &host : scenario->hosts)
        all += kxsim::status_reply(host) + kxsim::amstatus_reply(host) + kxsim::smstatus_reply(host);
    all += kxsim::dhcp_tool(*scenario) + kxsim::replica_tool(*scenario) +
           kxsim::remote_command_tool(*scenario);
    return 0;
}
