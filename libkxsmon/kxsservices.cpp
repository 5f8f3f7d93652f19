#include "kxsservices.h"

#include "kxsinit.h"
#include "utils.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace kx {

// ---- check routines ------------------------------------------------------------

namespace {

struct CheckRoutineEntry {
    const char *value;
    KXSCheckRoutine routine;
};

constexpr CheckRoutineEntry kCheckRoutines[] = {
    {"dtlogin", _check_dtlogin},
    {"kxscreventd", _check_kxscreventd},
};

}  // namespace

KXSCheckRoutine find_check_routine(const char *value)
{
    if (!value)
        return nullptr;
    for (const auto &entry : kCheckRoutines)
        if (strcasecmp(entry.value, value) == 0)
            return entry.routine;
    return nullptr;
}

// The display manager is judged by the process named in its pid file. That
// verdict needs the watched-process table of the process scan, which does not
// exist yet: until it does, the routine leaves the service's state alone.
int _check_dtlogin(KXSHandle *, KXSService *)
{
    return 0;
}

int _check_kxscreventd(KXSHandle *, KXSService *service)
{
    service->flags |= KXS_SVC_EXCLUDED;
    return 0;
}

// ---- the services array --------------------------------------------------------

namespace {

constexpr int kInitialSlots = 16;
constexpr int kInitialCapacity = 10;

KXSService *make_service(const char *name, const char *procname, const char *argexp,
                         const char *netname, const char *adminconf, KXSCheckRoutine check, int port,
                         int critical, const char *netcommand, const char *description)
{
    auto *service = static_cast<KXSService *>(calloc(1, sizeof(KXSService)));
    if (!service)
        return nullptr;
    service->name = safe_strdup(name);
    service->procname = procname ? safe_strdup(procname) : service->name;
    service->argexp = safe_strdup(argexp);
    service->netname = safe_strdup(netname);
    service->adminconf = safe_strdup(adminconf);
    service->netcommand = safe_strdup(netcommand);
    service->description = safe_strdup(description);
    service->check = check;
    service->port = port;
    service->flags = static_cast<uint32_t>(critical);
    service->state = service->prevState = KXS_SVC_UNKNOWN;
    return service;
}

void release_service(KXSService *service)
{
    if (service->procname != service->name)
        free(service->procname);
    free(service->name);
    free(service->netname);
    free(service->adminconf);
    free(service->argexp);
    free(service->netcommand);
    free(service->description);
    free(service);
}

}  // namespace

void kxs_addService(KXSHandle *handle, const char *name, const char *procname, const char *argexp,
                    const char *netname, const char *adminconf, KXSCheckRoutine check, int port,
                    int critical, const char *netcommand, const char *description)
{
    if (!handle || !name)
        return;
    if (!handle->services) {
        handle->services = static_cast<KXSService **>(calloc(kInitialSlots, sizeof(KXSService *)));
        if (!handle->services) {
            dprintf("kxs_addService(): calloc failed for services\n");
            return;
        }
        handle->maxServices = kInitialCapacity;
    }
    KXSService *service = make_service(name, procname, argexp, netname, adminconf, check, port,
                                       critical, netcommand, description);
    if (!service) {
        dprintf("kxs_addService(): malloc failed for KXSService\n");
        return;
    }

    int i = 0;
    while (i <= handle->maxServices - 2 && handle->services[i])
        ++i;
    if (i > handle->maxServices - 2) {
        dprintf("kxs_addService(): failed: should never get here...\n");
        dprintf("kxs_addService(): i = %d, maxServices = %d\n", i, handle->maxServices);
        release_service(service);
        return;
    }
    handle->services[i] = service;
    if (i == handle->maxServices - 2) {
        int slots = 2 * handle->maxServices;
        auto *grown = static_cast<KXSService **>(
            realloc(handle->services, static_cast<size_t>(slots) * sizeof(KXSService *)));
        if (!grown) {
            dprintf("kxs_addService(): realloc failed for services\n");
            kxs_freeServices(handle);
            return;
        }
        // The old array may have had fewer slots than the figure: clear
        // everything after the new record.
        memset(grown + i + 1, 0, static_cast<size_t>(slots - i - 1) * sizeof(KXSService *));
        handle->services = grown;
        handle->maxServices = slots;
    }
    handle->services[i + 1] = nullptr;
}

void kxs_freeServices(KXSHandle *handle)
{
    if (!handle || !handle->services)
        return;
    for (KXSService **slot = handle->services; *slot; ++slot) {
        release_service(*slot);
        *slot = nullptr;
    }
    free(handle->services);
    handle->services = nullptr;
}

}  // namespace kx
