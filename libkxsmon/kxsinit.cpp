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

namespace kx {

void report_boundary_failure(const char *function, const char *what) noexcept
{
    dprintf("%s(): failed: %s\n", function, what);
}

void store_outcome(KXSHandle *handle, const QueryStatus &status) noexcept
{
    handle->lastError = status.code();
    try {
        handle->lastErrorText = status.text();
    } catch (...) {
        // The text could not be made: the code still tells.
        handle->lastErrorText.clear();
        if (handle->lastError == KXS_OK)
            handle->lastError = KXS_ENOMEM;
    }
}

namespace {

void free_handle(KXSHandle *handle);

KXSHandle *init_handle()
{
    dlprintf("s", "kxs_init: entered\n");
    auto *handle = new (std::nothrow) KXSHandle();
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
        free_handle(handle);
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

void free_handle(KXSHandle *handle)
{
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
    delete handle;
}

int32_t set_product_root(const char *dir)
{
    if (set_root(dir) != 0)
        return -1;
    // The message catalogue lives under the root too.
    kx_err2str_init();
    return 0;
}

}  // namespace

}  // namespace kx

KXS_EXPORT KXSHandle *kxs_init() noexcept
{
    return kx::c_boundary("kxs_init", static_cast<KXSHandle *>(nullptr), kx::init_handle);
}

KXS_EXPORT void kxs_freeHandle(KXSHandle *handle) noexcept
{
    kx::c_boundary("kxs_freeHandle", 0, [handle] {
        kx::free_handle(handle);
        return 0;
    });
}

KXS_EXPORT int kxs_lastError(KXSHandle *handle) noexcept
{
    return handle ? handle->lastError : KXS_EINVAL;
}

KXS_EXPORT const char *kxs_lastErrorText(KXSHandle *handle) noexcept
{
    return handle ? handle->lastErrorText.c_str() : "no handle";
}

KXS_EXPORT int32_t kxs_setRoot(const char *dir) noexcept
{
    return kx::c_boundary("kxs_setRoot", -1, [dir] { return kx::set_product_root(dir); });
}
