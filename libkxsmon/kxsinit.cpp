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

void store_outcome(Handle &handle, const QueryStatus &status) noexcept
{
    handle.lastError = status.code();
    try {
        handle.lastErrorText = status.text();
    } catch (...) {
        // The text could not be made: the code still tells.
        handle.lastErrorText.clear();
        if (handle.lastError == KXS_OK)
            handle.lastError = KXS_ENOMEM;
    }
}

void CloseConnection::operator()(kxa *connection) const
{
    close_connection(connection);
}

Handle::~Handle()
{
    connection.reset();
    kxs_freeContact(this);
    kxs_freeServices(this);
    kxs_freeReplicas(this);
    kxs_freeDTUMonitored(this);
}

namespace {

KXSHandle *init_handle()
{
    dlprintf("s", "kxs_init: entered\n");
    // Released should anything below fail, memory included.
    std::unique_ptr<KXSHandle> exported(new (std::nothrow) KXSHandle());
    if (!exported) {
        kx::dprintf("kxs_init(): KXSHandle allocation failed\n");
        return nullptr;
    }
    dlprintf("s", "kxs_init: handle allocated\n");
    Handle &handle = exported->rep;

    std::string name;
    if (!platform::local_host_name(name))
        kx::dprintf("kxs_init(): gethostname failed %d\n", errno);
    else
        handle.hostname = name;

    if (char *root = get_package_root(kCorePackage)) {
        handle.packageRoot = root;
        free(root);
    } else {
        kx::dprintf("kxs_init(): get_package_root failed\n");
    }

    if (!kxs_initServices(&handle)) {
        kx::dprintf("kxs_init(): kxs_initServices failed\n");
        return nullptr;
    }
    dlprintf("s", "kxs_init: services added\n");

    // In administration mode, an anonymous read-only directory connection.
    if (kxs_checkAdminMode(&handle) == 1) {
        int status = 0;
        handle.connection.reset(open_connection(KXA_ANONYMOUS, nullptr, nullptr, nullptr, &status));
        if (!handle.connection || status == -1)
            kx::dprintf("kxs_init(): Could not connect to admin server\n");
    }

    kxs_initSystemContact(&handle);
    kxs_initDTUMonitored(&handle);
    return exported.release();
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
    kx::c_release("kxs_freeHandle", [handle] { delete handle; });
}

KXS_EXPORT int kxs_lastError(KXSHandle *handle) noexcept
{
    return handle ? handle->rep.lastError : KXS_EINVAL;
}

KXS_EXPORT const char *kxs_lastErrorText(KXSHandle *handle) noexcept
{
    return handle ? handle->rep.lastErrorText.c_str() : "no handle";
}

KXS_EXPORT int32_t kxs_setRoot(const char *dir) noexcept
{
    return kx::c_boundary("kxs_setRoot", -1, [dir] { return kx::set_product_root(dir); });
}
