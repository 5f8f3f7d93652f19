// The session-manager and authentication-manager status clients against
// fake daemons on the real ports, inside the network sandbox.
#include "diagnostics_capture.h"
#include "fake_daemon.h"
#include "kxerrno.h"
#include "kxsutil.h"
#include "ping.h"
#include "session_mgr.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using kxtest::FakeDaemon;
using kxtest::ScriptedReply;

class DaemonClients : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!kxtest::in_network_sandbox())
            GTEST_SKIP() << "needs the network sandbox (tests/support/netsandbox)";
        kx::set_gdebug("*");
    }
    void TearDown() override
    {
        kx::set_gdebug(nullptr);
        kx::set_reply_limits(kx::ReplyLimits{});
    }

    kxtest::DiagnosticsCapture diagnostics;
};

struct SmRecord {
    kx::SMStatus *rec = kx::allocate_smstatus();
    ~SmRecord() { kx::free_smstatus(rec); }
};

struct AmResult {
    kx::AMStatus *status = nullptr;
    int rc = 0;
    explicit AmResult(const char *host) { rc = kx::kxs_get_amstatus(host, &status); }
    ~AmResult() { free(status); }
};

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(DaemonClients, SessionManagerAnswerSplitAcrossWritesOnTheFallbackPort)
{
    FakeDaemon daemon("127.0.0.1", 7007);
    ScriptedReply reply;
    reply.bytes = "OK/smstatus stime=1000 sessions=3 connected=2 auth=1\ntrailing without feed";
    reply.splitAt = {5, 17, 18};
    reply.delayMs = 20;
    daemon.on("smstatus", reply);
    SmRecord s;
    EXPECT_EQ(kx::get_smstatus(nullptr, "localhost", &s.rec), 0);
    EXPECT_EQ(s.rec->starttime, 1000);
    EXPECT_EQ(s.rec->sessions, 3);
    EXPECT_EQ(s.rec->connected, 2);
    EXPECT_EQ(s.rec->auth, 1);
    EXPECT_EQ(daemon.commands(), (std::vector<std::string>{"smstatus\n"}));
    EXPECT_TRUE(diagnostics.has("get_smstatus(): Could not find service (kxsessiond)\n"));
    EXPECT_TRUE(diagnostics.has("get_smstatus(): Using hard-coded port (7007)\n"));
    EXPECT_TRUE(diagnostics.has("(b) opening localhost:7007\n"));
}

TEST_F(DaemonClients, SessionManagerErrorAndEmptyRepliesAreNotFailures)
{
    FakeDaemon daemon("127.0.0.1", 7007);
    daemon.on("smstatus", "ERR/smstatus nosessions here\n");
    SmRecord err;
    EXPECT_EQ(kx::get_smstatus(nullptr, "127.0.0.1", &err.rec), 0);
    ASSERT_NE(err.rec->error, nullptr);
    EXPECT_STREQ(err.rec->error, "nosessions");
    EXPECT_EQ(err.rec->starttime, 0);

    daemon.on("smstatus", "");
    SmRecord empty;
    EXPECT_EQ(kx::get_smstatus(nullptr, "127.0.0.1", &empty.rec), 0);
    EXPECT_EQ(empty.rec->starttime, 0);
    EXPECT_EQ(empty.rec->error, nullptr);
}

TEST_F(DaemonClients, SessionManagerFailures)
{
    SmRecord s;
    EXPECT_EQ(kx::get_smstatus(nullptr, nullptr, &s.rec), -1);
    EXPECT_TRUE(diagnostics.has("get_smstatus(): First and second args are NULL pointers\n"));

    EXPECT_EQ(kx::get_smstatus(nullptr, "127.0.0.1", &s.rec), -1);  // nobody listens
    EXPECT_TRUE(diagnostics.has("open_socket(): Could not connect - Connection refused\n"));
    EXPECT_TRUE(diagnostics.has("socket : Error connecting - Connection refused."));
    EXPECT_TRUE(diagnostics.has("get_smstatus(): Could not open socket to 127.0.0.1:7007\n"));

    EXPECT_EQ(kx::get_smstatus(nullptr, "no-such-host.invalid", &s.rec), -1);
    EXPECT_TRUE(diagnostics.has("open_socket(): Could not get host by name (no-such-host.invalid)\n"));
    EXPECT_TRUE(diagnostics.has("socket : Error getting host by name (no-such-host.invalid)."));

    FakeDaemon silent("127.0.0.1", 7007);
    ScriptedReply nothing;
    nothing.silent = true;
    silent.on("smstatus", nothing);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kx::get_smstatus(nullptr, "127.0.0.1", &s.rec), -1);
    EXPECT_GE(seconds_since(start), 4.9);
    EXPECT_TRUE(diagnostics.has("get_smstatus(): Poll timed out\n"));
}

TEST_F(DaemonClients, ServiceKnownToTheNameServiceGivesItsPort)
{
    char path[] = "/tmp/kxservices.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << "kxsessiond\t7107/tcp\nkxauthd-cb\t7110/tcp\n";
    ASSERT_EQ(mount(path, "/etc/services", nullptr, MS_BIND, nullptr), 0);
    unlink(path);

    FakeDaemon sessions("127.0.0.1", 7107);
    sessions.on("smstatus", "OK/smstatus stime=77\n");
    FakeDaemon auth("127.0.0.1", 7110);
    auth.on("amstatus", "starttime=88\n");
    SmRecord s;
    EXPECT_EQ(kx::get_smstatus(nullptr, "127.0.0.1", &s.rec), 0);
    EXPECT_EQ(s.rec->starttime, 77);
    AmResult am("127.0.0.1");
    ASSERT_EQ(am.rc, 0);
    EXPECT_EQ(am.status->starttime, 88u);
    EXPECT_FALSE(diagnostics.contains("Could not find service"));
    umount("/etc/services");
}

TEST_F(DaemonClients, AuthenticationManagerStatusFromAGroupMemberByName)
{
    FakeDaemon daemon(kxtest::member_address(3), 7010);
    daemon.on("amstatus", "starttime=0x10\n# comment\ndesktops=7\ncolour=blue\n");
    AmResult am(kxtest::member_name(3).c_str());
    ASSERT_EQ(am.rc, 0);
    ASSERT_NE(am.status, nullptr);
    EXPECT_EQ(am.status->starttime, 16u);
    EXPECT_EQ(am.status->desktops, 7);
    EXPECT_EQ(daemon.commands(), (std::vector<std::string>{"amstatus\n"}));
    EXPECT_TRUE(diagnostics.has("kxs_get_amstatus(): Using hard-coded port (7010)\n"));
    EXPECT_TRUE(diagnostics.has("(s) amstatus starttime=16 desktops=7\n"));
}

TEST_F(DaemonClients, AuthenticationManagerFailureCodesLeaveNoRecord)
{
    {
        AmResult unreachable("no-such-host.invalid");
        EXPECT_EQ(unreachable.rc, KX_EUNREACHABLE);
        EXPECT_EQ(unreachable.status, nullptr);
        EXPECT_TRUE(diagnostics.has(
            "kxs_get_amstatus(): No response from host no-such-host.invalid:7010\n"));
    }
    {
        AmResult closed("127.0.0.1");
        EXPECT_EQ(closed.rc, KX_ESOCKET);
        EXPECT_EQ(closed.status, nullptr);
        EXPECT_TRUE(diagnostics.has("(s) kxs_open_socket(): Could not connect - Connection refused\n"));
        EXPECT_TRUE(diagnostics.has("(s) kxs_get_amstatus(): Could not open socket to 127.0.0.1:7010\n"));
    }
    FakeDaemon silent("127.0.0.1", 7010);
    ScriptedReply nothing;
    nothing.silent = true;
    silent.on("amstatus", nothing);
    AmResult timedOut("127.0.0.1");
    EXPECT_EQ(timedOut.rc, KX_EAMTIMEOUT);
    EXPECT_EQ(timedOut.status, nullptr);
    EXPECT_TRUE(diagnostics.has("(s) kxs_get_amstatus(): poll timed out\n"));
}

TEST_F(DaemonClients, ADaemonThatClosesAtOnceGivesAnEmptyRecord)
{
    FakeDaemon daemon("127.0.0.1", 7010);
    daemon.close_at_once(true);
    AmResult am("127.0.0.1");
    // Whether the write or the read notices the closed end depends on
    // timing; either way the call ends with a defined result.
    if (am.rc == 0) {
        ASSERT_NE(am.status, nullptr);
        EXPECT_EQ(am.status->starttime, 0u);
    } else {
        EXPECT_EQ(am.rc, KX_ESOCKWRITE);
        EXPECT_EQ(am.status, nullptr);
    }
}

TEST_F(DaemonClients, AReplyThatStaysOpenEndsAfterTheIdleLimitKeepingWhatCame)
{
    kx::set_reply_limits({300, 3000});
    FakeDaemon daemon("127.0.0.1", 7010);
    ScriptedReply reply;
    reply.bytes = "starttime=500\ndesktops=4\n";
    reply.neverClose = true;
    daemon.on("amstatus", reply);
    auto start = std::chrono::steady_clock::now();
    AmResult am("127.0.0.1");
    EXPECT_LT(seconds_since(start), 2.5);
    ASSERT_EQ(am.rc, 0);
    EXPECT_EQ(am.status->starttime, 500u);
    EXPECT_EQ(am.status->desktops, 4);
    EXPECT_TRUE(diagnostics.has("kxs_get_amstatus(): read error - Connection timed out\n"));
}

TEST_F(DaemonClients, ATricklingReplyEndsAtTheOverallLimit)
{
    kx::set_reply_limits({1000, 1500});
    FakeDaemon daemon("127.0.0.1", 7007);
    ScriptedReply reply;
    reply.bytes = "OK/smstatus stime=9\n";
    reply.trickleMs = 20;
    daemon.on("smstatus", reply);
    auto start = std::chrono::steady_clock::now();
    SmRecord s;
    EXPECT_EQ(kx::get_smstatus(nullptr, "127.0.0.1", &s.rec), 0);
    double took = seconds_since(start);
    EXPECT_GE(took, 1.4);
    EXPECT_LT(took, 4.0);
    EXPECT_EQ(s.rec->starttime, 9);
    EXPECT_TRUE(diagnostics.has("get_smstatus(): read error - Connection timed out\n"));
}

TEST_F(DaemonClients, AReplyOverTheSizeBoundEndsAsAReadError)
{
    kx::set_reply_limits({5000, 30000, 4096});
    FakeDaemon daemon("127.0.0.1", 7010);
    std::string reply = "desktops=3\n";
    while (reply.size() < 100000)
        reply += "padding=" + std::string(100, 'p') + "\n";
    daemon.on("amstatus", reply + "starttime=99\n");
    AmResult am("127.0.0.1");
    ASSERT_EQ(am.rc, 0);
    EXPECT_EQ(am.status->desktops, 3);
    EXPECT_EQ(am.status->starttime, 0u);
    EXPECT_TRUE(diagnostics.has("kxs_get_amstatus(): read error - File too large\n"));
}

// Puts a stand-in over the host's ping for the life of the object (the
// sandbox's mount namespace is the test's own).
class PingStandIn {
public:
    PingStandIn(const std::string &contents, mode_t mode)
    {
        char path[] = "/tmp/kxping.XXXXXX";
        int fd = mkstemp(path);
        (void)!write(fd, contents.data(), contents.size());
        fchmod(fd, mode);
        close(fd);
        path_ = path;
        mounted_ = mount(path, "/usr/bin/ping", nullptr, MS_BIND, nullptr) == 0;
    }
    ~PingStandIn()
    {
        if (mounted_)
            umount("/usr/bin/ping");
        unlink(path_.c_str());
    }
    bool mounted() const { return mounted_; }

private:
    std::string path_;
    bool mounted_ = false;
};

TEST_F(DaemonClients, PingResultFollowsHowThePingProgramEnded)
{
    {
        PingStandIn exits("#!/bin/sh\nexit 7\n", 0755);
        ASSERT_TRUE(exits.mounted());
        EXPECT_EQ(kx::ping_host("127.0.0.1"), 7);
    }
    {
        PingStandIn killed("#!/bin/sh\nkill -KILL $$\n", 0755);
        ASSERT_TRUE(killed.mounted());
        EXPECT_EQ(kx::ping_host("127.0.0.1"), 4);
    }
    {
        // A stopped probe would otherwise keep the caller waiting for ever.
        PingStandIn stopped("#!/bin/sh\nkill -STOP $$\n", 0755);
        ASSERT_TRUE(stopped.mounted());
        EXPECT_EQ(kx::ping_host("127.0.0.1"), 3);
    }
    {
        PingStandIn notExecutable("not a program\n", 0644);
        ASSERT_TRUE(notExecutable.mounted());
        EXPECT_EQ(kx::ping_host("127.0.0.1"), EACCES);
    }
    EXPECT_EQ(kx::ping_host("127.0.0.1"), 0);
}

TEST_F(DaemonClients, PingReachesLoopbackGroupMembersOnly)
{
    EXPECT_EQ(kx::ping_host(kxtest::member_name(5).c_str()), 0);
    EXPECT_EQ(kx::ping_host(kxtest::kSandboxHost), 0);
    EXPECT_NE(kx::ping_host("no-such-host.invalid"), 0);
}

}  // namespace
