#include "kxsservices.h"

#include "admin.h"
#include "descriptor.h"
#include "hostname.h"
#include "kxsinit.h"
#include "kxsutil.h"
#include "ping.h"
#include "utils.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

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

// The display manager is judged by the process that its pid file names, as
// the last scan saw it, whatever the scan found under the service's name.
int _check_dtlogin(Handle *, KXSService *service)
{
    service->state = kxs_checkProcess("dtlogin") == 1 ? KXS_SVC_UP : KXS_SVC_DOWN;
    return 0;
}

int _check_kxscreventd(Handle *, KXSService *service)
{
    service->flags |= KXS_SVC_EXCLUDED;
    return 0;
}

// ---- the services array --------------------------------------------------------

namespace {

KXSService *make_service(const char *name, const char *procname, const char *argexp,
                         const char *netname, const char *adminconf, KXSCheckRoutine check,
                         int port, int critical, const char *netcommand, const char *description)
{
    auto *service = static_cast<KXSService *>(safe_calloc(1, sizeof(KXSService)));
    std::unique_ptr<KXSService, ReleaseService> made(service);
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
    return made.release();
}

// The texts a service owns; procname is owned only when it is not the name.
constexpr char *KXSService::*kOwnedTexts[] = {
    &KXSService::name,       &KXSService::netname,    &KXSService::adminconf,
    &KXSService::argexp,     &KXSService::netcommand, &KXSService::description,
};

}  // namespace

void ReleaseService::operator()(KXSService *service) const
{
    if (service->procname != service->name)
        free(service->procname);
    for (auto text : kOwnedTexts)
        free(service->*text);
    free(service);
}

void kxs_addService(Handle *handle, const char *name, const char *procname, const char *argexp,
                    const char *netname, const char *adminconf, KXSCheckRoutine check, int port,
                    int critical, const char *netcommand, const char *description)
{
    if (!handle || !name)
        return;
    std::unique_ptr<KXSService, ReleaseService> service(make_service(
        name, procname, argexp, netname, adminconf, check, port, critical, netcommand, description));
    handle->services.push_back(std::move(service));
}

void kxs_freeServices(Handle *handle)
{
    if (handle)
        handle->services.clear();
}

// ---- process scan --------------------------------------------------------------

namespace {

// The argument text of one process, read on first use only: most processes
// match no service by name and are never asked for it.
class ArgumentText {
public:
    ArgumentText(const char *pid, const PsInfo *info) : pid_(pid), info_(info) {}
    ~ArgumentText() { free(text_); }
    ArgumentText(const ArgumentText &) = delete;
    ArgumentText &operator=(const ArgumentText &) = delete;

    // A text that cannot be read holds nothing.
    bool holds(const char *argexp)
    {
        if (!read_) {
            read_ = true;
            kxs_getPsargs(pid_, info_, &text_);
        }
        return text_ && strstr(text_, argexp) != nullptr;
    }

private:
    const char *pid_;
    const PsInfo *info_;
    char *text_ = nullptr;
    bool read_ = false;
};

void count_process(KXSService *service, const PsInfo *info)
{
    service->instances += 1;
    service->state = KXS_SVC_UP;
    if (service->stime == 0 || info->startTime < service->stime)
        service->stime = info->startTime;
    if (info->startTime > service->changetm)
        service->changetm = info->startTime;
}

}  // namespace

void checkService(const char *pid, Handle *handle, const PsInfo *info)
{
    if (!pid) {
        dlprintf("s", "checkService: no pid specified\n");
        return;
    }
    if (!handle || handle->services.empty()) {
        dlprintf("s", "checkService: no entries for services\n");
        return;
    }
    if (!info)
        return;
    ArgumentText arguments(pid, info);
    for (const auto &slot : handle->services) {
        KXSService *service = slot.get();
        if (info->name != service->procname)
            continue;
        if (service->argexp && !arguments.holds(service->argexp))
            continue;
        count_process(service, info);
        return;
    }
}

// ---- port probes ---------------------------------------------------------------

namespace {

constexpr const char *kProbeHost = "localhost";

// Whether a failed connection says the port is down (nobody listens, or
// nobody accepts in time) rather than that the probe could not be made.
bool says_down(int error)
{
    return error == ECONNREFUSED || error == ETIMEDOUT || error == ECONNRESET ||
           error == EHOSTUNREACH || error == ENETUNREACH;
}

// Whether the service's port takes a connection and its whole netcommand. A
// probe that cannot be made leaves the process scan's verdict, and says so.
bool port_answers(const KXSService *service, int port)
{
    // The connect is bounded (kProbeTimeoutMs): a listener that does not
    // accept cannot stall the caller.
    int error = 0;
    platform::Descriptor connection(kxs_open_socket(kProbeHost, port, &error));
    if (connection.get() < 0) {
        dlprintf("s", "checkServicePorts: could not open port %d\n", service->port);
        if (says_down(error))
            return false;
        note_failure(KXS_ESYSTEM, "port " + std::to_string(port) + " of " + service->name +
                                      " could not be probed: " +
                                      (error == kLookupFailed ? std::string("localhost not known")
                                                              : error_text(error)));
        return true;
    }
    if (!service->netcommand)
        return true;
    // Non-blocking: a write that the peer does not take at once is a short
    // write. MSG_NOSIGNAL: a listener that has already closed must not raise
    // SIGPIPE in the caller's process.
    fcntl(connection.get(), F_SETFL, O_NONBLOCK);
    size_t length = strlen(service->netcommand);
    ssize_t written = send(connection.get(), service->netcommand, length, MSG_NOSIGNAL);
    if (written < 0 || static_cast<size_t>(written) < length) {
        dprintf("checkServicePorts(): write failed to %d\n", service->port);
        return false;
    }
    return true;
}

// Applies the administration configuration to a service that names a key of
// it: excluded while there is no configuration, else its port from there.
void apply_admin_port(Handle *handle, KXSService *service)
{
    if (handle->adminMode != kAdminModeOn) {
        service->flags |= KXS_SVC_EXCLUDED;
        return;
    }
    char *value = get_kxadmin_info(service->adminconf);
    if (!value)
        return;
    service->flags &= ~KXS_SVC_EXCLUDED;
    int port = atoi(value);
    if (port != 0)
        service->port = port;
    free(value);
}

}  // namespace

void checkServicePorts(Handle *handle)
{
    if (!handle || handle->services.empty())
        return;
    kxs_checkAdminMode(handle);
    for (const auto &slot : handle->services) {
        KXSService *service = slot.get();
        if (service->adminconf)
            apply_admin_port(handle, service);
        if ((service->flags & KXS_SVC_EXCLUDED) || service->state != KXS_SVC_UP ||
            service->port == 0)
            continue;

        int port = service->port;
        if (service->netname && !service->adminconf) {
            int known = platform::service_port(service->netname, "tcp");
            if (known != 0)
                port = known;
            else
                dlprintf("s", "checkServicePorts: getservbyname failed for %s\n", service->netname);
        }
        // A port number the network cannot carry is a configuration fault; it
        // must not be cut to 16 bits and probed somewhere else.
        if (port < 1 || port > 65535) {
            dprintf("checkServicePorts(): invalid port %d for %s\n", port, service->name);
            service->state = KXS_SVC_DOWN;
            continue;
        }
        if (!port_answers(service, port))
            service->state = KXS_SVC_DOWN;
    }
}

void checkRoutine(Handle *handle)
{
    if (!handle || handle->services.empty())
        return;
    for (const auto &slot : handle->services) {
        KXSService *service = slot.get();
        if (!service->check)
            continue;
        if (service->adminconf && (service->flags & KXS_SVC_EXCLUDED))
            continue;
        service->check(handle, service);
    }
}

// ---- refresh ---------------------------------------------------------------------

namespace {

void start_refresh(KXSService *service)
{
    service->prevState = service->state;
    service->prevStime = service->stime;
    service->prevInstances = service->instances;
    service->state = KXS_SVC_DOWN;
    service->instances = 0;
    service->stime = 0;
}

bool changed(const KXSService *service)
{
    bool wentDown = service->state == KXS_SVC_DOWN && service->prevState == KXS_SVC_UP;
    bool restarted = service->stime != service->prevStime && service->prevStime != 0;
    bool recounted = service->instances != service->prevInstances && service->prevInstances != 0;
    return wentDown || restarted || recounted;
}

}  // namespace

namespace {

int refresh_services(Handle *handle, uint32_t now)
{
    for (const auto &service : handle->services)
        start_refresh(service.get());

    {
        platform::ProcessDirectory processes;
        if (!processes.is_open()) {
            const int error = errno;
            dprintf("kxs_refreshServices(): cannot open PROC directory %s\n",
                    platform::kProcessDirectory);
            note_failure(KXS_ESYSTEM, std::string("process table ") + platform::kProcessDirectory +
                                          " could not be read: " + error_text(error));
            return -1;
        }
        init_ps_cache();
        PsInfo info;
        while (const char *pid = processes.next()) {
            if (kxs_getPsinfo(pid, &info) != 0 || info.zombie || info.threads == 0)
                continue;
            checkService(pid, handle, &info);
            updateProcCache(pid, &info);
        }
    }
    checkServicePorts(handle);
    checkRoutine(handle);

    for (const auto &service : handle->services)
        if (!(service->flags & KXS_SVC_EXCLUDED) && changed(service.get()))
            service->changetm = now;
    handle->servicesRefreshed = now;
    return 0;
}

}  // namespace

int kxs_refreshServices(Handle *handle)
{
    const uint32_t now = static_cast<uint32_t>(time(nullptr));
    if (!handle || handle->services.empty()) {
        dlprintf("s", "kxs_refreshServices: no entries for services\n");
        return 0;
    }
    if (now - kServicesFreshSeconds < handle->servicesRefreshed) {
        dlprintf("s", "kxs_refreshServices: services fresh enough\n");
        // What the refresh behind these states found holds for them.
        note_all(handle->servicesStatus);
        return 0;
    }
    NoteRecorder recorder(handle->servicesStatus);
    return refresh_services(handle, now);
}

}  // namespace kx

// ---- the daemons query -------------------------------------------------------------

namespace kx {
namespace {

// The list, its records and their texts, laid out in one block.
using DaemonRecords = LaidOutArray<KXSDaemon, 2>;
constexpr DaemonRecords::Fields kDaemonTexts{&KXSDaemon::name, &KXSDaemon::description};

void free_daemon_list(KXSDaemon **daemons)
{
    free_laid_out(daemons, kDaemonTexts);
}

// The record of `service`; its texts stay the service's until the records
// are laid out.
KXSDaemon daemon_of(const KXSService &service)
{
    KXSDaemon daemon{};
    daemon.name = service.name;
    daemon.description = service.description;
    daemon.status = service.state;
    daemon.stime = service.stime;
    daemon.changetm = service.changetm;
    daemon.instances = service.instances;
    return daemon;
}

KXSDaemon **daemon_list(Handle *handle)
{
    if (!handle) {
        dprintf("kxs_daemons(): no handle\n");
        return nullptr;
    }
    // A services file without services: an empty list is the true answer.
    // A refresh that cannot read the process table leaves every service
    // down, and says that this is not the server's state; one whose only
    // failures are port probes that could not be made answers with the
    // process scan's verdicts for those.
    if (!handle->services.empty() && kxs_refreshServices(handle) == 0 && query_failed())
        note_partial();

    DaemonRecords records(kDaemonTexts);
    records.reserve(handle->services.size());
    for (const auto &service : handle->services)
        if (!(service->flags & KXS_SVC_EXCLUDED))
            records.add(daemon_of(*service));
    KXSDaemon **daemons = records.take();
    if (!daemons) {
        dprintf("kxs_daemons(): calloc failed for daemon list\n");
        out_of_memory();
    }
    return daemons;
}

}  // namespace

}  // namespace kx

KXS_EXPORT KXSDaemon **kxs_daemons(KXSHandle *handle) noexcept
{
    return kx::c_query(handle, "kxs_daemons", static_cast<KXSDaemon **>(nullptr),
                       kx::FailureResult::AlwaysFailure, kx::daemon_list);
}

KXS_EXPORT void kxs_freeDaemons(KXSHandle *, KXSDaemon **daemons) noexcept
{
    kx::c_release("kxs_freeDaemons", [daemons] { kx::free_daemon_list(daemons); });
}
