#include "kxsutil.h"

#include "admin.h"
#include "hostname.h"
#include "kxerrno.h"
#include "kxsinit.h"
#include "ping.h"
#include "utils.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kx {

// Administration mode is on while the configuration file can be opened as
// a product file: a link, FIFO or device in its place leaves it off.
int kxs_checkAdminMode(KXSHandle *handle)
{
    int fd = open_product_file(product_path(kAdminConfigFile));
    bool on = fd >= 0;
    if (on)
        close(fd);
    if (handle)
        handle->adminMode = on ? kAdminModeOn : kAdminModeOff;
    return on ? 1 : 0;
}

namespace {

constexpr const char *kShell = "/bin/ksh";
// Descriptors at or above this are refused for the pipe.
constexpr int kDescriptorLimit = 256;

// The one child command of the process: 0 when none is running.
pid_t _pipepid = 0;

int wait_for_child(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

[[noreturn]] void run_child(const char *command, int childEnd, int callerEnd, int target)
{
    close(callerEnd);
    if (childEnd != target) {
        close(target);
        fcntl(childEnd, F_DUPFD, target);
        close(childEnd);
    }
    if (access(kShell, X_OK) != 0)
        _exit(127);
    execl(kShell, "ksh", "-c", command, static_cast<char *>(nullptr));
    _exit(1);
}

}  // namespace

FILE *kxs_safe_popen(const char *command, const char *mode)
{
    if (_pipepid != 0 || !command || !mode)
        return nullptr;
    int fds[2];
    if (pipe(fds) != 0)
        return nullptr;
    if (fds[0] >= kDescriptorLimit || fds[1] >= kDescriptorLimit) {
        close(fds[0]);
        close(fds[1]);
        _pipepid = 0;
        return nullptr;
    }
    const bool reading = mode[0] == 'r';
    const int callerEnd = reading ? fds[0] : fds[1];
    const int childEnd = reading ? fds[1] : fds[0];

    _pipepid = fork();
    if (_pipepid < 0) {
        _pipepid = 0;
        close(fds[0]);
        close(fds[1]);
        return nullptr;
    }
    if (_pipepid == 0)
        run_child(command, childEnd, callerEnd, reading ? 1 : 0);

    close(childEnd);
    FILE *stream = fdopen(callerEnd, mode);
    if (!stream) {
        // The child runs but no stream can be handed out: end our side, reap
        // the child and become idle again, as if nothing had been started.
        close(callerEnd);
        wait_for_child(_pipepid);
        _pipepid = 0;
    }
    return stream;
}

int kxs_safe_pclose(FILE *stream)
{
    if (stream)
        fclose(stream);
    if (_pipepid <= 0) {
        _pipepid = 0;
        return -1;
    }
    int status = wait_for_child(_pipepid);
    _pipepid = 0;
    return status;
}

// ---- the daemons ------------------------------------------------------------

int kxs_open_socket(const char *host, int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (!platform::resolve_ipv4(host, address.sin_addr)) {
        dprintf("kxs_open_socket(): Could not gethostbyname(%s)\n", host ? host : "(null)");
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        dprintf("kxs_open_socket(): Could not open socket - %s\n", strerror(errno));
        return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        dprintf("kxs_open_socket(): Could not bind - %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    if (connect_bounded(fd, address) < 0) {
        dlprintf("s", "kxs_open_socket(): Could not connect - %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0)
        dprintf("kxs_open_socket(): Could not set SO_KEEPALIVE - %s\n", strerror(errno));
    return fd;
}

namespace {

constexpr DaemonClient kAmStatusClient{"kxs_get_amstatus", "s", false, true};

const char *or_nil(const char *value)
{
    return value && *value ? value : "(nil)";
}

}  // namespace

int _parse_amstatus_line(const char *line, AMStatus *status)
{
    char *key = nullptr;
    char *value = nullptr;
    if (!status || !parse_key_and_value(line, &key, &value) || !key) {
        free(key);
        free(value);
        return 0;
    }
    int known = 1;
    bool hasValue = value && *value;
    if (strcasecmp(key, "starttime") == 0) {
        dlprintf("s", "got starttime |%s|\n", or_nil(value));
        if (hasValue)
            status->starttime = static_cast<uint32_t>(strtoul(value, nullptr, 0));
    } else if (strcasecmp(key, "desktops") == 0) {
        dlprintf("s", "got desktops |%s|\n", or_nil(value));
        if (hasValue)
            status->desktops = atoi(value);
    } else {
        dlprintf("s", "unknown key |%s| value |%s|\n", key, or_nil(value));
        known = 0;
    }
    free(key);
    free(value);
    return known;
}

int kxs_get_amstatus(const char *host, AMStatus **out)
{
    if (!out)
        return KX_EINVAL;
    const DaemonClient &client = kAmStatusClient;
    int port = daemon_port(client, kAuthMgrService, kAuthMgrFallbackPort);
    if (ping_host(host) != 0) {
        report_no_response(client, host ? host : "(null)", port);
        return KX_EUNREACHABLE;
    }
    auto *status = static_cast<AMStatus *>(calloc(1, sizeof(AMStatus)));
    if (!status) {
        dprintf("kxs_get_amstatus(): allocation failed for AMStatus \n");
        return KX_ENOMEM;
    }
    *out = status;
    trace_opening(client, host ? host : "(null)", port);
    int fd = kxs_open_socket(host, port);
    if (fd < 0) {
        report_open_failure(client, host ? host : "(null)", port);
        free(status);
        *out = nullptr;
        return KX_ESOCKET;
    }
    ExchangeStatus result =
        exchange_command(client, fd, "amstatus\n", [status](std::string_view line) {
            _parse_amstatus_line(line.data(), status);
            return true;
        });
    close(fd);
    if (result == ExchangeStatus::WriteFailed || result == ExchangeStatus::TimedOut) {
        free(status);
        *out = nullptr;
        return result == ExchangeStatus::WriteFailed ? KX_ESOCKWRITE : KX_EAMTIMEOUT;
    }
    dlprintf("s", "amstatus starttime=%d desktops=%d\n", static_cast<int>(status->starttime),
             status->desktops);
    return 0;
}

}  // namespace kx
