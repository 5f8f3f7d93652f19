// The DHCP summary tool's output, line by line as the query reads it.
#include "kxsdhcp.h"
#include "utils.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string output(reinterpret_cast<const char *>(data), size);
    for (const std::string &line : kx::split_as_fgets(output, kx::kDhcpLineSize)) {
        KXSDHCPEntry *entry = kx::parse_dhcp_line(line.c_str());
        if (!entry)
            continue;
        if (entry->name && (!*entry->name || std::string(entry->name).size() >= line.size()))
            __builtin_trap();
        free(entry->name);
        free(entry);
    }
    return 0;
}
