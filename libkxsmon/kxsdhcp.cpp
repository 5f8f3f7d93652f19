#include "kxsdhcp.h"

#include "kxsinit.h"
#include "kxsutil.h"
#include "utils.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

namespace {

// The summary tool under the install root.
std::string dhcp_tool(const char *packageRoot)
{
    return std::string(packageRoot) + "/ZARNkx/lib/kxsdhcpsum";
}

// The list, its entries and their names, laid out in one block.
using DhcpRecords = LaidOutArray<KXSDHCPEntry, 1>;
constexpr DhcpRecords::Fields kDhcpTexts{&KXSDHCPEntry::name};

void free_entries(KXSDHCPEntry **entries)
{
    free_laid_out(entries, kDhcpTexts);
}

KXSDHCPEntry **dhcp(Handle *handle)
{
    if (!handle)
        return nullptr;
    if (!handle->packageRoot) {
        note_failure(KXS_ENOTCONFIGURED, "the install root of the product is not known");
        return nullptr;
    }
    const std::string tool = dhcp_tool(handle->packageRoot->c_str());
    FILE *stream = kxs_popen_tool(tool, "2> /dev/null");
    if (!stream) {
        dlprintf("s", "kxs_DHCP(): Could not open pipe to get DHCP information\n");
        return nullptr;
    }
    // Every line is kept: the list grows with the tool's output.
    DhcpRecords entries(kDhcpTexts);
    char line[kDhcpLineSize];
    std::string_view name;
    KXSDHCPEntry entry{};
    while (fgets(line, sizeof line, stream))
        if (split_dhcp_line(line, name, entry.available)) {
            // The line buffer is read again: the name is kept until laid out.
            entry.name = name.empty() ? nullptr : entries.keep(name);
            entries.add(entry);
        }

    int status = kxs_safe_pclose(stream);
    int exitCode = 255;
    if (status == -1) {
        int err = errno;
        dlprintf("s", "kxs_DHCP(): kxs_safe_pclose error: %d\n", err);
        errno = err;
        perror("kxs_DHCP");
    } else {
        exitCode = exit_code_of(status);
    }
    if (exitCode != 0) {
        dlprintf("s", "kxs_DHCP(): Could not get DHCP information %d\n", exitCode);
        note_tool_failure(tool, tool_end_text(status));
        return nullptr;
    }
    KXSDHCPEntry **list = entries.take();
    if (!list)
        out_of_memory();
    return list;
}

}  // namespace

bool split_dhcp_line(const char *line, std::string_view &name, int32_t &available)
{
    const char *tab = line ? std::strchr(line, '\t') : nullptr;
    if (!tab)
        return false;
    name = strip_blanks(std::string_view(line, static_cast<std::size_t>(tab - line)));
    available = text_to_int32(tab + 1);
    return true;
}

}  // namespace kx

KXS_EXPORT KXSDHCPEntry **kxs_DHCP(KXSHandle *handle) noexcept
{
    return kx::c_query(handle, "kxs_DHCP", static_cast<KXSDHCPEntry **>(nullptr),
                       kx::FailureResult::AlwaysFailure, kx::dhcp);
}

KXS_EXPORT void kxs_freeDHCP(KXSHandle *handle, KXSDHCPEntry **entries) noexcept
{
    (void)handle;
    kx::c_release("kxs_freeDHCP", [entries] { kx::free_entries(entries); });
}
