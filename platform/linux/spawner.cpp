#include "spawner.h"

#include "descriptor.h"
#include "warden.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
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

// A pipe that the child writes and we read: our end non-blocking, both above
// 2 and close-on-exec, so that a child that another thread of the host
// starts never holds them.
bool open_pipe(Descriptor &ours, Descriptor &theirs)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    ours.reset(above_standard(fds[0]));
    theirs.reset(above_standard(fds[1]));
    return ours.get() >= 0 && theirs.get() >= 0 && fcntl(ours.get(), F_SETFL, O_NONBLOCK) == 0;
}

// The warden's control channel: a socket, so that our word to it can be
// sent without SIGPIPE should the warden be gone.
bool open_control(Descriptor &ours, Descriptor &theirs)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    ours.reset(above_standard(fds[0]));
    theirs.reset(above_standard(fds[1]));
    return ours.get() >= 0 && theirs.get() >= 0;
}

// One stream of the child read into memory: all of standard output up to
// the bound, the head of the error output.
struct Stream {
    Descriptor fd;
    bool ended = true;
    std::string *kept = nullptr;
    std::size_t keep = 0;   // how much of it is kept
    std::size_t read = 0;   // how much was read in all
};

class Run {
public:
    Run(const SpawnRequest &request, SpawnResult &result)
        : request_(request), result_(result), deadline_(Clock::now() + request.bounds.time)
    {
        output_.kept = &result.output;
        output_.keep = request.bounds.outputBytes;
        errors_.kept = &result.errorOutput;
        errors_.keep = kErrorOutputKept;
    }

    bool start();
    void follow();
    void finish();

private:
    bool open_streams(Descriptor &output, Descriptor &errors);
    void read_reports();
    void read_stream(Stream &stream);
    void end_with(ChildEnd end);
    bool await_warden(Clock::time_point giveUp);
    void kill_warden();

    const SpawnRequest &request_;
    SpawnResult &result_;
    Clock::time_point deadline_;
    Clock::time_point childEndedAt_{};
    pid_t warden_ = -1;
    Descriptor wardenFd_;  // its process descriptor, where the kernel has them
    Descriptor control_;
    Descriptor reports_;
    Stream output_;
    Stream errors_;
    bool childEnded_ = false;
    bool reportsEnded_ = false;
    bool done_ = false;
};

bool Run::open_streams(Descriptor &output, Descriptor &errors)
{
    if (request_.out == StdoutTo::Capture) {
        if (!open_pipe(output_.fd, output))
            return false;
        output_.ended = false;
    }
    if (request_.err == StderrTo::Capture) {
        if (!open_pipe(errors_.fd, errors))
            return false;
        errors_.ended = false;
    }
    return true;
}

// Starts the warden, which starts the program; false when it could not be.
bool Run::start()
{
    Descriptor input(request_.in == StdinFrom::Input ? input_file(request_.input) : -1);
    Descriptor passed(request_.passedFd >= 0 ? fcntl(request_.passedFd, F_DUPFD_CLOEXEC, 3) : -1);
    Descriptor output, errors, control, reports;
    if ((request_.in == StdinFrom::Input && input.get() < 0) ||
        (request_.passedFd >= 0 && passed.get() < 0) || !open_streams(output, errors) ||
        !open_control(control_, control) || !open_pipe(reports_, reports)) {
        result_.error = errno;
        return false;
    }
    const warden::Plan plan{request_.program,
                            request_.argv,
                            request_.envp ? request_.envp : environ,
                            control.get(),
                            reports.get(),
                            input.get(),
                            output.get(),
                            request_.out == StdoutTo::Inherit,
                            errors.get(),
                            passed.get()};
    // No handler of the host's may run in the warden before it sets its own
    // dispositions: this thread holds every signal back across the fork.
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    warden_ = warden::fork_process();
    if (warden_ == 0)
        warden::run(plan);
    int error = errno;
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (warden_ < 0) {
        result_.error = error;
        return false;
    }
    wardenFd_.reset(static_cast<int>(syscall(SYS_pidfd_open, warden_, 0)));
    result_.end = ChildEnd::Finished;
    return true;
}

// What the warden has said: how the program ended, that it stopped, or that
// it could not be started.
void Run::read_reports()
{
    warden::Report reports[8];
    while (!reportsEnded_ && !done_) {
        ssize_t n = read(reports_.get(), reports, sizeof reports);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        if (n <= 0) {
            reportsEnded_ = true;
            return;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof reports[0]; ++i) {
            const warden::Report &report = reports[i];
            if (report.kind == warden::Report::Ended && !childEnded_) {
                childEnded_ = true;
                childEndedAt_ = Clock::now();
                result_.waitStatus = report.value;
            } else if (report.kind == warden::Report::Stopped) {
                end_with(ChildEnd::Stopped);
            } else if (report.kind == warden::Report::NotStarted) {
                result_.end = ChildEnd::NotStarted;
                result_.error = report.value;
                done_ = true;
            }
        }
    }
}

void Run::read_stream(Stream &stream)
{
    char chunk[65536];
    while (!stream.ended && !done_) {
        ssize_t n = read(stream.fd.get(), chunk, sizeof chunk);
        if (n > 0) {
            std::size_t room = stream.keep - std::min(stream.keep, stream.kept->size());
            stream.kept->append(chunk, std::min(room, static_cast<std::size_t>(n)));
            stream.read += static_cast<std::size_t>(n);
            if (stream.read > request_.bounds.outputBytes)
                end_with(ChildEnd::OutputBound);
        } else if (n < 0 && errno == EAGAIN) {
            return;  // nothing more for now
        } else if (n == 0 || errno != EINTR) {  // the end of the output, or a read error
            stream.ended = true;
            stream.fd.reset();
        }
    }
}

// A bound was hit: the run ends here, and finish() kills what is left.
void Run::end_with(ChildEnd end)
{
    result_.end = end;
    done_ = true;
}

void Run::follow()
{
    while (!done_) {
        read_reports();
        read_stream(output_);
        read_stream(errors_);
        if (done_ || (childEnded_ && output_.ended && errors_.ended))
            return;
        if (reportsEnded_ && !childEnded_) {
            end_with(ChildEnd::StatusLost);
            return;
        }
        auto now = Clock::now();
        if (now >= deadline_) {
            end_with(childEnded_ ? ChildEnd::HeldOpen : ChildEnd::TimedOut);
            return;
        }
        auto wakeAt = deadline_;
        if (childEnded_) {
            auto drainEnd = childEndedAt_ + request_.bounds.drain;
            if (now >= drainEnd) {
                end_with(ChildEnd::HeldOpen);
                return;
            }
            wakeAt = std::min(deadline_, drainEnd);
        }
        pollfd watched[] = {{reportsEnded_ ? -1 : reports_.get(), POLLIN, 0},
                            {output_.ended ? -1 : output_.fd.get(), POLLIN, 0},
                            {errors_.ended ? -1 : errors_.fd.get(), POLLIN, 0}};
        poll(watched, std::size(watched), milliseconds_until(wakeAt));
    }
}

// Waits for the warden to end, until `giveUp`; true once it is reaped (or
// gone: a host that reaps children of others took it).
bool Run::await_warden(Clock::time_point giveUp)
{
    milliseconds nap{1};
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(warden_), &info, WEXITED | WNOHANG) != 0) {
            if (errno != EINTR)
                return true;  // ECHILD: reaped by someone else
        } else if (info.si_pid != 0) {
            return true;
        }
        if (Clock::now() >= giveUp)
            return false;
        // Its process descriptor turns readable when it ends; without one, naps.
        pollfd end{wardenFd_.get(), POLLIN, 0};
        if (end.fd >= 0 && poll(&end, 1, milliseconds_until(giveUp)) >= 0)
            continue;
        poll(nullptr, 0, static_cast<int>(nap.count()));
        nap = std::min(nap * 2, kLongestNap);
    }
}

// Kills the warden; through its process descriptor where there is one, so
// that a host that reaped it meanwhile cannot have us hit another process.
void Run::kill_warden()
{
    int fd = wardenFd_.get();
    if (fd < 0 || syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0) != 0)
        kill(warden_, SIGKILL);
}

// Tells the warden that the run is over: it kills whatever the program left
// and exits. Reaps it within the grace; past that it is killed.
void Run::finish()
{
    // A word, and the end of the channel: should a child that the host
    // forked hold a copy of our end, the word still arrives.
    char over = 0;
    ssize_t sent = send(control_.get(), &over, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)sent;  // the warden is gone already, or the end says the same
    control_.reset();
    output_.fd.reset();
    errors_.fd.reset();
    result_.errorOutputBytes = errors_.read;
    if (await_warden(Clock::now() + kReapGrace))
        return;
    kill_warden();
    if (await_warden(Clock::now() + kReapGrace))
        return;
    result_.reaped = false;
    remember_unreaped(warden_);
}

}  // namespace

SpawnResult spawn_bounded(const SpawnRequest &request)
{
    reap_ended_children();
    SpawnResult result;
    Run run(request, result);
    if (!run.start())
        return result;
    run.follow();
    run.finish();
    return result;
}

int exit_code_of(int waitStatus)
{
    return waitStatus != -1 && WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
}

}  // namespace kx::platform
