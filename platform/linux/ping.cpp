#include "ping.h"

#include <cerrno>

#include <unistd.h>

namespace kx::platform {

namespace {
// iputils ping: "-c 1" sends one echo, "-W 5" waits five seconds for it, and
// the exit status is 0 only when an answer came.
constexpr const char *kPingProgram = "/usr/bin/ping";
}  // namespace

int exec_ping(const char *host)
{
    // Built without allocating: the caller is a child forked from a process
    // that may have other threads.
    static_assert(kPingWaitSeconds == 5, "the wait operand below spells the wait");
    char *const argv[] = {const_cast<char *>("ping"), const_cast<char *>("-n"),
                          const_cast<char *>("-q"), const_cast<char *>("-c"),
                          const_cast<char *>("1"), const_cast<char *>("-W"),
                          const_cast<char *>("5"), const_cast<char *>("--"),
                          const_cast<char *>(host), nullptr};
    char *const envp[] = {const_cast<char *>("PATH=/usr/bin:/usr/sbin:/bin"), nullptr};
    execve(kPingProgram, argv, envp);
    return errno;
}

}  // namespace kx::platform
