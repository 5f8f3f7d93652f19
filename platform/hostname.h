// Host and service names: resolution for the daemon clients, and this host's own name.
#pragma once

#include <chrono>
#include <string>

#include <netinet/in.h>

namespace kx::platform {

// Resolves `name` (a dotted IPv4 address or a host name) to its first IPv4
// address. A dotted address needs no lookup; a name is asked of the host's
// name service, and the caller waits for it only until `deadline`
// (time_point::max(): as long as the name service takes). A lookup still
// running then goes on without the caller and is released by a later call.
// Starts no process; safe to call from several threads at once. Returns
// false when the name does not resolve by the deadline.
bool resolve_ipv4(const char *name, in_addr &address,
                  std::chrono::steady_clock::time_point deadline);

// The port (host byte order) of the service `name` for `protocol` ("tcp")
// in the host's services database, or 0 when it is not known. Safe to call
// from several threads at once.
int service_port(const char *name, const char *protocol);

// This host's name, cut to 127 characters. False (errno says why) when the
// host does not give it.
bool local_host_name(std::string &name);

}  // namespace kx::platform
