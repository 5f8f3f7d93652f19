// A whole "gstatus" reply, line by line, as the client reads it.
#include "group_mgr.h"
#include "exchange.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const kx::DaemonClient client{"fuzz", "b", false, false, "svc", 1, false,
                                         kx::Opener::Plain};
    kx::HostList *list = nullptr;
    kx::GstatusReader reader(&list);
    kx::LineAssembler lines(client.name);
    std::string reply(reinterpret_cast<const char *>(data), size);
    bool dropped = !lines.feed(reply.data(), reply.size(),
                               [&](std::string_view line) { return reader.line(line.data()); });
    if (!dropped)
        reader.finish();
    int hosts = 0;
    for (kx::HostList *node = list; node; node = node->next) {
        if (++hosts > kx::kMaxGroupMembers)
            __builtin_trap();
        const kx::gm_hostinfo *info = node->host->info;
        if (info->numifs < 0 || info->numifs > kx::kMaxHostInterfaces ||
            (info->numifs > 0) != (info->interfaces != nullptr))
            __builtin_trap();
    }
    kx::free_HostList(list);
    return 0;
}
