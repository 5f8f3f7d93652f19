// The five daemon clients over a scripted transport: what each asks, and
// what each makes of every outcome of the exchange; then, inside the
// network sandbox, the pieces the transport takes from the host (the
// services database and the host's ping).
#include "admin.h"
#include "auth_mgr.h"
#include "diagnostics_capture.h"
#include "fake_daemon.h"
#include "group_mgr.h"
#include "kxerrno.h"
#include "kxsdt.h"
#include "kxsutil.h"
#include "ping.h"
#include "session_mgr.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using kx::Outcome;
using Lines = std::vector<std::string>;

// Replays `lines`, then ends with `outcome`; failures before any data
// replay nothing. Remembers every request.
class ScriptedTransport : public kx::DaemonTransport {
public:
    ScriptedTransport() { kx::set_daemon_transport(this); }
    ~ScriptedTransport() override { kx::set_daemon_transport(nullptr); }
    kx::DaemonReply ask(const kx::DaemonRequest &request, const kx::LineHandler &onLine) override
    {
        requests.push_back(request);
        commands.emplace_back(request.command);
        hosts.emplace_back(request.host ? request.host : "");
        if (kx::exchange_ran(outcome))
            for (const std::string &line : lines)
                if (!onLine(line))
                    break;
        return {outcome, outcome == Outcome::TooLarge ? EFBIG : EIO};
    }
    Lines lines;
    Outcome outcome = Outcome::Complete;
    std::vector<kx::DaemonRequest> requests;
    Lines commands, hosts;
};

// One run of a client: its result code and how many items it kept.
struct Kept {
    int code;
    int items;
    bool operator==(const Kept &) const = default;
};

struct Client {
    const char *name;
    Lines reply;  // two items
    Kept (*run)();
};

const Client kClients[] = {
    {"kxs_get_amstatus", {"starttime=5", "desktops=2"},
     [] {
         kx::AMStatus *status = nullptr;
         int code = kx::kxs_get_amstatus("kxtest-host", &status);
         Kept r{code, status ? status->desktops : -1};
         free(status);
         return r;
     }},
    {"get_smstatus", {"OK/smstatus stime=1 sessions=2"},
     [] {
         kx::SMStatus *rec = kx::allocate_smstatus();
         Kept r{kx::get_smstatus(nullptr, "kxtest-host", &rec), rec->sessions};
         kx::free_smstatus(rec);
         return r;
     }},
    {"getAuthMgrRecords",
     {"begin", "terminalId=a", "tokenName=t1", "end", "begin", "terminalId=b", "tokenName=t2", "end"},
     [] {
         kx::KeyValuesNode *list = nullptr;
         const char *const fields[] = {nullptr};
         Kept r{kx::kx_getAuthMgrRecords("kxtest-host", 1, nullptr, fields, &list), 0};
         for (auto *n = list; n; n = n->next)
             ++r.items;
         kx::kx_free_KeyValuesNode_list(list);
         return r;
     }},
    {"kxs_get_current_list",
     {"begin", "terminalId=m.a", "terminalIPA=i", "end", "begin", "terminalId=m.b", "terminalIPA=j",
      "end"},
     [] {
         int count = 0;
         kx::KXSTerm *list = kx::kxs_get_current_list(nullptr, "kxtest-host", &count, nullptr);
         Kept r{count, 0};
         for (auto *t = list; t; t = t->next)
             ++r.items;
         kx::kxs_free_linked_list(nullptr, &list);
         return r;
     }},
    {"get_gstatus",
     {"host h1 a 1 b 2 c 7f000001 d 1", "interface e a 1 b 2 c 3 d 4",
      "host h2 a 1 b 2 c 7f000002 d 1", "interface e a 1 b 2 c 3 d 4"},
     [] {
         int count = 0;
         kx::free_HostList(kx::get_gm_hosts(nullptr, "127.0.0.1", &count));
         return Kept{0, count};
     }},
};

// A message of the client other than the service lookup's.
bool reports_failure(const kxtest::DiagnosticsCapture &diagnostics, const std::string &name)
{
    for (const auto &line : diagnostics.lines())
        if (line.text.find(name + "(): ") != std::string::npos &&
            line.text.find("service (") == std::string::npos &&
            line.text.find("hard-coded") == std::string::npos)
            return true;
    return false;
}

TEST(DaemonClients, EachClientMapsEveryOutcomeOfTheExchange)
{
    // Per client, in the order of kClients: {code, items kept}.
    const struct {
        Outcome outcome;
        Kept am, sm, records, terminals, group;
    } cases[] = {
        {Outcome::Complete, {0, 2}, {0, 2}, {0, 2}, {2, 2}, {0, 2}},
        {Outcome::Unreachable, {KX_EUNREACHABLE, -1}, {-1, 0}, {KX_EUNREACHABLE, 0}, {-1, 0}, {0, 0}},
        {Outcome::OpenFailed, {KX_ESOCKET, -1}, {-1, 0}, {KX_ESOCKET, 0}, {-1, 0}, {0, 0}},
        {Outcome::WriteFailed, {KX_ESOCKWRITE, -1}, {-1, 0}, {KX_ESOCKWRITE, 0}, {-1, 0}, {0, 0}},
        {Outcome::TimedOut, {KX_EAMTIMEOUT, -1}, {-1, 0}, {KX_EAMTIMEOUT, 0}, {-1, 0}, {0, 0}},
        // A reply cut short keeps what came, except the records, which are
        // then released.
        {Outcome::ReadError, {0, 2}, {0, 2}, {-1, 0}, {2, 2}, {0, 2}},
        {Outcome::TooLarge, {0, 2}, {0, 2}, {-1, 0}, {2, 2}, {0, 2}},
    };
    const char *commands[] = {"amstatus\n", "smstatus\n", "status\n", "status\n", "gstatus\n"};
    const int ports[] = {7010, 7007, 7010, 7010, 7010};
    const bool probes[] = {true, false, true, true, true};
    for (const auto &c : cases) {
        const Kept expected[] = {c.am, c.sm, c.records, c.terminals, c.group};
        for (std::size_t i = 0; i < std::size(kClients); ++i) {
            kxtest::DiagnosticsCapture diagnostics;
            kx::set_gdebug("*");
            ScriptedTransport transport;
            transport.lines = kClients[i].reply;
            transport.outcome = c.outcome;
            const std::string where = std::string(kClients[i].name) + " outcome " +
                                      std::to_string(static_cast<int>(c.outcome));
            EXPECT_EQ(kClients[i].run(), expected[i]) << where;
            ASSERT_EQ(transport.requests.size(), 1u) << where;
            EXPECT_EQ(transport.commands[0], commands[i]) << where;
            EXPECT_EQ(transport.requests[0].port, ports[i]) << where;
            EXPECT_EQ(transport.requests[0].client->probe, probes[i]) << where;
            // Every failure is reported under the client's name.
            EXPECT_EQ(reports_failure(diagnostics, kClients[i].name), c.outcome != Outcome::Complete)
                << where << diagnostics.all();
            kx::set_gdebug(nullptr);
        }
    }
}

TEST(DaemonClients, ARunOfEndLinesBuildsOneRecordAndLargeRepliesSortFast)
{
    ScriptedTransport transport;
    transport.lines = {"begin", "terminalId=m.a", "terminalIPA=i", "tokenName=t"};
    transport.lines.insert(transport.lines.end(), 200000, "end");
    for (std::size_t i : {2u, 3u})  // the records, the terminal list
        EXPECT_EQ(kClients[i].run(), (Kept{i == 2 ? 0 : 1, 1})) << kClients[i].name;

    // Records with equal keys keep their order of arrival, in both modes,
    // without a walk along the list per record.
    transport.lines.clear();
    constexpr int kRecords = 60000;
    for (int i = 0; i < kRecords; ++i)
        transport.lines.insert(transport.lines.end(),
                               {"begin", i % 2 ? "terminalId=B" : "terminalId=A",
                                "tokenName=" + std::to_string(i % 2 ? 0 : kRecords - i), "end"});
    for (int mode : {kx::kSortByTerminal, kx::kSortByToken}) {
        const auto start = std::chrono::steady_clock::now();
        kx::KeyValuesNode *list = nullptr;
        const char *const fields[] = {nullptr};
        ASSERT_EQ(kx::kx_getAuthMgrRecords("h", mode, nullptr, fields, &list), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        int count = 0;
        std::string before = list->terminal_CID;
        for (auto *n = list; n->next; n = n->next, ++count) {
            bool tiedA = mode == kx::kSortByTerminal && *n->terminal_CID == 'A' &&
                         !std::strcmp(n->terminal_CID, n->next->terminal_CID);
            if (tiedA) {
                EXPECT_GT(std::stoi(n->token_name), std::stoi(n->next->token_name));
            }
        }
        EXPECT_EQ(count + 1, kRecords);
        // By terminal, the A records first; by token, the B records' "0".
        EXPECT_STREQ(list->terminal_CID, mode == kx::kSortByTerminal ? "A" : "B");
        kx::kx_free_KeyValuesNode_list(list);
    }
}

TEST(DaemonClients, SessionManagerWithoutAHostAsksTheDirectoryServer)
{
    ScriptedTransport transport;
    transport.lines = {"OK/smstatus stime=9"};
    char server[] = "dirhost";
    kx::kxa connection{};
    connection.serverName = server;
    kx::SMStatus *rec = kx::allocate_smstatus();
    EXPECT_EQ(kx::get_smstatus(&connection, nullptr, &rec), 0);
    EXPECT_EQ(rec->starttime, 9);
    EXPECT_EQ(transport.hosts, Lines{"dirhost"});
    EXPECT_EQ(kx::get_smstatus(nullptr, nullptr, &rec), -1);
    kx::free_smstatus(rec);
}

TEST(DaemonClients, AGroupQueryAsksAtMostItsMembersWithinItsTime)
{
    ScriptedTransport transport;
    Lines reply;
    for (int i = 0; i < 2 * kx::kMaxGroupMembers; ++i)
        reply.insert(reply.end(), {"host m" + std::to_string(i) + " a 1 b 2 c 3 d 1 trusted",
                                   "interface e a 1 b 2 c 3 d 4"});
    transport.lines = reply;
    int count = 0;
    kx::HostList *hosts = kx::get_gm_hosts(nullptr, "127.0.0.1", &count);
    EXPECT_EQ(count, kx::kMaxGroupMembers);

    // The members' own lists, each asked with what is left of one bound.
    transport.lines = {"begin", "terminalId=m.a", "terminalIPA=i", "end"};
    const auto start = kx::Clock::now();
    kx::KXSTerm *merged = kx::kxs_get_currentHA_list(nullptr, hosts);
    int terminals = 0;
    for (auto *t = merged; t; t = t->next)
        ++terminals;
    EXPECT_EQ(terminals, kx::kMaxGroupMembers);
    ASSERT_EQ(transport.requests.size(), 1u + kx::kMaxGroupMembers);
    for (std::size_t i = 1; i < transport.requests.size(); ++i)
        EXPECT_LE(transport.requests[i].deadline,
                  start + std::chrono::milliseconds(kx::kGroupQueryMs + 1000));
    kx::kxs_free_linked_list(nullptr, &merged);
    kx::free_HostList(hosts);
}

// ---- what the transport takes from the host -----------------------------------------

class HostLookups : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!kxtest::in_network_sandbox())
            GTEST_SKIP() << "needs the network sandbox (tests/support/netsandbox)";
    }
    // Puts `contents` over `target` for the test (the sandbox's mount
    // namespace is the test's own).
    bool bind_over(const char *target, const std::string &contents, mode_t mode)
    {
        char path[] = "/tmp/kxbind.XXXXXX";
        int fd = mkstemp(path);
        (void)!write(fd, contents.data(), contents.size());
        fchmod(fd, mode);
        close(fd);
        bool mounted = mount(path, target, nullptr, MS_BIND, nullptr) == 0;
        unlink(path);
        if (mounted)
            mounts.push_back(target);
        return mounted;
    }
    void TearDown() override
    {
        for (auto at = mounts.rbegin(); at != mounts.rend(); ++at)
            umount(*at);
    }
    std::vector<const char *> mounts;
};

TEST_F(HostLookups, ServicesKnownToTheNameServiceGiveTheirPorts)
{
    ASSERT_TRUE(bind_over("/etc/services", "kxsessiond\t7107/tcp\nkxauthd-cb\t7110/tcp\n", 0644));
    ScriptedTransport transport;
    transport.lines = {"starttime=1"};
    kx::SMStatus *rec = kx::allocate_smstatus();
    kx::get_smstatus(nullptr, "h", &rec);
    kx::free_smstatus(rec);
    kx::AMStatus *status = nullptr;
    kx::kxs_get_amstatus("h", &status);
    free(status);
    ASSERT_EQ(transport.requests.size(), 2u);
    EXPECT_EQ(transport.requests[0].port, 7107);
    EXPECT_EQ(transport.requests[1].port, 7110);
}

TEST_F(HostLookups, PingResultFollowsHowThePingProgramEnded)
{
    EXPECT_EQ(kx::ping_host(nullptr), 0);
    EXPECT_EQ(kx::ping_host(""), EINVAL);
    EXPECT_EQ(kx::ping_host(kxtest::kSandboxHost), 0);
    EXPECT_EQ(kx::ping_host("kxmember5"), 0);
    EXPECT_NE(kx::ping_host("no-such-host.invalid"), 0);
    const struct {
        const char *program;
        mode_t mode;
        int result;
    } cases[] = {
        {"#!/bin/sh\nexit 7\n", 0755, 7},
        {"#!/bin/sh\nkill -KILL $$\n", 0755, 4},
        {"#!/bin/sh\nkill -STOP $$\n", 0755, 3},  // a stopped probe must not hold the caller
        {"not a program\n", 0644, EACCES},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(bind_over("/usr/bin/ping", c.program, c.mode));
        EXPECT_EQ(kx::ping_host("127.0.0.1"), c.result) << c.program;
        umount("/usr/bin/ping");
        mounts.pop_back();
    }
}

}  // namespace
