// Host and service names: resolution for the daemon clients, and this host's own name.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include <netinet/in.h>

namespace kx::platform {

// The lookup of `name` (a dotted IPv4 address or a host name) for its first
// IPv4 address, started when made and waited for later, so that the lookups
// of many hosts run side by side. A dotted address needs no lookup; a name
// is asked of the host's name service, and the caller waits for it only
// until its deadline. A lookup still running when the caller gives up goes
// on without it and is released by a later lookup. While a name is being
// looked up, or a HostLookup of it lives, another lookup of it shares that
// one. Starts no process; any number of threads may look names up at once.
//
// ThreadSanitizer cannot follow the threads that glibc starts for itself, so
// a build with it looks names up in the calling thread, each within the
// name service's own time-outs rather than the caller's deadline.
#if defined(__SANITIZE_THREAD__)
constexpr bool kLookupsKeepDeadlines = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kLookupsKeepDeadlines = false;
#else
constexpr bool kLookupsKeepDeadlines = true;
#endif
#else
constexpr bool kLookupsKeepDeadlines = true;
#endif
struct NameLookup;
class HostLookup {
public:
    explicit HostLookup(const char *name);
    ~HostLookup();
    HostLookup(const HostLookup &) = delete;
    HostLookup &operator=(const HostLookup &) = delete;

    // The address, waiting for it until `deadline` (time_point::max(): as
    // long as the name service takes). False when the name did not resolve
    // by then.
    bool wait(in_addr &address, std::chrono::steady_clock::time_point deadline);

private:
    std::shared_ptr<NameLookup> lookup_;
    bool known_ = false;  // address_ holds the answer: a dotted address, or one looked up at once
    in_addr address_{};
};

// The same for one name at once.
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
