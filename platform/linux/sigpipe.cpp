#include "sigpipe.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>

namespace kx::platform {
namespace {

sigset_t sigpipe_set()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

bool sigpipe_pending()
{
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

}  // namespace

SigpipeGuard::SigpipeGuard()
{
    sigset_t pipe = sigpipe_set();
    sigset_t previous;
    if (pthread_sigmask(SIG_BLOCK, &pipe, &previous) != 0)
        return;
    wasBlocked_ = sigismember(&previous, SIGPIPE) == 1;
    wasPending_ = wasBlocked_ && sigpipe_pending();
}

SigpipeGuard::~SigpipeGuard()
{
    int savedErrno = errno;
    sigset_t pipe = sigpipe_set();
    if (!wasPending_ && sigpipe_pending()) {
        const timespec now{};
        while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    if (!wasBlocked_)
        pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    errno = savedErrno;
}

}  // namespace kx::platform
