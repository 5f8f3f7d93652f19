// The services file and the monitored-terminal file, as read by kxs_init.
#include "fuzz_root.h"
#include "kxsdesktop.h"
#include "kxsinit.h"
#include "kxsservices.h"
#include "utils.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string root =
        kxfuzz::make_root("kxs-fuzz-services", {"/etc/opt/ZARNkx", "/var/opt/ZARNkx/snmp"});
    kxfuzz::put(root + kx::kServicesPath, data, size);
    kxfuzz::put(root + kx::kMonitoredPath, data, size);

    kx::Handle handle;
    kx::kxs_initServices(&handle);
    for (const auto &service : handle.services)
        if (!service->name || !service->procname)
            abort();
    kx::kxs_freeServices(&handle);

    kx::kxs_initDTUMonitored(&handle);
    if (handle.monitored.size() > static_cast<std::size_t>(kx::kMaxMonitored))
        abort();
    kx::kxs_freeDTUMonitored(&handle);
    return 0;
}
