#include "kxsinterface.h"

#include "group_mgr.h"
#include "kxsinit.h"
#include "lib_gstatus.h"
#include "libif.h"
#include "utils.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kx {

namespace {

// The list, its records and their texts, laid out in one block.
using InterfaceRecords = LaidOutArray<KXSInterface, 4>;
constexpr InterfaceRecords::Fields kInterfaceTexts{&KXSInterface::name, &KXSInterface::ipaddr,
                                                   &KXSInterface::netmask, &KXSInterface::type};

char *dotted(InterfaceRecords &records, uint32_t address)
{
    char text[16];
    if (convert_to_dotted_format(address, text) != 0)
        text[0] = '\0';
    return records.keep(text);
}

// The age in hundredths of a second: 1 for "just now", 0 for "down".
uint32_t last_packet_age(int32_t seconds)
{
    if (seconds < 0)
        return 0;
    if (seconds == 0)
        return 1;
    const auto age = static_cast<uint32_t>(seconds);
    return age > UINT32_MAX / 100 ? UINT32_MAX : age * 100u;  // saturated, never wrapped
}

// The record of `entry`; its name stays the host list's until the records
// are laid out.
KXSInterface interface_of(InterfaceRecords &records, const gm_interface &entry, int32_t period)
{
    KXSInterface record{};
    record.name = const_cast<char *>(entry.ifname);  // the parse ends it within its array
    record.ipaddr = dotted(records, entry.ifipaddr);
    record.netmask = dotted(records, entry.ifnetmask);
    record.lastpkt = last_packet_age(entry.iflastpkt);
    if (entry.iflastpkt < 0) {
        dlprintf("s", "kxs_interfaces(): last packet %d, interface down\n", entry.iflastpkt);
        record.status = KXS_IF_DOWN;
    } else if (isTimedOut(entry.iflastpkt, period)) {
        dlprintf("s", "kxs_interfaces(): last packet %d, interface timeout\n", entry.iflastpkt);
        record.status = KXS_IF_DOWN;
    } else {
        record.status = _check_interface_status(entry.ifname);
    }
    record.type = const_cast<char *>(entry.isLAN == 1 ? "LAN" : "");
    return record;
}

void free_interfaces(KXSInterface **list)
{
    free_laid_out(list, kInterfaceTexts);
}

KXSInterface **host_interfaces(const gm_hostinfo &info)
{
    const int count = info.interfaces ? std::max(info.numifs, 0) : 0;
    InterfaceRecords records(kInterfaceTexts);
    records.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        records.add(interface_of(records, info.interfaces[i], info.period));
    KXSInterface **interfaces = records.take();
    if (!interfaces)
        out_of_memory();
    return interfaces;
}

KXSInterface **interfaces(Handle *handle)
{
    if (!handle)
        return nullptr;
    const char *hostname = handle->hostname.c_str();
    HostList *hosts = get_gm_hosts(hostname, nullptr);
    if (!hosts) {
        dlprintf("s", "kxs_interfaces(): get_gm_hosts returned NULL\n");
        return nullptr;
    }
    KXSInterface **list = nullptr;
    {
        const std::unique_ptr<HostList, void (*)(HostList *)> held(hosts, free_HostList);
        for (HostList *node = hosts; node && !list; node = node->next) {
            const gm_host *host = node->host;
            if (host && host->info && std::strcmp(host->info->name, hostname) == 0)
                list = host_interfaces(*host->info);
        }
    }
    if (!list)
        note_failure(KXS_ENOTCONFIGURED, std::string("the group manager does not list this "
                                                     "server (") +
                                             hostname + ")");
    else if (query_failed())  // a link that could not be told is shown up
        note_partial();
    return list;
}

}  // namespace

int _check_interface_status(const char *ifname)
{
    int flags = get_if_status(ifname);
    if (flags == 0) {
        dlprintf("s", "kxs_interfaces(): get_if_status, interface down\n");
        return KXS_IF_DOWN;
    }
    if (flags < 0)
        dlprintf("s", "kxs_interfaces(): get_if_status returned error\n");
    int32_t link = 0;
    if (get_device_status(ifname, &link) < 0) {
        dlprintf("s", "kxs_interfaces(): get_device_status returned error\n");
        note_failure(KXS_ESYSTEM, std::string("the link of ") + ifname +
                                      " could not be told on this host; shown up");
        return KXS_IF_UP;
    }
    if (link == 0) {
        dlprintf("s", "kxs_interfaces(): get_device_status, data link down\n");
        return KXS_IF_DOWN;
    }
    return KXS_IF_UP;
}

}  // namespace kx

KXS_EXPORT KXSInterface **kxs_interfaces(KXSHandle *handle) noexcept
{
    return kx::c_query(handle, "kxs_interfaces", static_cast<KXSInterface **>(nullptr),
                       kx::FailureResult::AlwaysFailure, kx::interfaces);
}

KXS_EXPORT void kxs_freeInterfaces(KXSHandle *handle, KXSInterface **interfaces) noexcept
{
    (void)handle;
    kx::c_release("kxs_freeInterfaces", [interfaces] { kx::free_interfaces(interfaces); });
}
