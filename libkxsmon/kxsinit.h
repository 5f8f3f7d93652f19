// The handle that every query shares, and the library's lifecycle.
#pragma once

#include "kxsmon.h"

#include <cstdint>

// Marks the definition of an exported function of the C interface.
#define KXS_EXPORT extern "C" __attribute__((visibility("default")))

struct KXSService;
struct KXSMonitoredDTU;

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
    bool monitoredUnstored;          // the file lags behind the table
};

// The administration mode values of KXSHandle::adminMode.
constexpr int32_t kAdminModeOn = 16;
constexpr int32_t kAdminModeOff = 1;

// The core package whose install root and version are reported.
constexpr const char *kCorePackage = "ZARNkxo";
