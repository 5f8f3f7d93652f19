// Writes on a connection whose peer has gone away raise SIGPIPE, which ends
// the whole host process unless the host ignores it. For client libraries
// that write with plain write(2) (the directory client), a guard holds the
// signal back for the calling thread only: the process's disposition of
// SIGPIPE is never changed.
#pragma once

namespace kx::platform {

// While it lives, a SIGPIPE raised by the calling thread is blocked; one that
// arrived meanwhile is discarded when it ends, and the thread's signal mask
// is restored. A SIGPIPE that was already pending before is left alone.
class SigpipeGuard {
public:
    SigpipeGuard();
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard &) = delete;
    SigpipeGuard &operator=(const SigpipeGuard &) = delete;

private:
    bool wasBlocked_ = false;
    bool wasPending_ = false;
};

}  // namespace kx::platform
