// The handle that every query shares, and the library's lifecycle.
#pragma once

#include "kxsmon.h"
#include "exchange.h"
#include "query_status.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

// Marks the definition of an exported function of the C interface.
#define KXS_EXPORT extern "C" __attribute__((visibility("default")))

struct KXSService;

namespace kx {

struct kxa;
struct MonitoredFile;

// How the handle's owned parts are released, each by its family.
struct CloseConnection {
    void operator()(kxa *connection) const;  // kxsinit
};
struct ReleaseService {
    void operator()(KXSService *service) const;  // kxsservices
};
struct ReleaseLines {
    void operator()(char **lines) const;  // kxsfog: freeFOLines
};
struct ReleaseMonitoredFile {
    void operator()(MonitoredFile *file) const;  // kxsdesktop
};

// The handle as the library sees it: what one caller's queries share, owned
// here. The exported KXSHandle wraps it (as leveldb's C interface wraps its
// DB), and the exported functions hand it to the families' routines.
class Handle {
public:
    Handle() = default;
    // Releases its parts through their families, in the order of
    // kxs_freeHandle: connection, contact, services, replicas, monitored
    // terminals.
    ~Handle();
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    std::unique_ptr<kxa, CloseConnection> connection;  // the directory, or none
    std::string hostname = "localhost";                // this host's name
    std::optional<std::string> packageRoot;            // install root of the core package
    int32_t adminMode = 0;          // kAdminModeOn with an administration configuration
    std::optional<std::string> contact;  // the stored system contact
    uint32_t servicesRefreshed = 0;      // time of the last service refresh
    std::vector<std::unique_ptr<KXSService, ReleaseService>> services;  // file order
    uint32_t sessionsRefreshed = 0;      // time of the last session count
    int32_t totalSessions = 0;
    int32_t activeSessions = 0;
    std::unique_ptr<char *, ReleaseLines> replicas;  // replica-tool lines, NULL-terminated
    int32_t replicaState = 0;  // kxsfog's KXS_REPL_*
    std::vector<std::string> monitored;  // the monitored terminals, table order
    std::unique_ptr<MonitoredFile, ReleaseMonitoredFile> monitoredFile;  // what the table follows

    // The outcome of the last query (kxs_lastError, kxs_lastErrorText).
    int lastError = 0;
    std::string lastErrorText;
    // The daemons that did not answer in time lately.
    DaemonMemory daemons;
    // What the refreshes behind the cached figures found, replayed by the
    // queries that answer from the cache.
    QueryStatus servicesStatus;
    QueryStatus sessionsStatus;   // the enumeration
    QueryStatus activityStatus;   // what tells active sessions: the authentication manager
    QueryStatus replicaStatus;    // why the roles are unknown, for the handle's life
    QueryStatus contactStatus;    // why the stored contact could not be loaded
};

}  // namespace kx

// The exported handle: the library's own, wrapped.
struct KXSHandle {
    kx::Handle rep;
};

namespace kx {

// The handle that a KXSHandle wraps, or nullptr.
inline Handle *handle_of(KXSHandle *handle)
{
    return handle ? &handle->rep : nullptr;
}

void report_boundary_failure(const char *function, const char *what) noexcept;

// Hands a query's outcome to its handle; never throws.
void store_outcome(Handle &handle, const QueryStatus &status) noexcept;

// The one boundary of every exported function: `run` runs, and an exception
// (memory exhausted, a bug) is logged under the function's name and handed
// to `failed` as KXS_ENOMEM or KXS_EINTERNAL, so that none crosses the C
// interface and ends the host process.
template <typename Run, typename Failed>
void run_guarded(const char *function, Run &&run, Failed &&failed) noexcept
{
    try {
        run();
    } catch (const std::bad_alloc &) {
        report_boundary_failure(function, "memory ran out");
        failed(KXS_ENOMEM);
    } catch (const std::exception &error) {
        report_boundary_failure(function, error.what());
        failed(KXS_EINTERNAL);
    } catch (...) {
        report_boundary_failure(function, "unknown exception");
        failed(KXS_EINTERNAL);
    }
}

// `body` with the library's handle when it takes one.
template <typename Body>
decltype(auto) call_body(Body &body, Handle *handle)
{
    if constexpr (std::is_invocable_v<Body &, Handle *>)
        return body(handle);
    else
        return body();
}

// Whether a query's failure result can also be a real answer (a count of 0,
// an empty table), or always means that the query failed.
enum class FailureResult { AlwaysFailure, MayBeAnswer };

// The body of every exported query runs inside this, on behalf of `exported`
// (which may be NULL), and is given the library's handle it wraps: the
// failures its sources note become the handle's last error, and an
// exception becomes the failure result.
template <typename Result, typename Body>
Result c_query(KXSHandle *exported, const char *function, Result failure, FailureResult kind,
               Body &&body) noexcept
{
    Handle *handle = handle_of(exported);
    QueryStatus status;
    QueryScope scope(status, handle ? &handle->daemons : nullptr);
    Result result = failure;
    run_guarded(
        function, [&] { result = call_body(body, handle); },
        [&](int code) { status.fail_without_text(code); });
    if (!scope.outermost())
        return result;
    if (!handle)
        return result;
    if (result == failure && kind == FailureResult::AlwaysFailure && !status.failed()) {
        try {
            status.fail(KXS_EINTERNAL,
                        std::string(function) + "() failed; the diagnostics say why");
        } catch (...) {
            status.fail_without_text(KXS_ENOMEM);  // not even that text could be made
        }
    }
    store_outcome(*handle, status);
    return result;
}

// The same for the functions that are not queries (the release functions,
// the lifecycle): they leave the handle's outcome alone.
template <typename Result, typename Body>
Result c_boundary(const char *function, Result failure, Body &&body) noexcept
{
    Result result = failure;
    run_guarded(function, [&] { result = body(); }, [](int) {});
    return result;
}

// A release function of the C interface.
template <typename Release>
void c_release(const char *function, Release &&release) noexcept
{
    run_guarded(function, release, [](int) {});
}

}  // namespace kx

// The administration mode values of Handle::adminMode.
constexpr int32_t kAdminModeOn = 16;
constexpr int32_t kAdminModeOff = 1;

// The core package whose install root and version are reported.
constexpr const char *kCorePackage = "ZARNkxo";
