// The handle that every query shares, and the library's lifecycle.
#pragma once

#include "kxsmon.h"

#include <cstdint>
#include <exception>

// Marks the definition of an exported function of the C interface.
#define KXS_EXPORT extern "C" __attribute__((visibility("default")))

namespace kx {

void report_boundary_failure(const char *function, const char *what) noexcept;

// The body of every exported function runs inside this: an exception (memory
// exhausted inside a container, a bug) is logged and becomes the function's
// failure result, so that none crosses the C interface and ends the agent.
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
};

// The administration mode values of KXSHandle::adminMode.
constexpr int32_t kAdminModeOn = 16;
constexpr int32_t kAdminModeOff = 1;

// The core package whose install root and version are reported.
constexpr const char *kCorePackage = "ZARNkxo";
