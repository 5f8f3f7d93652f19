// Users and desktops over scripted "status" records; the policy from a tool.
#include "diagnostics_capture.h"
#include "kxsinit.h"
#include "kxssystem.h"
#include "scripted_transport.h"
#include "test_root.h"

#include <gtest/gtest.h>

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
    char host[] = "kxtest-host";
    handle.hostname = host;
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
        const char *output;
        const char *policy;  // nullptr: none
    } cases[] = {
        {"# the policy\n/opt/ZARNkx/sbin/kxpolicy -z pseudo -s both\n", " -z pseudo -s both"},
        {"card users only\n", "card users only"},
        {"# nothing but comments\n", ""},
        {"/opt/ZARNkx/sbin/kxpolicy\n", nullptr},
    };
    for (const auto &c : cases) {
        kxtest::TestRoot root;
        root.write(kx::kPolicyTool, std::string("cat <<'POLICY'\n") + c.output + "POLICY\n", 0755);
        char *policy = kxs_policy(nullptr);
        if (c.policy)
            EXPECT_STREQ(policy, c.policy) << c.output;
        else
            EXPECT_EQ(policy, nullptr) << c.output;
        free(policy);
    }
    kxtest::TestRoot empty;
    kxtest::DiagnosticsCapture log;
    EXPECT_EQ(kxs_policy(nullptr), nullptr);
    EXPECT_TRUE(log.contains("Error obtaining local policy!")) << log.all();

    // A tool that another user could have put in place is not run.
    kxtest::TestRoot planted;
    const std::string marker = planted.at("/ran");
    planted.write(kx::kPolicyTool, "touch '" + marker + "'\necho policy\n", 0755);
    chmod(planted.at("/opt/ZARNkx/sbin").c_str(), 0777);
    EXPECT_EQ(kxs_policy(nullptr), nullptr);
    EXPECT_FALSE(std::filesystem::exists(marker));
}

}  // namespace
