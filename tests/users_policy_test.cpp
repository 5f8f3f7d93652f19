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

#include <filesystem>
#include <sys/stat.h>
#include <string>
#include <tuple>
#include <vector>

namespace {

using kx::Outcome;

TEST(UsersAndDesktops, CountTheRecordsOrReportTheFailure)
{
    const auto group = kxtest::status_blocks({
        {"terminalCID=c1", "tokenName=t1"},
        {"terminalCID=h0", "tokenName=t2", "MultiheadGroupName=g", "MultiheadPrimary=true"},
        {"terminalCID=h1", "tokenName=t3", "MultiheadGroupName=g", "MultiheadPrimary=false"},
    });
    const std::tuple<Outcome, int32_t, uint32_t, const char *> cases[] = {  // message after a name
        {Outcome::Complete, 3, 2, nullptr},
        {Outcome::OpenFailed, 0, 0, "(): Failed to open socket"},
        {Outcome::Unreachable, 0, 0, "(): Server unreachable"},
    };
    KXSHandle handle{};
    handle.rep.hostname = "kxtest-host";
    for (const auto &[outcome, desktops, users, message] : cases) {
        kxtest::ScriptedTransport transport;
        transport.lines = group;
        transport.outcome = outcome;
        kxtest::DiagnosticsCapture log;
        EXPECT_EQ(kxs_desktops(&handle), desktops);
        EXPECT_EQ(kxs_users(&handle), users);
        for (const char *name : {"kxs_desktops", "kxs_users"})
            EXPECT_EQ(log.contains(std::string(name) + (message ? message : "(): ")), !!message)
                << name << log.all();
    }
    EXPECT_EQ(kxs_desktops(nullptr), 0);
    EXPECT_EQ(kxs_users(nullptr), 0u);
}

// A tool's error output never reaches the host's: a flood of it is cut at the
// output bound and its first line goes to the diagnostics.
TEST(Policy, IsTheToolsTextOrTheOptionsOfItsCommandLine)
{
    const struct {
        const char *output;  // nullptr: no tool
        const char *policy;  // nullptr: none
        const char *end = "exit 0\n";
        bool planted = false;  // in a directory anyone may write to: another could have put it
        std::vector<const char *> logged = {};  // parts of the diagnostics
    } cases[] = {
        {"# the policy\n/opt/ZARNkx/sbin/kxpolicy -z pseudo -s both\n", " -z pseudo -s both"},
        {"card users only\n", "card users only", "exit 2\n"},  // its exit code is not examined
        {"# nothing but comments\n", ""},
        {"/opt/ZARNkx/sbin/kxpolicy\n", nullptr},
        {"card users only\n", nullptr, "kill -SEGV $$\n"},  // perhaps only part of it
        {nullptr, nullptr, "", false, {"Error obtaining local policy!"}},
        {"card users only\n", nullptr, "exit 0\n", true},  // not run
        {"card users only\n", nullptr,  // past the bound, and killed
         "print -u2 'kxpolicy: no policy store'\nhead -c 10000000 /dev/zero >&2\n", false,
         {"to its error output, first: kxpolicy: no policy store",
          "bytes to its error output and was killed"}},
    };
    kxtest::TestRoot scratch;
    int caught = open(scratch.at("/stderr").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    int saved = dup(2);
    ASSERT_TRUE(caught >= 0 && saved >= 0);
    fflush(stderr);
    dup2(caught, 2);
    for (const auto &c : cases) {
        const std::string what = std::string(c.output ? c.output : "no tool\n") + c.end;
        kxtest::TestRoot root;
        if (c.output)
            root.write(kx::kPolicyTool, "touch '" + root.at("/ran") + "'\ncat <<'POLICY'\n" +
                                            c.output + "POLICY\n" + c.end, 0755);
        if (c.planted)
            chmod(root.at("/opt/ZARNkx/sbin").c_str(), 0777);
        kxtest::DiagnosticsCapture log;
        auto start = std::chrono::steady_clock::now();
        std::string policy = kxtest::owned(kxs_policy(nullptr));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << what;
        EXPECT_EQ(policy, c.policy ? c.policy : "<null>") << what << c.planted;
        EXPECT_EQ(std::filesystem::exists(root.at("/ran")), c.output && !c.planted) << what;
        for (const char *part : c.logged)
            EXPECT_TRUE(log.contains(part)) << log.all();
    }
    dup2(saved, 2);
    close(saved);
    EXPECT_LT(lseek(caught, 0, SEEK_END), 1024);
    close(caught);
}

}  // namespace
