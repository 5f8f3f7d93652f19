#include "spawner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kx::platform {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// After SIGKILL a child is gone within moments; this bounds the wait for it
// beyond the deadline (a process stuck in the kernel may take longer).
constexpr milliseconds kReapGrace{1000};
// The longest nap between two looks at a child that prints nothing.
constexpr milliseconds kLongestNap{50};

// Children killed but still stuck in the kernel when the grace ran out: each
// run reaps those that have ended since, so that none stays a zombie.
std::mutex gUnreapedLock;
std::vector<pid_t> gUnreaped;

void remember_unreaped(pid_t pid)
{
    std::lock_guard lock(gUnreapedLock);
    gUnreaped.push_back(pid);
}

void reap_ended_children()
{
    std::lock_guard lock(gUnreapedLock);
    std::erase_if(gUnreaped, [](pid_t pid) {
        siginfo_t info{};
        int rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG);
        return rc != 0 ? errno != EINTR : info.si_pid != 0;  // ECHILD: someone else reaped it
    });
}

// A descriptor that closes itself.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Moves a new descriptor above 2, so that setting up the child's standard
// descriptors never overwrites it (a host may run with 0 to 2 closed).
int above_standard(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

// The input in an anonymous memory file, read by the child as a file:
// the host never writes to a pipe whose reader may be gone.
int input_file(std::string_view input)
{
    int fd = above_standard(memfd_create("kxs-input", MFD_CLOEXEC));
    if (fd < 0)
        return -1;
    for (size_t done = 0; done < input.size();) {
        ssize_t n = write(fd, input.data() + done, input.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

int milliseconds_until(Clock::time_point when)
{
    auto left = std::chrono::ceil<milliseconds>(when - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

// The child's own process group, so that a bound kills what it started too;
// the default dispositions and an empty mask, whatever the host set (a child
// that inherits an ignored SIGCHLD cannot wait for its own children).
int set_attributes(posix_spawnattr_t &attributes)
{
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    int rc = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                       POSIX_SPAWN_SETSIGDEF);
    if (rc == 0)
        rc = posix_spawnattr_setpgroup(&attributes, 0);
    if (rc == 0)
        rc = posix_spawnattr_setsigmask(&attributes, &none);
    if (rc == 0)
        rc = posix_spawnattr_setsigdefault(&attributes, &all);
    return rc;
}

class Run {
public:
    Run(const SpawnRequest &request, SpawnResult &result)
        : request_(request), result_(result), deadline_(Clock::now() + request.bounds.time)
    {
    }

    void start();
    void follow();

private:
    bool open_output_pipe(Descriptor &childEnd);
    int setup_actions(posix_spawn_file_actions_t &actions, int inputFd, int outputEnd);
    void look_at_child();
    void read_output();
    void end_with(ChildEnd end);

    const SpawnRequest &request_;
    SpawnResult &result_;
    Clock::time_point deadline_;
    Clock::time_point childEndedAt_{};
    pid_t pid_ = -1;
    Descriptor output_;
    bool childEnded_ = false;
    bool outputEnded_ = true;
    bool done_ = false;
};

int Run::setup_actions(posix_spawn_file_actions_t &actions, int inputFd, int outputEnd)
{
    int rc = 0;
    if (inputFd >= 0)
        rc = posix_spawn_file_actions_adddup2(&actions, inputFd, 0);
    else
        rc = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0 && outputEnd >= 0)
        rc = posix_spawn_file_actions_adddup2(&actions, outputEnd, 1);
    else if (rc == 0 && request_.out == StdoutTo::NullDevice)
        rc = posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (rc == 0 && request_.err == StderrTo::NullDevice)
        rc = posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // close_range where the kernel has it, else a walk over /proc/self/fd.
    if (rc == 0)
        rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    return rc;
}

// Our end non-blocking, the child's end above 2, both close-on-exec: a child
// that another thread of the host starts never holds them.
bool Run::open_output_pipe(Descriptor &childEnd)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    output_.reset(above_standard(fds[0]));
    childEnd.reset(above_standard(fds[1]));
    outputEnded_ = false;
    return output_.get() >= 0 && childEnd.get() >= 0 &&
           fcntl(output_.get(), F_SETFL, O_NONBLOCK) == 0;
}

void Run::start()
{
    Descriptor input(request_.in == StdinFrom::Input ? input_file(request_.input) : -1);
    Descriptor childEnd;
    if ((request_.in == StdinFrom::Input && input.get() < 0) ||
        (request_.out == StdoutTo::Capture && !open_output_pipe(childEnd))) {
        result_.error = errno;
        output_.reset();
        return;
    }
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
    int rc = set_attributes(attributes);
    if (rc == 0)
        rc = setup_actions(actions, input.get(), childEnd.get());
    if (rc == 0)
        rc = posix_spawn(&pid_, request_.program, &actions, &attributes, request_.argv,
                         request_.envp ? request_.envp : environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        result_.error = rc;
        output_.reset();
        return;
    }
    result_.end = ChildEnd::Finished;
}

// Collects the child's end, without waiting: its wait status, a stop, or the
// news that someone else has reaped it.
void Run::look_at_child()
{
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WSTOPPED | WNOHANG) != 0) {
        if (errno == ECHILD) {
            childEnded_ = true;
            childEndedAt_ = Clock::now();
            result_.end = ChildEnd::StatusLost;
        }
        return;
    }
    if (info.si_pid == 0)
        return;
    if (info.si_code == CLD_STOPPED || info.si_code == CLD_TRAPPED) {
        end_with(ChildEnd::Stopped);
        return;
    }
    childEnded_ = true;
    childEndedAt_ = Clock::now();
    result_.waitStatus = info.si_code == CLD_EXITED ? (info.si_status & 0xff) << 8
                                                    : (info.si_status & 0x7f) |
                                                          (info.si_code == CLD_DUMPED ? 0x80 : 0);
}

void Run::read_output()
{
    char chunk[65536];
    while (!outputEnded_ && !done_) {
        size_t room = request_.bounds.outputBytes + 1 - result_.output.size();
        ssize_t n = read(output_.get(), chunk, std::min(sizeof chunk, room));
        if (n > 0) {
            result_.output.append(chunk, static_cast<size_t>(n));
            if (result_.output.size() > request_.bounds.outputBytes) {
                result_.output.resize(request_.bounds.outputBytes);
                end_with(ChildEnd::OutputBound);
            }
        } else if (n < 0 && errno == EAGAIN) {
            return;  // nothing more for now
        } else if (n == 0 || errno != EINTR) {  // the end of the output, or a read error
            outputEnded_ = true;
            output_.reset();
        }
    }
}

// Kills the child's process group and reaps the child, within the grace.
void Run::end_with(ChildEnd end)
{
    result_.end = end;
    done_ = true;
    kill(-pid_, SIGKILL);
    output_.reset();
    auto giveUp = std::max(deadline_, Clock::now()) + kReapGrace;
    milliseconds nap{1};
    while (!childEnded_) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG) != 0) {
            if (errno != EINTR)
                break;  // ECHILD: reaped by someone else
        } else if (info.si_pid != 0) {
            break;
        }
        if (Clock::now() >= giveUp) {
            result_.reaped = false;
            remember_unreaped(pid_);
            break;
        }
        poll(nullptr, 0, static_cast<int>(nap.count()));
        nap = std::min(nap * 2, kLongestNap);
    }
    childEnded_ = true;
}

void Run::follow()
{
    milliseconds nap{1};
    while (!done_) {
        if (!childEnded_)
            look_at_child();
        read_output();
        if (done_ || (childEnded_ && outputEnded_))
            return;
        auto now = Clock::now();
        if (now >= deadline_) {
            end_with(childEnded_ ? ChildEnd::HeldOpen : ChildEnd::TimedOut);
            return;
        }
        auto wakeAt = std::min(deadline_, now + nap);
        if (childEnded_) {
            auto drainEnd = childEndedAt_ + request_.bounds.drain;
            if (now >= drainEnd) {
                end_with(ChildEnd::HeldOpen);
                return;
            }
            wakeAt = std::min(deadline_, drainEnd);
        }
        pollfd entry{output_.get(), POLLIN, 0};
        poll(&entry, outputEnded_ ? 0 : 1, milliseconds_until(wakeAt));
        nap = std::min(nap * 2, kLongestNap);
    }
}

}  // namespace

SpawnResult spawn_bounded(const SpawnRequest &request)
{
    reap_ended_children();
    SpawnResult result;
    Run run(request, result);
    run.start();
    if (result.end == ChildEnd::NotStarted)
        return result;
    run.follow();
    return result;
}

void close_descriptors_from(int lowest)
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(lowest), ~0U, 0) == 0)
        return;
#endif
    rlimit limit{};
    long highest = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                       ? static_cast<long>(limit.rlim_cur)
                       : 65536;
    for (long fd = lowest; fd < highest; ++fd)
        close(static_cast<int>(fd));
}

}  // namespace kx::platform
