// The host's reachability probe, as the library uses it.
//
// The probe asks the host system's ping for one echo and waits at most five
// seconds for the answer. The caller relies only on the exit status of the
// program: 0 when the host answered in time, anything else when it did not.
#pragma once

namespace kx::platform {

// Seconds that the probe waits for the host's answer.
constexpr int kPingWaitSeconds = 5;

// Replaces the calling process with the host's ping, run for `host` with an
// environment that holds only a fixed PATH. Returns only when the program
// could not be started, with the errno value. Meant for a freshly forked
// child whose standard descriptors are already set up.
int exec_ping(const char *host);

}  // namespace kx::platform
