#include "kxsinit.h"

#include "admin.h"
#include "admin_error.h"
#include "hostname.h"
#include "kxsdesktop.h"
#include "kxsfog.h"
#include "kxsservices.h"
#include "kxssystem.h"
#include "kxsutil.h"
#include "utils.h"

#include <cerrno>
#include <cstdlib>
#include <string>

KXS_EXPORT KXSHandle *kxs_init() noexcept
{
    using namespace kx;
    dlprintf("s", "kxs_init: entered\n");
    auto *handle = static_cast<KXSHandle *>(calloc(1, sizeof(KXSHandle)));
    if (!handle) {
        kx::dprintf("kxs_init(): KXSHandle allocation failed\n");
        return nullptr;
    }
    dlprintf("s", "kxs_init: handle allocated\n");

    std::string name;
    if (!platform::local_host_name(name)) {
        kx::dprintf("kxs_init(): gethostname failed %d\n", errno);
        handle->hostname = safe_strdup("localhost");
    } else {
        handle->hostname = safe_strdup(name.c_str());
    }

    handle->packageRoot = get_package_root(kCorePackage);
    if (!handle->packageRoot)
        kx::dprintf("kxs_init(): get_package_root failed\n");

    if (!kxs_initServices(handle)) {
        kx::dprintf("kxs_init(): kxs_initServices failed\n");
        kxs_freeHandle(handle);
        return nullptr;
    }
    dlprintf("s", "kxs_init: services added\n");

    // In administration mode, an anonymous read-only directory connection.
    if (kxs_checkAdminMode(handle) == 1) {
        int status = 0;
        handle->connection = open_connection(KXA_ANONYMOUS, nullptr, nullptr, nullptr, &status);
        if (!handle->connection || status == -1)
            kx::dprintf("kxs_init(): Could not connect to admin server\n");
    }

    kxs_initSystemContact(handle);
    kxs_initDTUMonitored(handle);
    return handle;
}

KXS_EXPORT void kxs_freeHandle(KXSHandle *handle) noexcept
{
    using namespace kx;
    if (!handle)
        return;
    if (handle->connection)
        close_connection(static_cast<kxa *>(handle->connection));
    kxs_freeContact(handle);
    kxs_freeServices(handle);
    kxs_freeReplicas(handle);
    kxs_freeDTUMonitored(handle);
    free(handle->hostname);
    free(handle->packageRoot);
    free(handle);
}

KXS_EXPORT int32_t kxs_setRoot(const char *dir) noexcept
{
    if (kx::set_root(dir) != 0)
        return -1;
    // The message catalogue lives under the root too.
    kx::kx_err2str_init();
    return 0;
}
