// The agent's reader of its stored limit (the monitored table is the
// library's, read with its own files).
#include "datafiles.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);

    // A limit read back is the number its digits spell.
    if (auto limit = kxagent::parse_limit(text);
        limit && std::stoull(std::string(text.substr(0, text.find('\n')))) != *limit)
        abort();
    return 0;
}
