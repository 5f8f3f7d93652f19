// The child-command runner: one child at a time, raw wait status, and idle
// again after every failure.
#include "kxsutil.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string read_all(FILE *stream)
{
    std::string out;
    char line[128];
    while (fgets(line, sizeof line, stream))
        out += line;
    return out;
}

// The runner is idle when a new child can be started.
void expect_idle()
{
    FILE *s = kx::kxs_safe_popen("print idle", "r");
    ASSERT_NE(s, nullptr) << "runner still busy";
    EXPECT_EQ(read_all(s), "idle\n");
    EXPECT_EQ(kx::kxs_safe_pclose(s), 0);
}

TEST(ChildRunner, ReadsOutputAndReturnsTheRawWaitStatus)
{
    FILE *s = kx::kxs_safe_popen("print one; print -n two; exit 3", "r");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(read_all(s), "one\ntwo");  // a last line without newline still arrives
    int status = kx::kxs_safe_pclose(s);
    EXPECT_EQ((status >> 8) & 0xff, 3);
    EXPECT_TRUE(WIFEXITED(status));
    expect_idle();
}

TEST(ChildRunner, WritingModeFeedsTheChildsInput)
{
    kxtest::TestRoot root;
    std::string path = root.at("/written");
    FILE *s = kx::kxs_safe_popen(("cat > " + path).c_str(), "w");
    ASSERT_NE(s, nullptr);
    fputs("to the child\n", s);
    EXPECT_EQ(kx::kxs_safe_pclose(s), 0);
    EXPECT_EQ(root.read("/written"), "to the child\n");
}

TEST(ChildRunner, SecondOpenIsRefusedWhileAChildRuns)
{
    FILE *first = kx::kxs_safe_popen("print first", "r");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(kx::kxs_safe_popen("print second", "r"), nullptr);
    EXPECT_EQ(read_all(first), "first\n");  // the first stream stays usable
    EXPECT_EQ(kx::kxs_safe_pclose(first), 0);
    expect_idle();
}

TEST(ChildRunner, CloseWithoutStreamWaitsForTheChild)
{
    EXPECT_EQ(kx::kxs_safe_pclose(nullptr), -1);  // no child
    FILE *s = kx::kxs_safe_popen("exit 5", "r");
    ASSERT_NE(s, nullptr);
    fclose(s);
    int status = kx::kxs_safe_pclose(nullptr);
    EXPECT_EQ((status >> 8) & 0xff, 5);
    expect_idle();
}

TEST(ChildRunner, FailedFdopenLeavesTheRunnerIdle)
{
    // "r+" asks for a read-write stream over a read-only pipe end.
    EXPECT_EQ(kx::kxs_safe_popen("print never", "r+"), nullptr);
    expect_idle();
}

TEST(ChildRunner, DescriptorsFrom256AreRefused)
{
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 300)
        GTEST_SKIP() << "descriptor limit below 300";
    // Occupy every free descriptor below 256, so that the pipe lands above.
    int devnull = open("/dev/null", O_RDONLY);
    ASSERT_GE(devnull, 0);
    std::vector<int> held;
    for (int fd = 3; fd < 256; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && dup2(devnull, fd) == fd)
            held.push_back(fd);
    EXPECT_EQ(kx::kxs_safe_popen("print x", "r"), nullptr);
    for (int fd : held)
        close(fd);
    close(devnull);
    expect_idle();
}

TEST(ChildRunner, MissingShellShowsAsExitCode127)
{
    // Only the real /bin/ksh is ever run; hide it in a private mount
    // namespace, in a child process, so the rest of the suite keeps it.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("/dev/null", "/bin/ksh", nullptr, MS_BIND, nullptr) != 0)
            _exit(77);
        FILE *s = kx::kxs_safe_popen("print unreachable", "r");
        if (!s)
            _exit(10);
        int status = kx::kxs_safe_pclose(s);
        _exit((status >> 8) & 0xff);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no private mount namespace here (needs root)";
    EXPECT_EQ(WEXITSTATUS(status), 127);
}

}  // namespace
