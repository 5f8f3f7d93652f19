// The process table's parsers: a per-process "stat" line, the start time it
// gives, and a raw argument vector.
#include "proctable.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    kx::platform::StatLine line;
    if (kx::platform::parse_stat_line(text, line)) {
        if (line.name.size() > kx::platform::kProcessNameMax)
            __builtin_trap();
        // A start is never before the boot.
        if (kx::platform::start_seconds(1796550779999999999ull, line.startTicks, 100) <
            1796550779u)
            __builtin_trap();
    }
    if (kx::platform::join_arguments(text, kx::platform::kFullArgumentsMax).size() >
        kx::platform::kFullArgumentsMax)
        __builtin_trap();
    return 0;
}
