#include "warden.h"

#include "spawner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <ctime>
#include <iterator>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_THREAD__)
#define KXS_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KXS_THREAD_SANITIZER 1
#endif
#endif

namespace kx::platform {

namespace {

// Closes the descriptors from `lowest` to `highest`, both included.
void close_span(unsigned lowest, unsigned highest)
{
    if (lowest > highest)
        return;
#ifdef SYS_close_range
    if (syscall(SYS_close_range, lowest, highest, 0) == 0)
        return;
#endif
    rlimit limit{};
    unsigned long top = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                            ? static_cast<unsigned long>(limit.rlim_cur)
                            : 65536;
    if (highest < top)
        top = highest + 1UL;
    for (unsigned long fd = lowest; fd < top; ++fd)
        close(static_cast<int>(fd));
}

}  // namespace

void close_descriptors_from(int lowest)
{
    close_span(static_cast<unsigned>(lowest), ~0U);
}

namespace warden {

namespace {

// How long the warden goes on killing descendants before it leaves the rest
// (each with SIGKILL pending) to init.
constexpr long long kGraceMs = 500;

long long now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// `fd` moved to `floor` or above, close-on-exec.
int at_or_above(int fd, int floor)
{
    if (fd < 0 || fd >= floor)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, floor);
    close(fd);
    return moved;
}

// Closes every descriptor above 2 but those in `keep` (-1 entries ignored).
void close_all_but(int *keep, std::size_t count)
{
    for (std::size_t i = 1; i < count; ++i)  // a handful: insertion sort
        for (std::size_t j = i; j > 0 && keep[j - 1] > keep[j]; --j) {
            int held = keep[j];
            keep[j] = keep[j - 1];
            keep[j - 1] = held;
        }
    unsigned next = 3;
    for (std::size_t i = 0; i < count; ++i) {
        if (keep[i] < static_cast<int>(next))
            continue;
        close_span(next, static_cast<unsigned>(keep[i]) - 1);
        next = static_cast<unsigned>(keep[i]) + 1;
    }
    close_span(next, ~0U);
}

// Whatever the host set: a handler of the host's must never run here, and
// the program starts with the default dispositions.
void default_dispositions()
{
    struct sigaction original{};
    original.sa_handler = SIG_DFL;
    sigemptyset(&original.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal)
        if (signal != SIGKILL && signal != SIGSTOP)
            sigaction(signal, &original, nullptr);  // the C library's own ones refuse: fine
}

// Puts `fd`, or /dev/null opened with `flags` when it is -1, on `target`.
bool put_on(int fd, int flags, int target)
{
    const bool opened = fd < 0;
    int from = opened ? open("/dev/null", flags) : fd;
    if (from < 0)
        return false;
    bool ok = from == target || dup2(from, target) == target;
    if (opened && from != target)
        close(from);
    return ok;
}

// Hands `fd` over at kPassedDescriptor, without close-on-exec.
bool pass_on(int fd)
{
    if (fd < 0)
        return true;
    if (fd == kPassedDescriptor)
        return fcntl(fd, F_SETFD, 0) == 0;
    return dup2(fd, kPassedDescriptor) == kPassedDescriptor;
}

// The program's child, started by the warden. `startReport` (close-on-exec,
// above kPassedDescriptor) carries errno when the program cannot be started.
[[noreturn]] void start_program(const Plan &plan, int startReport, pid_t warden)
{
    // Should the warden itself be killed, the program goes with it.
    prctl(PR_SET_PDEATHSIG, static_cast<long>(SIGKILL), 0L, 0L, 0L);
    if (getppid() != warden)
        _exit(127);
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    bool ready = put_on(plan.input, O_RDONLY, 0) &&
                 (plan.inheritOutput || put_on(plan.output, O_WRONLY, 1)) &&
                 put_on(plan.errors, O_WRONLY, 2) && pass_on(plan.passed) &&
                 pthread_sigmask(SIG_SETMASK, &none, nullptr) == 0;
    if (ready)
        execve(plan.program, plan.argv, plan.envp);
    int error = errno;
    ssize_t written = write(startReport, &error, sizeof error);
    (void)written;  // nothing more to do about it
    _exit(127);
}

struct ProgramStart {
    const Plan *plan;
    int startReport;
    pid_t warden;
};

int program_entry(void *start)
{
    const auto *what = static_cast<const ProgramStart *>(start);
    start_program(*what->plan, what->startReport, what->warden);
}

// Starts the program's child as posix_spawn does: sharing the warden's memory
// on a stack of its own, the warden held until it executes the program or
// fails, so that the host's memory is not copied once more.
pid_t spawn_program(const Plan &plan, int startReport, pid_t warden)
{
    constexpr std::size_t kStackBytes = std::size_t{256} * 1024;
    void *stack = mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED)
        return -1;
    ProgramStart start{&plan, startReport, warden};
    pid_t pid = clone(program_entry, static_cast<char *>(stack) + kStackBytes,
                      CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
    int error = errno;
    munmap(stack, kStackBytes);
    errno = error;
    return pid;
}

// Kills `pid` and, when it leads a process group, that group: a descendant
// that made a session of its own took its own processes along.
void kill_with_group(pid_t pid)
{
    kill(pid, SIGKILL);
    kill(-pid, SIGKILL);
}

// Kills every child listed in `fd`, a /proc children file ("PID PID ...").
void kill_listed(int fd)
{
    char chunk[512];
    long pid = 0;
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] >= '0' && chunk[i] <= '9') {
                pid = pid * 10 + (chunk[i] - '0');
            } else if (pid > 0) {
                kill_with_group(static_cast<pid_t>(pid));
                pid = 0;
            }
        }
    }
    if (pid > 0)
        kill_with_group(static_cast<pid_t>(pid));
}

// "/proc/self/task/SELF/children", where the kernel keeps that list.
void children_file(pid_t self, char (&path)[64])
{
    const char head[] = "/proc/self/task/";
    const char tail[] = "/children";
    std::size_t at = 0;
    for (char c : head)
        if (c)
            path[at++] = c;
    char digits[16];
    std::size_t count = 0;
    for (auto n = static_cast<unsigned long>(self); count == 0 || n; n /= 10)
        digits[count++] = static_cast<char>('0' + n % 10);
    while (count)
        path[at++] = digits[--count];
    for (char c : tail)
        path[at++] = c;  // the NUL too
}

// `text` read as a process number; -1 when it is not one.
long number_in(const char *text)
{
    long value = 0;
    for (const char *c = text; *c; ++c) {
        if (*c < '0' || *c > '9' || value > 1L << 40)
            return -1;
        value = value * 10 + (*c - '0');
    }
    return value > 0 ? value : -1;
}

// The parent of process `name` (its /proc entry), or -1.
long parent_of(int proc, const char *name)
{
    char path[40];
    std::size_t at = 0;
    for (; at < 24 && name[at]; ++at)
        path[at] = name[at];
    const char tail[] = "/stat";
    for (char c : tail)
        path[at++] = c;  // the NUL too
    int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char stat[256];
    ssize_t n = read(fd, stat, sizeof stat);
    close(fd);
    // "PID (NAME) STATE PPID ...": the name may hold anything, ")" too.
    ssize_t nameEnd = -1;
    for (ssize_t i = 0; i < n; ++i)
        if (stat[i] == ')')
            nameEnd = i;
    if (nameEnd < 0 || nameEnd + 4 >= n)
        return -1;
    long parent = 0;
    for (ssize_t i = nameEnd + 4; i < n && stat[i] >= '0' && stat[i] <= '9'; ++i)
        parent = parent * 10 + (stat[i] - '0');
    return parent;
}

// Kills every child of `self` found by reading each process's record.
void kill_children_in_proc(pid_t self)
{
    int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0)
        return;
    alignas(8) char entries[4096];
    for (;;) {
        long n = syscall(SYS_getdents64, proc, entries, sizeof entries);
        if (n <= 0)
            break;
        for (long at = 0; at < n;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(entries + at);
            at += entry->d_reclen;
            long pid = number_in(entry->d_name);
            if (pid > 0 && parent_of(proc, entry->d_name) == self)
                kill_with_group(static_cast<pid_t>(pid));
        }
    }
    close(proc);
}

// Kills every child of `self`: from the kernel's list where it keeps one,
// else from the whole process table.
void kill_children(pid_t self)
{
    char path[64];
    children_file(self, path);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        kill_children_in_proc(self);
        return;
    }
    kill_listed(fd);
    close(fd);
}

class Warden {
public:
    explicit Warden(const Plan &plan) : plan_(plan), self_(getpid()) {}

    bool start();
    void watch();
    void end_descendants();

private:
    void report(Report::Kind kind, int value) const;
    void check_start();
    bool take_signals() const;
    void collect_children();

    const Plan &plan_;
    const pid_t self_;
    pid_t program_ = -1;
    int signals_ = -1;
    int startReport_ = -1;
    bool programEnded_ = false;
    bool startFailed_ = false;
};

void Warden::report(Report::Kind kind, int value) const
{
    Report message{kind, value};
    while (write(plan_.reports, &message, sizeof message) < 0 && errno == EINTR) {
    }
}

// Starts the program; false after reporting why it could not be.
bool Warden::start()
{
    // Whatever the program starts comes to the warden when its parent dies.
    prctl(PR_SET_CHILD_SUBREAPER, 1L, 0L, 0L, 0L);
    sigset_t wake;
    sigemptyset(&wake);
    for (int signal : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&wake, signal);
    signals_ = at_or_above(signalfd(-1, &wake, SFD_CLOEXEC | SFD_NONBLOCK), 3);
    int ends[2] = {-1, -1};
    if (signals_ < 0 || pipe2(ends, O_CLOEXEC) != 0) {
        report(Report::NotStarted, errno);
        return false;
    }
    // Above kPassedDescriptor, which the program's child fills.
    startReport_ = at_or_above(ends[0], kPassedDescriptor + 1);
    int startWrite = at_or_above(ends[1], kPassedDescriptor + 1);
    program_ = startReport_ >= 0 && startWrite >= 0 ? spawn_program(plan_, startWrite, self_) : -1;
    int error = errno;
    // The program holds its ends now: the parent sees the end of its
    // output when the program and its descendants are done with it.
    for (int fd : {startWrite, plan_.input, plan_.inheritOutput ? -1 : plan_.output, plan_.errors,
                   plan_.passed})
        if (fd >= 0)
            close(fd);
    if (program_ < 0) {
        report(Report::NotStarted, error);
        return false;
    }
    return true;
}

// Reads whether the program was started: errno from its child, or nothing
// once the program runs.
void Warden::check_start()
{
    int error = 0;
    ssize_t n;
    while ((n = read(startReport_, &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (n == static_cast<ssize_t>(sizeof error)) {
        startFailed_ = true;
        report(Report::NotStarted, error);
    }
    close(startReport_);
    startReport_ = -1;
}

// Empties the signal queue; true when a signal other than SIGCHLD came (one
// that asks the warden to end, as the parent's word does).
bool Warden::take_signals() const
{
    signalfd_siginfo info{};
    bool asked = false;
    while (read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        asked = asked || info.ssi_signo != SIGCHLD;
    return asked;
}

// Reaps every child that ended; the program's end goes to the parent.
void Warden::collect_children()
{
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG | WUNTRACED);
        if (pid <= 0)
            return;  // none ended, or none left
        if (pid != program_ || programEnded_)
            continue;  // one the program left behind
        if (WIFSTOPPED(status)) {
            if (!startFailed_)
                report(Report::Stopped, 0);
            continue;
        }
        programEnded_ = true;
        if (startReport_ >= 0)
            check_start();  // its child is gone: this read does not wait
        if (!startFailed_)
            report(Report::Ended, status);
    }
}

// Until the parent's word (a byte, or the end of its pipe) or a signal that
// asks to end.
void Warden::watch()
{
    for (;;) {
        pollfd watched[] = {{plan_.control, POLLIN, 0}, {signals_, POLLIN, 0},
                            {startReport_, POLLIN, 0}};
        if (poll(watched, startReport_ >= 0 ? 3 : 2, -1) < 0 && errno != EINTR)
            return;
        if (startReport_ >= 0 && watched[2].revents)
            check_start();
        bool asked = watched[0].revents != 0;
        if (watched[1].revents && take_signals())
            asked = true;
        collect_children();
        if (asked)
            return;
    }
}

// Kills the program (its process group too) if it still runs, then, round
// after round, every child: a descendant whose parent is killed becomes the
// warden's child in its turn. Done when no child is left, or after the grace.
void Warden::end_descendants()
{
    if (program_ > 0 && !programEnded_)
        kill_with_group(program_);
    const long long giveUp = now_ms() + kGraceMs;
    for (;;) {
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        }
        if (pid < 0)
            return;  // no child left
        kill_children(self_);
        long long left = giveUp - now_ms();
        if (left <= 0)
            return;
        pollfd child{signals_, POLLIN, 0};
        poll(&child, 1, static_cast<int>(left < 10 ? left : 10));
        take_signals();
    }
}

}  // namespace

pid_t fork_process()
{
#ifdef KXS_THREAD_SANITIZER
    return fork();  // ThreadSanitizer keeps its own state sound across fork() only
#else
    return _Fork();
#endif
}

void run(const Plan &plan)
{
    default_dispositions();
    int keep[] = {plan.control, plan.reports, plan.input, plan.inheritOutput ? -1 : plan.output,
                  plan.errors, plan.passed};
    close_all_but(keep, std::size(keep));
    // Nothing the warden itself might say (a sanitizer's warnings, say)
    // reaches the host's error output; the program gets its own.
    if (std::find(std::begin(keep), std::end(keep), 2) == std::end(keep))
        put_on(-1, O_WRONLY, 2);
    Warden warden(plan);
    if (warden.start())
        warden.watch();
    warden.end_descendants();
    _exit(0);
}

}  // namespace warden

}  // namespace kx::platform
