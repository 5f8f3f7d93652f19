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

    KXSHandle handle{};
    kx::kxs_initServices(&handle);
    int count = 0;
    for (KXSService **s = handle.services; s && *s; ++s, ++count)
        if (!(*s)->name || !(*s)->procname)
            abort();
    if (handle.services && (count > handle.maxServices - 1 || handle.services[count]))
        abort();
    kx::kxs_freeServices(&handle);

    kx::kxs_initDTUMonitored(&handle);
    if (handle.numMonitoredDTUs > kx::kMaxMonitored)
        abort();
    kx::kxs_freeDTUMonitored(&handle);
    return 0;
}
