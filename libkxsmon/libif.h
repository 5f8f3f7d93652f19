// The host's own view of a network interface: its flags and its data link.
//
// An interface name is a driver name, an instance number and an optional
// logical suffix (qfe12:3). The link probe drops the suffix; on Linux both
// methods then ask for the interface under that name (eth0, veth1, enp0s3):
// the "driver" method through the ethtool link query, the "kernel
// statistic" method through the carrier in /sys/class/net. The driver name
// and instance that the name splits into only appear in the diagnostics.
// See platform/link.h for what Linux has in place of the original's
// data-link attach.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx {

// 1 when the interface is up and running and neither failed nor offline, 0
// when it is not, -1 when its flags cannot be read.
int get_if_status(const char *ifname);

// 0 with the link state in *link (0 no link, other values link), -1 when no
// method gave an answer. The methods are tried in turn, driver first; their
// failures are written to the diagnostics only when both fail.
int get_device_status(const char *ifname, int32_t *link);

// Splits `name` in place: the logical suffix (from the last ':') and the
// trailing digits are cut, leaving the driver name. Returns the instance
// number (0 without digits), or -1 for NULL or an empty name.
int _get_intf_instance(char *name);

// The two methods. `device` is the interface's name without its logical
// suffix, `instance` its instance number for the diagnostics. 0 with
// *link set, or -1 with the reason in `error` (at most `size` bytes).
int _get_device_status_ioctl(const char *device, int instance, int32_t *link, char *error,
                             std::size_t size);
int _get_device_status_kstat(const char *device, int instance, int32_t *link, char *error,
                             std::size_t size);

// "text: system error" for errno, to the diagnostics.
void prt_error(const char *text);
// "text: device NAME: system error" for errno: into `buffer` (cut to `size`)
// when one is given, else to the diagnostics.
void prt_if_error(const char *text, const char *name, char *buffer, std::size_t size);

}  // namespace kx
