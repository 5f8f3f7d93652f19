// The module's entry points on net-snmp's agent API: loaded into snmpd with
// "dlmod kxsmon PATH", or linked into the kxsmon-agentx subagent.
#pragma once

#include "worker.h"

// snmpd finds these two by name in the loaded object.
#define KXSMON_MODULE_EXPORT __attribute__((visibility("default")))

extern "C" {
// Registers the module's subtree and its snmpd.conf tokens (kxsmonRoot,
// kxsmonCacheTimeout, kxsmonRefreshWait, kxsmonWatchInterval and one
// kxsmon...Notifications per kind); the worker starts with the first request
// or the first tick of the module's one-second alarm (on net-snmp's thread,
// so after snmpd has become a daemon), which also sends its notifications.
KXSMON_MODULE_EXPORT void init_kxsmon(void);
// Unregisters the subtree and the alarm, and stops the worker.
KXSMON_MODULE_EXPORT void deinit_kxsmon(void);
}

namespace kxagent {
// Settings that the configuration tokens may still override; call before
// init_kxsmon().
void preset(const Settings &settings);
}  // namespace kxagent
