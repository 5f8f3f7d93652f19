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

int kxs_checkAdminMode(KXSHandle *handle)
{
    FILE *config = fopen(product_path(kAdminConfigFile).c_str(), "r");
    if (config)
        fclose(config);
    if (handle)
        handle->adminMode = config ? kAdminModeOn : kAdminModeOff;
    return config ? 1 : 0;
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
    return open_daemon_socket(kBoundOpener, host, port, deadline_in(reply_limits().connectMs));
}

namespace {

constexpr DaemonClient kAmStatusClient{"kxs_get_amstatus", "s",   false, true, kAuthMgrService,
                                       kAuthMgrFallbackPort, true, Opener::Bound};

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
            status->starttime = reply_uint32(value);
    } else if (strcasecmp(key, "desktops") == 0) {
        dlprintf("s", "got desktops |%s|\n", or_nil(value));
        if (hasValue)
            status->desktops = reply_int32(value);
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
    AMStatus status{};
    auto onLine = [&status](std::string_view line) {
        _parse_amstatus_line(line.data(), &status);
        return true;
    };
    Outcome outcome = ask_daemon(kAmStatusClient, host, "amstatus\n", onLine);
    switch (outcome) {
    case Outcome::Unreachable:
        return KX_EUNREACHABLE;  // nothing stored
    case Outcome::OpenFailed:
        *out = nullptr;
        return KX_ESOCKET;
    case Outcome::WriteFailed:
        *out = nullptr;
        return KX_ESOCKWRITE;
    case Outcome::TimedOut:
        *out = nullptr;
        return KX_EAMTIMEOUT;
    case Outcome::Complete:
    case Outcome::ReadError:
    case Outcome::TooLarge:
        break;  // a reply cut short keeps what was parsed
    }
    auto *record = static_cast<AMStatus *>(malloc(sizeof(AMStatus)));
    if (!record) {
        dprintf("kxs_get_amstatus(): allocation failed for AMStatus \n");
        *out = nullptr;
        return KX_ENOMEM;
    }
    *record = status;
    *out = record;
    dlprintf("s", "amstatus starttime=%d desktops=%d\n", static_cast<int>(record->starttime),
             record->desktops);
    return 0;
}

}  // namespace kx
