// Users and desktops over scripted "status" records; the policy from a tool.
#include "diagnostics_capture.h"
#include "kxsinit.h"
#include "kxssystem.h"
#include "scripted_transport.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <string>

namespace {

using kx::Outcome;

TEST(UsersAndDesktops, CountTheRecordsOrReportTheFailure)
{
    const auto group = kxtest::status_blocks({
        {"terminalCID=c1", "tokenName=t1"},
        {"terminalCID=h0", "tokenName=t2", "MultiheadGroupName=g", "MultiheadPrimary=true"},
        {"terminalCID=h1", "tokenName=t3", "MultiheadGroupName=g", "MultiheadPrimary=false"},
    });
    const struct {
        Outcome outcome;
        int32_t desktops;
        uint32_t users;
        const char *message;  // of each count, after its name
    } cases[] = {
        {Outcome::Complete, 3, 2, nullptr},
        {Outcome::OpenFailed, 0, 0, "(): Failed to open socket"},
        {Outcome::Unreachable, 0, 0, "(): Server unreachable"},
    };
    KXSHandle handle{};
    handle.rep.hostname = "kxtest-host";
    for (const auto &c : cases) {
        kxtest::ScriptedTransport transport;
        transport.lines = group;
        transport.outcome = c.outcome;
        kxtest::DiagnosticsCapture log;
        EXPECT_EQ(kxs_desktops(&handle), c.desktops);
        EXPECT_EQ(kxs_users(&handle), c.users);
        for (const char *name : {"kxs_desktops", "kxs_users"})
            EXPECT_EQ(log.contains(std::string(name) + (c.message ? c.message : "(): ")),
                      c.message != nullptr)
                << name << log.all();
    }
    EXPECT_EQ(kxs_desktops(nullptr), 0);
    EXPECT_EQ(kxs_users(nullptr), 0u);
}

TEST(Policy, IsTheToolsTextOrTheOptionsOfItsCommandLine)
{
    const struct {
        const char *output;  // nullptr: no tool
        const char *policy;  // nullptr: none
        const char *end = "exit 0\n";
        bool planted = false;  // in a directory anyone may write to: another could have put it
    } cases[] = {
        {"# the policy\n/opt/ZARNkx/sbin/kxpolicy -z pseudo -s both\n", " -z pseudo -s both"},
        {"card users only\n", "card users only"},
        {"card users only\n", "card users only", "exit 2\n"},  // its exit code is not examined
        {"# nothing but comments\n", ""},
        {"/opt/ZARNkx/sbin/kxpolicy\n", nullptr},
        {"card users only\n", nullptr, "kill -SEGV $$\n"},  // perhaps only part of it
        {nullptr, nullptr},
        {"card users only\n", nullptr, "exit 0\n", true},  // not run
    };
    for (const auto &c : cases) {
        const std::string what = std::string(c.output ? c.output : "no tool\n") + c.end +
                                 (c.planted ? "planted" : "");
        kxtest::TestRoot root;
        const std::string ran = root.at("/ran");
        if (c.output)
            root.write(kx::kPolicyTool, "touch '" + ran + "'\ncat <<'POLICY'\n" + c.output +
                                            "POLICY\n" + c.end, 0755);
        if (c.planted)
            chmod(root.at("/opt/ZARNkx/sbin").c_str(), 0777);
        kxtest::DiagnosticsCapture log;
        char *policy = kxs_policy(nullptr);
        if (c.policy)
            EXPECT_STREQ(policy, c.policy) << what;
        else
            EXPECT_EQ(policy, nullptr) << what;
        free(policy);
        EXPECT_EQ(std::filesystem::exists(ran), c.output && !c.planted) << what;
        EXPECT_TRUE(c.output || log.contains("Error obtaining local policy!")) << log.all();
    }
}

// A tool's error output never reaches the host's: a flood of it is cut at
// the output bound and its first line goes to the diagnostics.
TEST(Policy, AToolsErrorOutputStaysOffTheHostsAndWithinTheBound)
{
    kxtest::TestRoot root;
    root.write(kx::kPolicyTool,
               "print -u2 'kxpolicy: no policy store'\n"
               "head -c 10000000 /dev/zero >&2\nprint card users only\n",
               0755);
    const std::string caught = root.at("/stderr");
    int file = open(caught.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int saved = dup(2);
    ASSERT_TRUE(file >= 0 && saved >= 0);
    fflush(stderr);
    dup2(file, 2);
    kxtest::DiagnosticsCapture diag;
    auto start = std::chrono::steady_clock::now();
    char *policy = kxs_policy(nullptr);
    auto took = std::chrono::steady_clock::now() - start;
    dup2(saved, 2);
    close(saved);
    close(file);
    EXPECT_EQ(policy, nullptr);  // it went past the bound and was killed
    free(policy);
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_LT(std::filesystem::file_size(caught), 1024u);
    EXPECT_TRUE(diag.contains("to its error output, first: kxpolicy: no policy store"))
        << diag.all();
    EXPECT_TRUE(diag.contains("bytes to its error output and was killed")) << diag.all();
}

}  // namespace
