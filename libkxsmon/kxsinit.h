// The handle that every query shares, and the library's lifecycle.
#pragma once

#include "kxsmon.h"
#include "exchange.h"
#include "query_status.h"

#include <cstdint>
#include <exception>
#include <new>
#include <string>

// Marks the definition of an exported function of the C interface.
#define KXS_EXPORT extern "C" __attribute__((visibility("default")))

struct KXSService;
struct KXSMonitoredDTU;
namespace kx {
struct MonitoredFile;
}

struct KXSHandle {
    void *connection;           // administration database connection, or NULL
    char *hostname;             // this host's name, "localhost" when unknown
    char *packageRoot;          // install root of the core package, or NULL
    int32_t adminMode;          // 16 with an administration configuration, else 1
    char *contact;              // system contact, or NULL
    uint32_t servicesRefreshed; // time of the last service refresh
    KXSService **services;      // NULL-terminated, file order, or NULL
    int32_t maxServices;        // capacity figure of `services`
    uint32_t sessionsRefreshed; // time of the last session count
    int32_t totalSessions;
    int32_t activeSessions;
    char **replicas;            // replica-tool lines, NULL-terminated, or NULL
    int32_t replicaState;       // 0 not fetched, 1 fetched, 2 no configuration, -1 failed
    int32_t numMonitoredDTUs;
    KXSMonitoredDTU *monitoredDTUs;  // monitored terminals, table order
    kx::MonitoredFile *monitoredFile;  // what the table follows, or NULL (kxsdesktop)

    // The outcome of the last query (kxs_lastError, kxs_lastErrorText).
    int lastError = 0;
    std::string lastErrorText;
    // The daemons that did not answer in time lately.
    kx::DaemonMemory daemons;
    // What the refreshes behind the cached figures found, replayed by the
    // queries that answer from the cache.
    kx::QueryStatus servicesStatus;
    kx::QueryStatus sessionsStatus;   // the enumeration
    kx::QueryStatus activityStatus;   // what tells active sessions: the authentication manager
    kx::QueryStatus replicaStatus;    // why the roles are unknown, for the handle's life
    kx::QueryStatus contactStatus;    // why the stored contact could not be loaded
};

namespace kx {

void report_boundary_failure(const char *function, const char *what) noexcept;

// Hands a query's outcome to its handle; never throws.
void store_outcome(KXSHandle *handle, const QueryStatus &status) noexcept;

// Whether a query's failure result can also be a real answer (a count of 0,
// an empty table), or always means that the query failed.
enum class FailureResult { AlwaysFailure, MayBeAnswer };

// The body of every exported query runs inside this, on behalf of `handle`
// (which may be NULL): the failures its sources note become the handle's
// last error, and an exception (memory exhausted, a bug) is logged and
// becomes the failure result, so that none crosses the C interface and ends
// the host process.
template <typename Result, typename Body>
Result c_query(KXSHandle *handle, const char *function, Result failure, FailureResult kind,
               Body &&body) noexcept
{
    QueryStatus status;
    QueryScope scope(status, handle ? &handle->daemons : nullptr);
    Result result = failure;
    try {
        result = body();
    } catch (const std::bad_alloc &) {
        report_boundary_failure(function, "memory ran out");
        status.fail_without_text(KXS_ENOMEM);
    } catch (const std::exception &error) {
        report_boundary_failure(function, error.what());
        status.fail_without_text(KXS_EINTERNAL);
    } catch (...) {
        report_boundary_failure(function, "unknown exception");
        status.fail_without_text(KXS_EINTERNAL);
    }
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
    store_outcome(handle, status);
    return result;
}

// For the functions that are not queries (the release functions, the
// lifecycle): no exception crosses the C interface.
template <typename Result, typename Body>
Result c_boundary(const char *function, Result failure, Body &&body) noexcept
{
    try {
        return body();
    } catch (const std::exception &error) {
        report_boundary_failure(function, error.what());
    } catch (...) {
        report_boundary_failure(function, "unknown exception");
    }
    return failure;
}

}  // namespace kx

// The administration mode values of KXSHandle::adminMode.
constexpr int32_t kAdminModeOn = 16;
constexpr int32_t kAdminModeOff = 1;

// The core package whose install root and version are reported.
constexpr const char *kCorePackage = "ZARNkxo";
