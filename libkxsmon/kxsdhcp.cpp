#include "kxsdhcp.h"

#include "kxsinit.h"
#include "kxsutil.h"
#include "utils.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kx {

namespace {

// The summary tool under the install root.
std::string dhcp_tool(const char *packageRoot)
{
    return std::string(packageRoot) + "/ZARNkx/lib/kxsdhcpsum";
}

void free_entry(KXSDHCPEntry *entry)
{
    free(entry->name);
    free(entry);
}

void free_entries(KXSDHCPEntry **entries)
{
    free_c_array(entries, free_entry);
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
    CArray<KXSDHCPEntry> entries(free_entry);
    char line[kDhcpLineSize];
    while (fgets(line, sizeof line, stream))
        if (KXSDHCPEntry *entry = parse_dhcp_line(line))
            entries.add(entry);

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

KXSDHCPEntry *parse_dhcp_line(const char *line)
{
    const char *tab = line ? std::strchr(line, '\t') : nullptr;
    if (!tab)
        return nullptr;
    auto *entry = static_cast<KXSDHCPEntry *>(safe_calloc(1, sizeof(KXSDHCPEntry)));
    std::string name(line, tab);
    entry->name = strip_leading_and_trailing_whitespace(name.c_str());
    entry->available = text_to_int32(tab + 1);
    return entry;
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
