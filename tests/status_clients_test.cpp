// The "status" and "gstatus" clients against fake authentication managers
// on port 7010 of this host and of group members, inside the network sandbox.
#include "auth_mgr.h"
#include "diagnostics_capture.h"
#include "fake_daemon.h"
#include "group_mgr.h"
#include "kxerrno.h"
#include "kxsdt.h"
#include "ping.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

using kxtest::FakeDaemon;
using kxtest::ScriptedReply;

class StatusClients : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!kxtest::in_network_sandbox())
            GTEST_SKIP() << "needs the network sandbox (tests/support/netsandbox)";
    }
    void TearDown() override { kx::set_reply_limits(kx::ReplyLimits{}); }

    kxtest::DiagnosticsCapture diagnostics;
};

std::string record(const std::string &id, const std::string &token, const std::string &extra = "")
{
    return "begin\nterminalId=" + id + "\ntokenName=" + token + "\nterminalIPA=10.1.1.1\n" + extra +
           "end\n";
}

struct Records {
    kx::KeyValuesNode *head = nullptr;
    ~Records() { kx::kx_free_KeyValuesNode_list(head); }
    std::vector<std::string> ids() const
    {
        std::vector<std::string> out;
        for (auto *n = head; n; n = n->next)
            out.push_back(n->terminal_CID);
        return out;
    }
};

const char *const kNoFields[] = {nullptr};

TEST_F(StatusClients, RecordsArriveSortedFromAReplyCutAtOddPlaces)
{
    FakeDaemon daemon("127.0.0.1", 7010);
    ScriptedReply reply;
    reply.bytes = "preamble=1\n" + record("P1.b", "t1") + record("P1.A", "t2") +
                  "between=1\n" + record("P1.a", "t3") + "begin\nterminalId=late\n";
    for (std::size_t at = 7; at < reply.bytes.size(); at += 13)
        reply.splitAt.push_back(at);
    daemon.on("status", reply);
    Records r;
    EXPECT_EQ(kx::kx_getAuthMgrRecords(nullptr, 1, nullptr, kNoFields, &r.head), 0);
    EXPECT_EQ(r.ids(), (std::vector<std::string>{"P1.A", "P1.a", "P1.b"}));
    EXPECT_EQ(daemon.commands(), (std::vector<std::string>{"status\n"}));
}

TEST_F(StatusClients, RecordFailuresGiveTheirCodes)
{
    Records r;
    EXPECT_EQ(kx::kx_getAuthMgrRecords("no-such-host.invalid", 1, nullptr, kNoFields, &r.head),
              KX_EUNREACHABLE);
    EXPECT_TRUE(diagnostics.has("getAuthMgrRecords(): No response from host no-such-host.invalid:7010\n"));
    EXPECT_EQ(kx::kx_getAuthMgrRecords("127.0.0.1", 1, nullptr, kNoFields, &r.head), KX_ESOCKET);
    EXPECT_TRUE(diagnostics.has("getAuthMgrRecords(): Could not open socket to 127.0.0.1:7010\n"));
    FakeDaemon daemon("127.0.0.1", 7010);
    ScriptedReply silent;
    silent.silent = true;
    daemon.on("status", silent);
    EXPECT_EQ(kx::kx_getAuthMgrRecords("127.0.0.1", 1, nullptr, kNoFields, &r.head), KX_EAMTIMEOUT);
    EXPECT_TRUE(diagnostics.has("getAuthMgrRecords(): poll timed out\n"));
    EXPECT_EQ(r.head, nullptr);
}

TEST_F(StatusClients, AReadErrorReleasesTheRecordsAndAnEmptyReplyIsNoError)
{
    kx::set_reply_limits({300, 2000});
    FakeDaemon daemon("127.0.0.1", 7010);
    ScriptedReply open;
    open.bytes = record("a", "1") + record("b", "2");
    open.neverClose = true;
    daemon.on("status", open);
    Records r;
    EXPECT_EQ(kx::kx_getAuthMgrRecords("127.0.0.1", 2, nullptr, kNoFields, &r.head), -1);
    EXPECT_EQ(r.head, nullptr);
    EXPECT_TRUE(diagnostics.has("getAuthMgrRecords(): read error - Connection timed out\n"));

    daemon.on("status", "");
    EXPECT_EQ(kx::kx_getAuthMgrRecords("127.0.0.1", 2, nullptr, kNoFields, &r.head), 0);
    EXPECT_EQ(r.head, nullptr);
}

struct TermList {
    kx::KXSTerm *head = nullptr;
    ~TermList() { kx::kxs_free_linked_list(nullptr, &head); }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> out;
        for (auto *t = head; t; t = t->next)
            out.push_back(std::string(t->terminalId) + "@" + t->serverName);
        return out;
    }
};

TEST_F(StatusClients, TerminalListOfOneServer)
{
    FakeDaemon daemon("127.0.0.1", 7010);
    daemon.on("status", record("P1.0002", "x") + record("P1.0001", "y", "terminalPackets=5\n") +
                            "begin\nterminalId=P1.0003\nend\n");
    TermList list;
    int count = 99;
    list.head = kx::kxs_get_current_list(nullptr, kxtest::kSandboxHost, &count, nullptr);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(list.entries(),
              (std::vector<std::string>{"0001@kxtest-host", "0002@kxtest-host"}));
    EXPECT_EQ(list.head->terminalPackets, 5u);

    daemon.on("status", "");
    TermList empty;
    empty.head = kx::kxs_get_current_list(nullptr, "127.0.0.1", &count, nullptr);
    EXPECT_EQ(empty.head, nullptr);
    EXPECT_EQ(count, 0);
}

TEST_F(StatusClients, TerminalListFailuresCountMinusOne)
{
    int count = 0;
    EXPECT_EQ(kx::kxs_get_current_list(nullptr, "127.0.0.1", &count, nullptr), nullptr);
    EXPECT_EQ(count, -1);
    EXPECT_TRUE(diagnostics.has("kxs_get_current_list(): Could not open socket to 127.0.0.1:7010\n"));
    count = 0;
    EXPECT_EQ(kx::kxs_get_current_list(nullptr, "no-such-host.invalid", &count, nullptr), nullptr);
    EXPECT_EQ(count, -1);
}

std::string host_line(const std::string &name, int lastseen, int numifs, const std::string &words)
{
    return "host " + name + " lastseen " + std::to_string(lastseen) + " timeoff 0 addr 7f000001 ifs " +
           std::to_string(numifs) + " " + words + "\n";
}

std::string interface_line(const std::string &name)
{
    return "interface " + name + " ip 7f000001 mask ff000000 bcast 7fffffff last 1 LAN\n";
}

struct GroupHosts {
    kx::HostList *head = nullptr;
    int count = -5;
    explicit GroupHosts(const char *host) { head = kx::get_gm_hosts(nullptr, host, &count); }
    ~GroupHosts() { kx::free_HostList(head); }
    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        for (auto *n = head; n; n = n->next)
            out.push_back(std::string(n->host->info->name) + ":" +
                          std::to_string(n->host->info->numifs));
        return out;
    }
};

TEST_F(StatusClients, MergedListAsksTrustedLiveMembersOnly)
{
    // This host's manager reports the group: members 2 and 3 are trusted and
    // live, 4 is not trusted, 5 has not been heard from for too long.
    FakeDaemon own("127.0.0.1", 7010);
    own.on("gstatus", host_line("kxmember2", 5, 1, "TRUSTED") + interface_line("lo") +
                          host_line("kxmember3", 60, 1, "trusted period 20") + interface_line("lo") +
                          host_line("kxmember4", 1, 1, "") + interface_line("lo") +
                          host_line("kxmember5", 61, 1, "TRUSTED period 20") + interface_line("lo"));
    std::vector<std::unique_ptr<FakeDaemon>> members;
    for (int n = 2; n <= 5; ++n) {
        members.push_back(std::make_unique<FakeDaemon>(kxtest::member_address(n), 7010));
        members.back()->on("status", record("P1.SHARED", "t") +
                                         record("P1.only" + std::to_string(n), "t"));
    }
    GroupHosts hosts(kxtest::kSandboxHost);
    ASSERT_EQ(hosts.count, 4);
    TermList merged;
    merged.head = kx::kxs_get_currentHA_list(nullptr, hosts.head);
    EXPECT_EQ(merged.entries(),
              (std::vector<std::string>{"only2@kxmember2", "only3@kxmember3", "SHARED@kxmember2",
                                        "SHARED@kxmember3"}));
    EXPECT_TRUE(members[2]->commands().empty());
    EXPECT_TRUE(members[3]->commands().empty());
}

TEST_F(StatusClients, GroupHostsAreTakenUpToTheEndOfTheReply)
{
    FakeDaemon daemon("127.0.0.1", 7010);
    daemon.on("gstatus", host_line("a", 1, 2, "TRUSTED") + interface_line("e0") +
                             interface_line("e1") + "noise\n" + host_line("b", 2, 0, "") +
                             host_line("c", 3, 1, "") + interface_line("e2"));
    GroupHosts hosts("127.0.0.1");
    EXPECT_EQ(hosts.names(), (std::vector<std::string>{"a:2", "b:0", "c:1"}));
    EXPECT_EQ(hosts.count, 3);
    EXPECT_EQ(daemon.commands(), (std::vector<std::string>{"gstatus\n"}));
}

TEST_F(StatusClients, SurplusInterfaceLinesDropTheWholeList)
{
    FakeDaemon daemon("127.0.0.1", 7010);
    daemon.on("gstatus", host_line("a", 1, 1, "") + interface_line("e0") + "x\n" +
                             host_line("b", 1, 3, "") + interface_line("e0") + interface_line("e1") +
                             interface_line("e2") + interface_line("e3") + "x\n");
    GroupHosts hosts("127.0.0.1");
    EXPECT_EQ(hosts.head, nullptr);
    EXPECT_EQ(hosts.count, 0);
    EXPECT_TRUE(diagnostics.has("get_gstatus(): error: ifcount=1 > numifs=0.\n"));
}

TEST_F(StatusClients, GroupFailures)
{
    GroupHosts unresolved("no-such-host.invalid");
    EXPECT_EQ(unresolved.head, nullptr);
    EXPECT_TRUE(diagnostics.has("get_gstatus(): Unable to resolve host [no-such-host.invalid]\n"));
    GroupHosts closed("127.0.0.1");
    EXPECT_EQ(closed.count, 0);
    EXPECT_TRUE(diagnostics.has("get_gstatus(): Could not open socket to 127.0.0.1:7010\n"));
    EXPECT_EQ(kx::get_gm_hosts(nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(diagnostics.has("get_gm_hosts(): First and second args are NULL pointers\n"));
}

TEST_F(StatusClients, SilentManagerTimesOutTheListAndTheGroup)
{
    FakeDaemon daemon("127.0.0.1", 7010);
    ScriptedReply silent;
    silent.silent = true;
    daemon.on("status", silent);
    daemon.on("gstatus", silent);
    int count = 0;
    EXPECT_EQ(kx::kxs_get_current_list(nullptr, "127.0.0.1", &count, nullptr), nullptr);
    EXPECT_EQ(count, -1);
    EXPECT_TRUE(diagnostics.has("kxs_get_current_list(): poll timed out\n"));
    GroupHosts hosts("127.0.0.1");
    EXPECT_EQ(hosts.head, nullptr);
    EXPECT_EQ(hosts.count, 0);
    EXPECT_TRUE(diagnostics.has("get_gstatus(): Poll timed out\n"));
}

TEST_F(StatusClients, HostileGroupRepliesEndDefined)
{
    FakeDaemon daemon("127.0.0.1", 7010);
    // A negative count followed by an interface line: more lines than announced.
    daemon.on("gstatus", host_line("neg", 1, -4, "") + interface_line("e0") + "x\n");
    {
        GroupHosts hosts("127.0.0.1");
        EXPECT_EQ(hosts.head, nullptr);
    }
    // A huge count never completes its block; the 100 KB of interface
    // lines stay within the block limit and the host is not taken.
    std::string huge = host_line("huge", 1, 2000000000, "");
    while (huge.size() < 100 * 1024)
        huge += interface_line("e");
    daemon.on("gstatus", huge);
    {
        GroupHosts hosts("127.0.0.1");
        EXPECT_EQ(hosts.head, nullptr);
    }
    // 10,000 words on lines that the reply cuts into many, and a 10 MB line.
    std::string words = "host many";
    for (int i = 0; i < 10000; ++i)
        words += " w";
    daemon.on("gstatus", words + "\n" + std::string(10 << 20, 'z') + "\n" +
                             host_line("fine", 1, 1, "") + interface_line("e0"));
    {
        GroupHosts hosts("127.0.0.1");
        EXPECT_EQ(hosts.names(), (std::vector<std::string>{"fine:1"}));
    }
}

TEST_F(StatusClients, ATricklingGroupReplyIsCutAtTheOverallLimit)
{
    kx::set_reply_limits({1000, 1500});
    FakeDaemon daemon("127.0.0.1", 7010);
    ScriptedReply reply;
    reply.bytes = host_line("a", 1, 1, "") + interface_line("e0");
    reply.trickleMs = 10;
    daemon.on("gstatus", reply);
    auto start = std::chrono::steady_clock::now();
    GroupHosts hosts("127.0.0.1");
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(took, 4.0);
    EXPECT_TRUE(diagnostics.has("get_gstatus(): read error - Connection timed out\n"));
    // The trickled bytes form no line: the complete block of "a" is kept.
    EXPECT_EQ(hosts.names(), (std::vector<std::string>{"a:1"}));
}

}  // namespace
