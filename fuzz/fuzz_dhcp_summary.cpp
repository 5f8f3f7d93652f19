// The DHCP summary tool's output, line by line as the query reads it.
#include "kxsdhcp.h"
#include "utils.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string output(reinterpret_cast<const char *>(data), size);
    for (const std::string &line : kx::split_as_fgets(output, kx::kDhcpLineSize)) {
        std::string_view name;
        int32_t available = 0;
        if (!kx::split_dhcp_line(line.c_str(), name, available))
            continue;
        // The name lies inside the line, before its tab, and has no blank at either end.
        const char *begin = line.c_str();
        const bool inside = name.data() >= begin && name.data() + name.size() < begin + line.size();
        if (!name.empty() && (!inside || kx::strip_blanks(name).size() != name.size()))
            __builtin_trap();
    }
    return 0;
}
