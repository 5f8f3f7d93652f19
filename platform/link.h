// An interface's flags and its data link, as the link probe asks for them.
//
// Every call takes the interface's name as the host knows it (eth0, veth1,
// enp0s3, lo), without a logical suffix, and answers 0 or an errno value.
// No state is kept; the calls may run in any thread. Sockets are
// close-on-exec and closed on every path.
//
// The original asks a driver for its link over the driver's STREAMS device:
// it attaches to the device's instance with a data-link attach request and
// waits for the driver's acknowledgement before reading the parameter
// "link_status". Linux has no such device, no attach and no acknowledgement:
// the driver is asked by interface name in one ioctl, so those steps have no
// counterpart here and are not imitated.
#pragma once

#include <cstdint>

namespace kx::platform {

struct InterfaceFlags {
    bool up = false;       // administratively up
    bool running = false;  // the driver is attached and running (see read_interface_flags)
    bool failed = false;   // never set on Linux
    bool offline = false;  // never set on Linux
};

// The interface's flags (SIOCGIFFLAGS on a datagram socket). The original's
// running flag says that the driver is attached and started; on Linux that
// holds exactly while the interface is up, so `running` follows IFF_UP.
// Linux's own IFF_RUNNING also folds in the carrier, which is the data
// link's question: an interface that is up without a carrier counts as
// running here, and the data link reports it down.
// Returns 0, or the errno of the socket (*socketFailed set) or of the ioctl.
int read_interface_flags(const char *name, InterfaceFlags &flags, bool *socketFailed);

// The "driver" method: asks the interface's driver for its link through the
// ethtool link query (SIOCETHTOOL, ETHTOOL_GLINK). *link gets 0 (no link) or
// 1. Returns 0, ENAMETOOLONG for a name longer than the host allows, or the
// errno of the socket (*socketFailed set) or of the ioctl (EOPNOTSUPP when
// the driver does not answer the query).
int driver_link_state(const char *name, int32_t *link, bool *socketFailed);

// Where reading the carrier failed.
enum class CarrierStep {
    Name,   // not a single path component, or too long for the host
    Open,   // the file cannot be opened (ENOENT: no such interface)
    Read,   // the read failed (the kernel refuses it while the interface is down)
    Value,  // the file does not hold a number
};

// The "kernel statistic" method: the carrier as the kernel shows it in
// /sys/class/net/<name>/carrier, read once with a bound and without
// following a link. *link gets its number. Returns 0, or an errno value
// with the failed step in *failedAt.
int kernel_link_state(const char *name, int32_t *link, CarrierStep *failedAt);

}  // namespace kx::platform
