#include "libif.h"

#include "link.h"
#include "utils.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace kx {

namespace {

// Sizes of the name copy and of each method's error text.
constexpr std::size_t kNameSize = 1024;
constexpr std::size_t kErrorSize = 1024;

// The system's text for errno, or "errno: N" when it has none.
std::string errno_text()
{
    int err = errno;
    std::string text = error_text(err);
    if (text.empty() || text.rfind("Unknown error", 0) == 0)
        return "errno: " + std::to_string(err);
    return text;
}

// The interface name without its logical suffix: what Linux probes.
std::string device_of(const char *ifname)
{
    std::string device(ifname);
    auto colon = device.rfind(':');
    if (colon != std::string::npos)
        device.erase(colon);
    return device;
}

}  // namespace

void prt_error(const char *text)
{
    dprintf("%s: %s\n", text, errno_text().c_str());
}

void prt_if_error(const char *text, const char *name, char *buffer, std::size_t size)
{
    std::string why = errno_text();
    if (!buffer) {
        dprintf("%s: device %s: %s\n", text, name, why.c_str());
        return;
    }
    if (size > 0)
        snprintf(buffer, size, "%s: device %s: %s\n", text, name, why.c_str());
}

int get_if_status(const char *ifname)
{
    platform::InterfaceFlags flags;
    bool socketFailed = false;
    if (int err = platform::read_interface_flags(ifname, flags, &socketFailed)) {
        errno = err;
        if (socketFailed)
            prt_error("get_if_status: socket error");
        else
            prt_if_error("get_if_status: ioctl error", ifname ? ifname : "(null)", nullptr, 0);
        return -1;
    }
    if (!flags.running || flags.failed || flags.offline)
        return 0;
    return flags.up ? 1 : 0;
}

int _get_intf_instance(char *name)
{
    if (!name || !*name)
        return -1;
    if (char *colon = std::strrchr(name, ':'))
        *colon = '\0';
    std::size_t end = std::strlen(name);
    std::size_t digits = end;
    // The first character stays part of the driver's name, digit or not.
    while (digits > 1 && std::isdigit(static_cast<unsigned char>(name[digits - 1])))
        --digits;
    if (digits == end)
        return 0;
    // Instance numbers are small; a run of digits beyond int saturates.
    long long instance = 0;
    for (std::size_t i = digits; i < end; ++i)
        instance = std::min<long long>(instance * 10 + (name[i] - '0'), INT32_MAX);
    name[digits] = '\0';
    return static_cast<int>(instance);
}

int _get_device_status_ioctl(const char *device, int instance, int32_t *link, char *error,
                             std::size_t size)
{
    dlprintf("s", "_get_device_status_ioctl: link query for device %s (instance %d)\n", device,
             instance);
    bool socketFailed = false;
    int err = platform::driver_link_state(device, link, &socketFailed);
    if (err == 0)
        return 0;
    errno = err;
    if (err == ENAMETOOLONG)
        snprintf(error, size, "_get_device_status_ioctl: ifn \"%.40s...\" too long\n", device);
    else if (socketFailed)
        prt_if_error("_get_device_status_ioctl: open failed", device, error, size);
    else
        prt_if_error("_get_device_status_ioctl: ioctl operation failed", device, error, size);
    return -1;
}

int _get_device_status_kstat(const char *device, int instance, int32_t *link, char *error,
                             std::size_t size)
{
    (void)instance;  // Linux names the carrier by interface, not by driver and instance
    auto step = platform::CarrierStep::Name;
    int err = platform::kernel_link_state(device, link, &step);
    if (err == 0)
        return 0;
    errno = err;
    const char *what = "_get_device_status_kstat: kstat_lookup failed";
    if (step == platform::CarrierStep::Open && err != ENOENT)
        what = "_get_device_status_kstat: kstat_open failed";
    else if (step == platform::CarrierStep::Read)
        what = "_get_device_status_kstat: kstat_read failed";
    else if (step == platform::CarrierStep::Value)
        what = "_get_device_status_kstat: kstat_data_lookup \"link_up\" failed";
    prt_if_error(what, device, error, size);
    return -1;
}

int get_device_status(const char *ifname, int32_t *link)
{
    char split[kNameSize] = {};
    if (ifname)
        snprintf(split, sizeof split, "%s", ifname);
    int instance = _get_intf_instance(split);
    if (instance == -1) {
        dprintf("get_device_status: ifn not defined");
        return -1;
    }
    std::string device = device_of(ifname);
    char ioctlError[kErrorSize] = {};
    char kstatError[kErrorSize] = {};
    if (_get_device_status_ioctl(device.c_str(), instance, link, ioctlError, sizeof ioctlError) == 0)
        return 0;
    if (_get_device_status_kstat(device.c_str(), instance, link, kstatError, sizeof kstatError) == 0)
        return 0;
    dprintf("get_device_status: failed for %s", ifname);
    for (const char *text : {ioctlError, kstatError})
        if (*text)
            dlprintf("s", "%s", text);
    return -1;
}

}  // namespace kx
