// The services file and the monitored-terminal file, as read by kxs_init.
#include "kxsdesktop.h"
#include "kxsinit.h"
#include "kxsservices.h"
#include "utils.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string make_root()
{
    // libFuzzer ends the process without running exit handlers: the root is
    // left in the temporary directory, which the fuzzing script points at
    // its build tree.
    std::string pattern = (std::filesystem::temp_directory_path() / "kxs-fuzz-services.XXXXXX").string();
    char *dir = mkdtemp(pattern.data());
    if (!dir)
        abort();
    std::filesystem::create_directories(std::string(dir) + "/etc/opt/ZARNkx");
    std::filesystem::create_directories(std::string(dir) + "/var/opt/ZARNkx/snmp");
    kx::set_root(dir);
    kx::set_diagnostic_sink([](int, const std::string &) {});
    return dir;
}

void put(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    fwrite(data, 1, size, f);
    fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string root = make_root();
    put(root + kx::kServicesPath, data, size);
    put(root + kx::kMonitoredPath, data, size);

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
