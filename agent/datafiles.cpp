#include "datafiles.h"

#include <cerrno>
#include <syslog.h>

#include "kxsdesktop.h"
#include "kxsinit.h"
#include "utils.h"

namespace kxagent {

namespace {

std::string limit_path()
{
    return kx::product_path("/var/opt/ZARNkx/snmp/kxsunownedlimit.data");
}

}  // namespace

std::optional<uint32_t> parse_limit(std::string_view text)
{
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > UINT32_MAX)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

uint32_t read_limit()
{
    const std::string path = limit_path();
    std::string stored;
    if (!kx::read_product_file(path, 64, stored)) {
        if (errno != ENOENT)  // the reader has said why
            syslog(LOG_ERR, "kxsmon agent: %s not read; using %u", path.c_str(), kDefaultUnownedLimit);
        return kDefaultUnownedLimit;
    }
    if (auto limit = parse_limit(stored))
        return *limit;
    syslog(LOG_ERR, "kxsmon agent: %s holds no limit; using %u", path.c_str(), kDefaultUnownedLimit);
    return kDefaultUnownedLimit;
}

bool store_limit(uint32_t limit)
{
    return kx::array_to_file(limit_path().c_str(), {std::to_string(limit) + "\n"}) == 0;
}

std::vector<std::string> monitored_table(const KXSHandle *handle)
{
    return handle ? handle->rep.monitored : std::vector<std::string>{};
}

void reload_monitored(KXSHandle *handle)
{
    kx::kxs_freeDTUMonitored(kx::handle_of(handle));
    kx::kxs_initDTUMonitored(kx::handle_of(handle));
}

}  // namespace kxagent
