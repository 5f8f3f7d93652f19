// The agent's readers of the stored limit and of the monitored table.
#include "datafiles.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#include "kxsmon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);

    // A limit read back is the number its digits spell.
    if (auto limit = kxagent::parse_limit(text);
        limit && std::stoull(std::string(text.substr(0, text.find('\n')))) != *limit)
        abort();

    size_t bytes = 0;
    const auto ids = kxagent::monitored_ids(text);
    for (const std::string &id : ids)
        bytes += id.size();
    if (ids.size() > KXS_MAX_MONITORED_DTUS || bytes > size)
        abort();
    return 0;
}
