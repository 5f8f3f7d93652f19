// The host's reachability probe, as the library uses it.
//
// The probe asks the host system's ping for one echo and waits at most five
// seconds for the answer. The caller relies on the exit status of the
// program: 0 when the host answered in time, anything else when it did not;
// where that status is lost, on what the program printed.
#pragma once

#include "spawner.h"

#include <chrono>
#include <string_view>

namespace kx::platform {

// Seconds that the probe waits for the host's answer.
constexpr int kPingWaitSeconds = 5;

// Runs the host's ping for `host` as a bounded child: its own process group,
// /dev/null as input and error output, its output captured, and an
// environment that holds only a fixed PATH. Killed when `bound` runs out.
SpawnResult run_ping(const char *host, std::chrono::milliseconds bound);

// Whether the probe's output says that the host answered.
bool ping_output_shows_answer(std::string_view output);

// Replaces the calling process with the host's ping, with the same program,
// arguments and environment as run_ping. Returns only when the program could
// not be started, with the errno value. Meant for a freshly forked child whose
// descriptors are already set up: it allocates nothing.
int exec_ping(const char *host);

}  // namespace kx::platform
