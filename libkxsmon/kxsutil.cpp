#include "kxsutil.h"

#include "admin.h"
#include "kxsinit.h"
#include "utils.h"

#include <cerrno>
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

}  // namespace kx
