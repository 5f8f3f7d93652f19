// Host and service names: resolution for the daemon clients, and this host's own name.
#pragma once

#include <netinet/in.h>
#include <string>

namespace kx::platform {

// Resolves `name` (a dotted IPv4 address or a host name) to its first IPv4
// address through the host's name service. Safe to call from several threads
// at once. Returns false when the name does not resolve.
bool resolve_ipv4(const char *name, in_addr &address);

// The port (host byte order) of the service `name` for `protocol` ("tcp")
// in the host's services database, or 0 when it is not known. Safe to call
// from several threads at once.
int service_port(const char *name, const char *protocol);

// This host's name, cut to 127 characters. False (errno says why) when the
// host does not give it.
bool local_host_name(std::string &name);

}  // namespace kx::platform
