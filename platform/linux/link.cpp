#include "link.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/ethtool.h>
#include <linux/if.h>
#include <linux/sockios.h>

namespace kx::platform {

namespace {

// A datagram socket for interface ioctls, closed when it goes.
struct ControlSocket {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ControlSocket() = default;
    ControlSocket(const ControlSocket &) = delete;
    ControlSocket &operator=(const ControlSocket &) = delete;
    ~ControlSocket()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Fills the request's name; false when the host would cut it.
bool name_request(const char *name, ifreq &request)
{
    std::memset(&request, 0, sizeof request);
    if (!name || std::strlen(name) >= sizeof request.ifr_name)
        return false;
    std::strncpy(request.ifr_name, name, sizeof request.ifr_name - 1);
    return true;
}

// Asks the kernel `code` about a named request over a control socket of its
// own; the error number, 0 on success.
int ask_interface(unsigned long code, ifreq &request, bool *socketFailed)
{
    ControlSocket control;
    if (control.fd < 0) {
        *socketFailed = true;
        return errno;
    }
    return ioctl(control.fd, code, &request) < 0 ? errno : 0;
}

// Reads a short file with one bounded read, without blocking.
int read_short_file(const std::string &path, char *buffer, std::size_t size, CarrierStep *failedAt)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        *failedAt = CarrierStep::Open;
        return errno;
    }
    ssize_t got;
    do
        got = read(fd, buffer, size - 1);
    while (got < 0 && errno == EINTR);
    int err = got < 0 ? errno : 0;
    close(fd);
    buffer[got > 0 ? got : 0] = '\0';
    if (err)
        *failedAt = CarrierStep::Read;
    return err;
}

}  // namespace

int read_interface_flags(const char *name, InterfaceFlags &flags, bool *socketFailed)
{
    flags = {};
    ifreq request;
    if (!name_request(name, request))
        return ENAMETOOLONG;
    if (int err = ask_interface(SIOCGIFFLAGS, request, socketFailed))
        return err;
    flags.up = (request.ifr_flags & IFF_UP) != 0;
    // The driver is started exactly while the interface is up; IFF_RUNNING
    // would add the carrier, which is the data link's question.
    flags.running = flags.up;
    return 0;
}

int driver_link_state(const char *name, int32_t *link, bool *socketFailed)
{
    ifreq request;
    if (!name_request(name, request))
        return ENAMETOOLONG;
    ethtool_value query{};
    query.cmd = ETHTOOL_GLINK;
    request.ifr_data = reinterpret_cast<char *>(&query);
    if (int err = ask_interface(SIOCETHTOOL, request, socketFailed))
        return err;
    *link = query.data ? 1 : 0;
    return 0;
}

int kernel_link_state(const char *name, int32_t *link, CarrierStep *failedAt)
{
    *failedAt = CarrierStep::Name;
    if (!name || !*name || std::strchr(name, '/') || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0)
        return EINVAL;
    if (std::strlen(name) >= IFNAMSIZ)
        return ENAMETOOLONG;
    char text[32];
    if (int err = read_short_file("/sys/class/net/" + std::string(name) + "/carrier", text,
                                  sizeof text, failedAt))
        return err;
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text || (*end && *end != '\n') || errno || value < INT32_MIN || value > INT32_MAX) {
        *failedAt = CarrierStep::Value;
        return EINVAL;
    }
    *link = static_cast<int32_t>(value);
    return 0;
}

}  // namespace kx::platform
