// Child commands: the runner's contract, hostile tools, a host that starts or
// reaps children of its own, and the reachability probe.
#include "diagnostics_capture.h"
#include "kxssystem.h"
#include "kxsutil.h"
#include "ping.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string read_all(FILE *stream)
{
    std::string out;
    for (int c; stream && (c = fgetc(stream)) != EOF;)
        out += static_cast<char>(c);
    return out;
}

// Runs `command` through the runner: its output and exit code (-1: failed).
std::pair<std::string, int> run(const std::string &command)
{
    FILE *s = kx::kxs_safe_popen(command.c_str(), "r");
    std::string out = read_all(s);
    int status = s ? kx::kxs_safe_pclose(s) : -1;
    return {out, status == -1 ? -1 : (status >> 8) & 0xff};
}

// A product root whose patch lister runs `body`.
struct ListerRoot : kxtest::TestRoot {
    explicit ListerRoot(const std::string &body)
    {
        write("/var/sadm/pkg/ZARNkxo/pkginfo", "BASEDIR=/opt\n");
        write("/opt/ZARNkx/lib/kxspatches", "#!/bin/ksh\n" + body, 0755);
    }
};

std::string patches()
{
    return kxtest::owned(kx::getPatches(kx::kPatchKey));
}

// Runs `body` in a child process with private namespaces; its result, or 77
// when none can be made (that needs root).
int in_namespaces(int flags, int (*body)())
{
    pid_t pid = fork();
    bool isolated = pid == 0 && unshare(flags) == 0 &&
                    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    if (pid == 0)
        _exit(isolated ? body() : 77);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ChildRunner, StreamsStatusesOutstandingCommandsAndNoHostDescriptor)
{
    EXPECT_EQ(run("print one; print -n two; exit 3"), std::make_pair(std::string("one\ntwo"), 3));
    FILE *first = kx::kxs_safe_popen("print first", "r");
    FILE *second = kx::kxs_safe_popen("exit 4", "r");  // both outstanding at once
    ASSERT_TRUE(first && second);
    EXPECT_EQ(read_all(first), "first\n");
    EXPECT_EQ(kx::kxs_safe_pclose(first), 0);
    fclose(second);  // closed by the caller: NULL names the one outstanding command
    EXPECT_EQ((kx::kxs_safe_pclose(nullptr) >> 8) & 0xff, 4);
    EXPECT_EQ(kx::kxs_safe_pclose(nullptr), -1);
    kxtest::TestRoot root;
    FILE *s = kx::kxs_safe_popen(("cat > " + root.at("/written")).c_str(), "w");
    ASSERT_NE(s, nullptr);
    fputs("to the child\n", s);
    EXPECT_EQ(kx::kxs_safe_pclose(s), 0);
    EXPECT_EQ(root.read("/written"), "to the child\n");

    // No descriptor of the host reaches the child: one without close-on-exec, as a
    // careless host has, copied into every free slot below 256, so the runner's land above.
    std::string marker = root.write("/marker", "");
    int fd = open(marker.c_str(), O_RDONLY);
    std::vector<int> held{fd};
    for (int n = 3; n < 256; ++n)
        if (fcntl(n, F_GETFD) < 0 && dup2(fd, n) == n)
            held.push_back(n);
    auto [fds, code] = run("ls -l /proc/$$/fd");
    for (int n : held)
        close(n);
    EXPECT_EQ(code, 0);
    EXPECT_NE(fds.find("0 -> /dev/null"), std::string::npos) << fds;
    EXPECT_EQ(fds.find(marker), std::string::npos) << fds;

    int noShell = in_namespaces(CLONE_NEWNS, [] {
        return mount("/dev/null", "/bin/ksh", nullptr, MS_BIND, nullptr) ? 77 : run("print").second;
    });
    EXPECT_TRUE(noShell == 127 || noShell == 77) << noShell;  // 77: no namespace here
}

// A descendant that leaves the tool's process group and session still ends
// with the tool's run, whether it holds the output or not.
TEST(ChildRunner, HostileToolsFailWithinTheBoundsAndLeaveNoProcess)
{
    const std::string away = "setsid sh -c 'sleep 31'";
    const struct {
        const char *name;
        std::string body;
        const char *diagnostic, *result;
    } tools[] = {
        {"sleeps", "sleep 1000\n", "ran longer than 1500 ms", "<null>"},
        {"floods", "while :; do print 0123456789abcdef; done\n", "printed more than 65536",
         "<null>"},
        {"leaves a grandchild", "sleep 1000 &\nprint 1-01\n", "held its output open past 300 ms",
         "<null>"},
        {"leaves a session holding the output", away + " &\nsleep 0.2\nprint 1-01\n",
         "held its output open past 300 ms", "<null>"},
        {"leaves a session not holding it", away + " >/dev/null 2>&1 &\nsleep 0.2\nprint 1-01\n",
         nullptr, "1-01"},
    };
    auto peak_kib = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_maxrss;
    };
    kx::set_tool_limits({1500ms, std::size_t{64} * 1024, 300ms});
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (const auto &tool : tools) {
        SCOPED_TRACE(tool.name);
        ListerRoot root(tool.body);
        kxtest::DiagnosticsCapture diag;
        long peakBefore = peak_kib();
        auto start = Clock::now();
        EXPECT_EQ(patches(), tool.result);
        EXPECT_LT(Clock::now() - start, 3s);
        EXPECT_LT(peak_kib() - peakBefore, 16 * 1024);
        if (tool.diagnostic) {
            EXPECT_TRUE(diag.contains(tool.diagnostic)) << diag.all();
        }
        // All gone within a second: the test, as subreaper, inherits every orphan
        // and is left without a child once they are killed and reaped.
        const auto end = Clock::now() + std::chrono::seconds(1);
        bool gone = false;
        for (; !gone && Clock::now() < end; usleep(9000))
            gone = waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
        EXPECT_TRUE(gone);
    }
    kx::set_tool_limits({});
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST(ChildRunner, HostThreadsStartingChildrenDoNotStallQueries)
{
    std::atomic<bool> stop{false};
    std::thread host([&stop] {  // children of the host's own, started without care for descriptors
        std::vector<pid_t> started;
        char *const argv[] = {const_cast<char *>("sleep"), const_cast<char *>("2"), nullptr};
        for (pid_t pid; !stop; std::this_thread::sleep_for(2ms))
            if (posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, argv, environ) == 0)
                started.push_back(pid);
        for (pid_t pid : started) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    });
    std::atomic<int> slowOrWrong{0};
    auto queries = [&slowOrWrong](int code) {
        for (int i = 0; i < 8; ++i) {
            auto start = Clock::now();
            auto result = run("print " + std::to_string(code) + "; exit " + std::to_string(code));
            std::pair<std::string, int> expected{std::to_string(code) + "\n", code};
            slowOrWrong += result != expected || Clock::now() - start > std::chrono::seconds(1);
        }
    };
    std::thread other(queries, 2);
    queries(1);
    other.join();
    stop = true;
    host.join();
    EXPECT_EQ(slowOrWrong, 0);
}

TEST(ChildRunner, ChildrenReapedByTheHostGiveAnHonestResult)
{
    void (*steal)(int) = [](int) {  // reaps every child, as a careless handler does
        int saved = errno;
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        errno = saved;
    };
    for (auto handler : {SIG_IGN, steal}) {
        struct sigaction mine{}, saved{};
        mine.sa_handler = handler;
        sigaction(SIGCHLD, &mine, &saved);
        kxtest::DiagnosticsCapture diag;
        // A failing lister's status is not lost to the host either.
        for (const auto &[body, result] : {std::pair{"print 1-01\nprint 2-02\n", "1-01, 2-02"},
                                           std::pair{"print 1-01\nexit 3\n", "<null>"}}) {
            ListerRoot root(body);
            EXPECT_EQ(patches(), result);
        }
        EXPECT_EQ(kx::ping_host_by_program("127.0.0.1"), 0);
        sigaction(SIGCHLD, &saved, nullptr);
        EXPECT_FALSE(diag.contains("was lost")) << diag.all();
    }
    // A network of its own has loopback down: no answer, whoever reaps the probe.
    int unanswered = in_namespaces(CLONE_NEWNET | CLONE_NEWNS, [] {
        int withStatus = kx::ping_host_by_program("127.0.0.1");
        signal(SIGCHLD, SIG_IGN);
        return withStatus != 0 && kx::ping_host_by_program("127.0.0.1") != 0 ? 0 : 1;
    });
    EXPECT_TRUE(unanswered == 0 || unanswered == 77) << unanswered;  // 77: no namespace here
}

// A root-owned link to a directory below another user's: that user could swap
// what the link reaches, so the tool there is not run, nor a missing tool. The
// tool that runs is the one that was checked: a link re-pointed between the
// check and the start cannot slip another in.
TEST(ChildRunner, AToolReachedThroughAnotherUsersDirectoryIsNotRun)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a directory to another user needs root";
    kxtest::TestRoot root;
    root.write("/var/sadm/pkg/ZARNkxo/pkginfo", "BASEDIR=/opt\n");
    root.write("/trusted/lib/kxspatches", "#!/bin/ksh\nprint 1-01\n", 0755);
    const std::string theirs = "#!/bin/ksh\n: > " + root.at("/ran") + "\nprint 1-01\n";
    root.write("/theirs/real/lib/kxspatches", theirs, 0755);
    ASSERT_EQ(chown(root.at("/theirs").c_str(), 65534, 65534), 0);
    ASSERT_EQ(symlink(root.at("/theirs/real").c_str(), root.at("/hop").c_str()), 0);
    root.make_dir("/opt");
    const struct {
        const char *what, *target;  // the target is relative to the test root
        const char *refusal;        // nullptr: it runs
    } cases[] = {
        {"absolute link into a trusted directory", "/trusted", nullptr},
        {"absolute link below another user's directory", "/theirs/real", "owned by another user"},
        {"relative link below another user's directory", "../theirs/real", "owned by another user"},
        {"link to a link below another user's directory", "/hop", "owned by another user"},
        {"link to a directory without the tool", "/trusted/lib", "kxspatches not run: "},
    };
    const std::string product = root.at("/opt/ZARNkx");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(product);
        std::string target = c.target[0] == '/' ? root.at(c.target) : c.target;
        ASSERT_EQ(symlink(target.c_str(), product.c_str()), 0);
        kxtest::DiagnosticsCapture diag;
        EXPECT_EQ(patches(), c.refusal ? "<null>" : "1-01");
        EXPECT_FALSE(std::filesystem::exists(root.at("/ran")));
        EXPECT_EQ(diag.contains("not run: "), c.refusal != nullptr) << diag.all();
        if (c.refusal) {
            EXPECT_TRUE(diag.contains(c.refusal)) << diag.all();
        }
        EXPECT_FALSE(diag.contains("/bin/ksh")) << diag.all();  // refused, not started
    }

    std::atomic<bool> stop{false};
    std::thread flipper([&] {  // swaps the product directory's link to and fro
        for (unsigned flip = 0; !stop; ++flip) {
            std::string target = root.at(flip % 2 ? "/theirs/real" : "/trusted");
            std::filesystem::create_symlink(target, root.at("/next"));
            std::filesystem::rename(root.at("/next"), product);
            // Pauses of varied length, so that some runs see one link throughout
            // and others see it change under them.
            std::this_thread::sleep_for(std::chrono::microseconds(flip % 7 * 150));
        }
    });
    int ran = 0;
    auto deadline = Clock::now() + std::chrono::seconds(20);
    for (int i = 0; (i < 200 || ran == 0) && Clock::now() < deadline; ++i)
        ran += patches() == "1-01";
    stop = true;
    flipper.join();
    EXPECT_FALSE(std::filesystem::exists(root.at("/ran")));
    EXPECT_GT(ran, 0);
}

}  // namespace
