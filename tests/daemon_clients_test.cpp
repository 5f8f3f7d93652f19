// The five daemon clients over a scripted transport: what each asks and
// what each makes of every outcome; then, inside the network sandbox, what
// the transport takes from the host (services database, the host's ping).
#include "admin.h"
#include "auth_mgr.h"
#include "diagnostics_capture.h"
#include "fake_daemon.h"
#include "group_mgr.h"
#include "hostname.h"
#include "kxerrno.h"
#include "kxsdt.h"
#include "kxsutil.h"
#include "scripted_transport.h"
#include "session_mgr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include <csignal>
#include <grp.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using kx::Outcome;
using kxtest::Lines;

using kxtest::ScriptedTransport;
using kxtest::status_blocks;

// One run of a client: its result code and how many items it kept.
using Kept = std::pair<int, int>;

template <class Node> int length(const Node *node)
{
    int n = 0;
    for (; node; node = node->next)
        ++n;
    return n;
}

Kept am_status()
{
    kx::AMStatus *status = nullptr;
    Kept kept{kx::kxs_get_amstatus("kxtest-host", &status), status ? status->desktops : -1};
    free(status);
    return kept;
}

Kept sm_status()
{
    kx::SMStatus *rec = kx::allocate_smstatus();
    Kept kept{kx::get_smstatus(nullptr, "kxtest-host", &rec), rec->sessions};
    kx::free_smstatus(rec);
    return kept;
}

Kept records(int mode = kx::kSortByTerminal, kx::KeyValuesNode **keep = nullptr)
{
    kx::KeyValuesNode *list = nullptr;
    const char *const fields[] = {nullptr};
    Kept kept{kx::kx_getAuthMgrRecords("kxtest-host", mode, nullptr, fields, &list), length(list)};
    if (keep)
        *keep = list;
    else
        kx::kx_free_KeyValuesNode_list(list);
    return kept;
}

Kept terminals()
{
    int count = 0;
    kx::KXSTerm *list = kx::kxs_get_current_list(nullptr, "kxtest-host", &count, nullptr);
    Kept kept{count, length(list)};
    kx::kxs_free_linked_list(nullptr, &list);
    return kept;
}

Kept group()
{
    int count = 0;
    kx::free_HostList(kx::get_gm_hosts("127.0.0.1", &count));
    return {0, count};
}

const struct Client {
    const char *name, *command;
    int port;  // the fallback: the test hosts know neither service
    bool probe;
    Lines reply;  // two items
    Kept (*run)();
} kClients[] = {
    {"kxs_get_amstatus", "amstatus\n", 7010, true, {"starttime=5", "desktops=2"}, am_status},
    {"get_smstatus", "smstatus\n", 7007, false, {"OK/smstatus stime=1 sessions=2"}, sm_status},
    {"getAuthMgrRecords", "status\n", 7010, true,
     status_blocks({{"terminalId=a", "tokenName=t1"}, {"terminalId=b", "tokenName=t2"}}),
     [] { return records(); }},
    {"kxs_get_current_list", "status\n", 7010, true,
     status_blocks({{"terminalId=m.a", "terminalIPA=i"}, {"terminalId=m.b", "terminalIPA=j"}}),
     terminals},
    {"get_gstatus", "gstatus\n", 7010, true,
     {"host h1 a 1 b 2 c 7f000001 d 1", "interface e a 1 b 2 c 3 d 4",
      "host h2 a 1 b 2 c 7f000002 d 1", "interface e a 1 b 2 c 3 d 4"},
     group},
};

TEST(DaemonClients, EachClientMapsEveryOutcomeOfTheExchange)
{
    // Per client, in the order of kClients.
    const struct {
        Outcome outcome;
        Kept kept[5];
    } cases[] = {
        {Outcome::Complete, {{0, 2}, {0, 2}, {0, 2}, {2, 2}, {0, 2}}},
        {Outcome::Unreachable,
         {{KX_EUNREACHABLE, -1}, {-1, 0}, {KX_EUNREACHABLE, 0}, {-1, 0}, {0, 0}}},
        {Outcome::OpenFailed, {{KX_ESOCKET, -1}, {-1, 0}, {KX_ESOCKET, 0}, {-1, 0}, {0, 0}}},
        {Outcome::WriteFailed, {{KX_ESOCKWRITE, -1}, {-1, 0}, {KX_ESOCKWRITE, 0}, {-1, 0}, {0, 0}}},
        {Outcome::TimedOut, {{KX_EAMTIMEOUT, -1}, {-1, 0}, {KX_EAMTIMEOUT, 0}, {-1, 0}, {0, 0}}},
        // A reply cut short keeps what came, but the records are released.
        {Outcome::ReadError, {{0, 2}, {0, 2}, {-1, 0}, {2, 2}, {0, 2}}},
        {Outcome::TooLarge, {{0, 2}, {0, 2}, {-1, 0}, {2, 2}, {0, 2}}},
    };
    for (const auto &c : cases) {
        for (std::size_t i = 0; i < std::size(kClients); ++i) {
            const Client &client = kClients[i];
            SCOPED_TRACE(std::string(client.name) + " " + std::to_string(int(c.outcome)));
            ScriptedTransport transport;
            transport.lines = client.reply;
            transport.outcome = c.outcome;
            EXPECT_EQ(client.run(), c.kept[i]);
            ASSERT_EQ(transport.requests.size(), 1u);
            EXPECT_EQ(transport.requests[0].command, client.command);
            EXPECT_EQ(transport.requests[0].port, client.port);
            EXPECT_EQ(transport.requests[0].client->probe, client.probe);
        }
    }
}

// Many records of two keys, ordered at once: by terminal the A records come
// first, by token the B records' "0"; records of one key keep the reply's
// order.
TEST(DaemonClients, LargeRepliesOrderStably)
{
    ScriptedTransport transport;
    constexpr int kRecords = 60000;
    std::vector<std::pair<std::string, std::string>> sent;
    for (int i = 0; i < kRecords; ++i) {
        sent.emplace_back(i % 2 ? "B" : "A", std::to_string(i % 2 ? 0 : kRecords - i));
        transport.lines.insert(transport.lines.end(), {"begin", "terminalId=" + sent.back().first,
                                                       "tokenName=" + sent.back().second, "end"});
    }
    for (int mode : {kx::kSortByTerminal, kx::kSortByToken}) {
        kx::KeyValuesNode *list = nullptr;
        EXPECT_EQ(records(mode, &list), (Kept{0, kRecords}));
        std::vector<std::pair<std::string, std::string>> order;
        for (const kx::KeyValuesNode *n = list; n; n = n->next)
            order.emplace_back(n->terminal_CID, n->token_name);
        auto expected = sent;
        std::stable_sort(expected.begin(), expected.end(), [&](const auto &a, const auto &b) {
            return mode == kx::kSortByTerminal ? a.first < b.first : a.second < b.second;
        });
        EXPECT_TRUE(order == expected) << "mode " << mode;
        kx::kx_free_KeyValuesNode_list(list);
    }
}

TEST(DaemonClients, QueriesAskTheRightHostsWithinTheirBounds)
{
    ScriptedTransport transport;
    transport.lines = {"OK/smstatus stime=9"};
    char server[] = "dirhost";
    kx::kxa connection{};
    connection.serverName = server;
    kx::SMStatus *rec = kx::allocate_smstatus();
    EXPECT_EQ(kx::get_smstatus(&connection, nullptr, &rec), 0);  // the directory server's host
    EXPECT_EQ(rec->starttime, 9);
    EXPECT_EQ(kx::get_smstatus(nullptr, nullptr, &rec), -1);
    kx::free_smstatus(rec);
    ASSERT_EQ(transport.requests.size(), 1u);
    EXPECT_STREQ(transport.requests[0].host, "dirhost");

    // A group of twice as many members as one query asks.
    transport.lines.clear();
    for (int i = 0; i < 2 * kx::kMaxGroupMembers; ++i)
        transport.lines.insert(transport.lines.end(),
                               {"host m" + std::to_string(i) + " a 1 b 2 c 3 d 1 trusted",
                                "interface e a 1 b 2 c 3 d 4"});
    int count = 0;
    kx::HostList *hosts = kx::get_gm_hosts("127.0.0.1", &count);
    EXPECT_EQ(count, kx::kMaxGroupMembers);
    transport.lines = {"begin", "terminalId=m.a", "terminalIPA=i", "end"};
    transport.requests.clear();
    const auto start = kx::Clock::now();
    kx::KXSTerm *merged = kx::kxs_get_currentHA_list(nullptr, hosts);
    EXPECT_EQ(length(merged), kx::kMaxGroupMembers);
    EXPECT_EQ(transport.requests.size(), std::size_t{kx::kMaxGroupMembers});
    for (const auto &request : transport.requests)  // each within what is left of one bound
        EXPECT_LE(request.deadline, start + std::chrono::milliseconds(kx::kGroupQueryMs + 1000));
    kx::kxs_free_linked_list(nullptr, &merged);
    kx::free_HostList(hosts);
}

// What the transport takes from the host: the sandbox's services, hosts and
// resolver files, its ICMP sockets and its network.
class HostLookups : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!kxtest::in_network_sandbox())
            GTEST_SKIP() << "needs the network sandbox (tests/support/netsandbox)";
    }
};

// Puts `contents` over `target` while it lives (the sandbox's mount
// namespace is the test's own).
struct BoundFile {
    const char *target;
    bool mounted = false;
    BoundFile(const char *over, const std::string &contents, mode_t mode) : target(over)
    {
        char path[] = "/tmp/kxbind.XXXXXX";
        int fd = mkstemp(path);
        (void)!write(fd, contents.data(), contents.size());
        fchmod(fd, mode);
        close(fd);
        mounted = mount(path, target, nullptr, MS_BIND, nullptr) == 0;
        unlink(path);
    }
    ~BoundFile()
    {
        if (mounted)
            umount(target);
    }
};

// Writes `value` to the sandbox's /proc/sys/net/ipv4/`file`.
bool set_ipv4(const char *file, const char *value)
{
    FILE *sysctl = fopen((std::string("/proc/sys/net/ipv4/") + file).c_str(), "w");
    if (!sysctl)
        return false;
    fputs(value, sysctl);
    return fclose(sysctl) == 0;
}

TEST_F(HostLookups, ServicePortsAndUnresolvedNamesComeFromTheHost)
{
    {
        BoundFile services("/etc/services", "kxsessiond\t7107/tcp\nkxauthd-cb\t7110/tcp\n", 0644);
        ASSERT_TRUE(services.mounted);
        ScriptedTransport transport;
        sm_status();
        am_status();
        ASSERT_EQ(transport.requests.size(), 2u);
        EXPECT_EQ(transport.requests[0].port, 7107);
        EXPECT_EQ(transport.requests[1].port, 7110);
    }
    // The transport looks the group manager's host up; its client says in its own words
    // that the name does not resolve.
    kxtest::DiagnosticsCapture log;
    int count = -1;
    EXPECT_EQ(kx::get_gm_hosts("no-such-host.invalid", &count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(log.contains("get_gstatus(): Unable to resolve host [no-such-host.invalid]"))
        << log.all();
    EXPECT_FALSE(log.contains("No response from host")) << log.all();
}

// One echo from the process, over either kind of ICMP socket: the sandbox's
// group range decides which one the probe gets (as root, raw otherwise).
// Then the host's ping, which the probe falls back to, by what it ends with.
TEST_F(HostLookups, TheProbeTellsAnswerNoAnswerAndCannotTellOnEitherSocket)
{
    EXPECT_EQ(kx::ping_host(nullptr), 0);
    EXPECT_EQ(kx::ping_host(""), EINVAL);
    // Echoes to this address go out on loopback and nobody answers them.
    ASSERT_EQ(system("ip route add 192.0.2.1/32 dev lo"), 0);
    const struct {
        const char *groupRange;  // "1 0": no datagram socket for anyone
        const char *host;
        int result;
    } cases[] = {
        {"1 0", "127.0.0.1", kx::kProbeAnswered},
        {"1 0", "192.0.2.1", kx::kProbeUnanswered},
        {"0 2147483647", "kxmember3", kx::kProbeAnswered},
        {"0 2147483647", "192.0.2.1", kx::kProbeUnanswered},
        {"0 2147483647", "no-such-host.invalid", kx::kProbeCannotTell},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(set_ipv4("ping_group_range", c.groupRange));
        const auto start = kx::Clock::now();
        EXPECT_EQ(kx::ping_host(c.host), c.result) << c.groupRange << " " << c.host;
        EXPECT_LT(kx::Clock::now() - start, std::chrono::milliseconds(6500)) << c.host;
    }
    const struct {
        const char *program;
        mode_t mode;
        int result;
    } pings[] = {
        {"#!/bin/sh\nexit 7\n", 0755, 7},
        {"#!/bin/sh\nkill -KILL $$\n", 0755, 4},
        {"#!/bin/sh\nkill -STOP $$\n", 0755, 3},  // a stopped probe must not hold the caller
        {"not a program\n", 0644, EACCES},
    };
    for (const auto &p : pings) {
        BoundFile ping("/usr/bin/ping", p.program, p.mode);
        ASSERT_TRUE(ping.mounted);
        EXPECT_EQ(kx::ping_host_by_program("127.0.0.1"), p.result) << p.program;
    }
}

// The members of a group answer in their own time; the merged list is in
// identifier order, equal identifiers in member order, whichever answers
// first. Members that cannot be asked add nothing.
TEST_F(HostLookups, GroupMembersAreAskedAtOnceAndMergedInMemberOrder)
{
    auto block = [](const std::string &id) {
        return "begin\nterminalId=P1." + id + "\nterminalIPA=10.0.0.1\nend\n";
    };
    const struct {
        const char *address;
        std::string reply;
        bool holdOpen;  // answers, then stays silent until the idle bound
    } members[] = {
        {"127.0.0.2", block("aaa") + block("ccc"), true},
        {"127.0.0.3", block("AAA") + block("bbb"), false},
        {"127.0.0.4", block("aaa"), true},
    };
    std::list<kxtest::FakeDaemon> daemons;
    for (const auto &m : members) {
        daemons.emplace_back(m.address, kx::kAuthMgrFallbackPort);
        daemons.back().on("status", m.reply, m.holdOpen);
    }
    kx::ReplyLimits quick;
    quick.idleMs = 300;
    kx::set_reply_limits(quick);
    kx::HostList *hosts = nullptr;
    for (const char *name : {"kxmember2", "kxmember5", "kxmember3", "kxmember6", "kxmember4"}) {
        kx::gm_host *host = kx::allocate_gm_host();
        snprintf(host->info->name, sizeof host->info->name, "%s", name);
        host->trusted = std::string(name) != "kxmember6";  // kxmember5: nobody listens
        kx::add_host_to_list(&hosts, host);
    }
    kx::KXSTerm *merged = kx::kxs_get_currentHA_list(nullptr, hosts);
    kx::set_reply_limits(kx::ReplyLimits{});
    Lines seen;
    for (auto *t = merged; t; t = t->next)
        seen.push_back(std::string(t->terminalId) + "@" + t->serverName);
    EXPECT_EQ(seen, (Lines{"aaa@kxmember2", "AAA@kxmember3", "aaa@kxmember4", "bbb@kxmember3",
                           "ccc@kxmember2"}));
    for (const auto &daemon : daemons)
        EXPECT_EQ(daemon.commands(), Lines{"status\n"});
    kx::kxs_free_linked_list(nullptr, &merged);
    kx::free_HostList(hosts);
}

// Takes any reply, from any number of exchanges at once.
struct NoSink : kx::ReplySink {
    bool bytes(char *, std::size_t) override { return true; }
} gDropped;

constexpr kx::DaemonClient kProbed{"lookup_test", "b", false, true, "kxauthd-cb", 7010, true,
                                   kx::Opener::Bound};
constexpr kx::DaemonClient kUnprobed{"lookup_test", "b", false, true, "kxauthd-cb", 7010, false,
                                     kx::Opener::Plain};

void on_alarm(int) {}

// A name server that takes every query on 127.0.0.1:53 and never answers
// (the resolver's own time-outs: 5 seconds, twice). Under a 50 ms interval
// timer, so that a wait restarted whole after a signal would never end.
TEST_F(HostLookups, ASilentNameServerCostsTheCallersDeadlineOnly)
{
    if (!kx::platform::kLookupsKeepDeadlines)
        GTEST_SKIP() << "this build looks names up in the calling thread (ThreadSanitizer)";
    BoundFile resolver("/etc/resolv.conf", "nameserver 127.0.0.1\n", 0644);
    ASSERT_TRUE(resolver.mounted);
    const sockaddr_in server{AF_INET, htons(53), {htonl(INADDR_LOOPBACK)}, {}};
    const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    for (int fd : {udp, tcp})
        ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server), 0);
    ASSERT_EQ(listen(tcp, 16), 0);
    kxtest::FakeDaemon member("127.0.0.2", 7010);
    member.on("status", "");
    // More lookups of a silent name than glibc runs at once must not keep
    // the names of the hosts file waiting.
    kx::ReplyLimits quick;
    quick.connectMs = 10;
    kx::set_reply_limits(quick);
    for (int i = 0; i < 25; ++i)
        EXPECT_EQ(kx::open_socket("kx-nohost", member.port()), -1);
    quick.connectMs = 200;
    kx::set_reply_limits(quick);
    struct sigaction action {}, old{};
    action.sa_handler = on_alarm;
    sigaction(SIGALRM, &action, &old);
    itimerval every50ms{{0, 50000}, {0, 50000}}, stopped{};
    setitimer(ITIMER_REAL, &every50ms, nullptr);
    const struct {
        std::vector<const char *> hosts;
        const kx::DaemonClient &client;
        Outcome outcome;
    } cases[] = {
        {{"kx-nohost-a", "kx-nohost-b", "kx-nohost-c"}, kProbed, Outcome::Unreachable},
        {{"kx-nohost-a", "kx-nohost-b", "kx-nohost-c"}, kUnprobed, Outcome::OpenFailed},
        {{"kxmember2"}, kProbed, Outcome::Complete},  // the hosts file still answers
    };
    for (const auto &c : cases) {
        const std::vector<kx::ReplySink *> sinks(c.hosts.size(), &gDropped);
        const auto start = kx::Clock::now();
        std::vector<Outcome> outcomes =
            kx::ask_daemons(c.client, c.hosts, "status\n", sinks, kx::deadline_in(500));
        EXPECT_LT(kx::Clock::now() - start, std::chrono::milliseconds(700)) << c.hosts[0];
        EXPECT_EQ(outcomes, std::vector<Outcome>(c.hosts.size(), c.outcome)) << c.hosts[0];
    }
    for (const char *host : {"kx-nohost", "kxmember2"}) {
        const auto start = kx::Clock::now();
        const int fd = kx::open_socket(host, member.port());
        EXPECT_LT(kx::Clock::now() - start, std::chrono::milliseconds(700)) << host;
        EXPECT_EQ(fd >= 0, std::string(host) == "kxmember2") << host;
        close(fd);
    }
    setitimer(ITIMER_REAL, &stopped, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    kx::set_reply_limits(kx::ReplyLimits{});
    close(udp);
    close(tcp);
}

// Without any ICMP socket (no group may have a datagram one, and an
// unprivileged user has no raw one) the host's ping probes the members one
// after the other, none answering: each gets only what is left of the
// deadline. As uid 65534 in a child, which a user namespace that maps only
// root cannot give.
TEST_F(HostLookups, TheHostsPingProbesManyHostsWithinTheirDeadline)
{
    ASSERT_TRUE(set_ipv4("ping_group_range", "1 0"));
    ASSERT_TRUE(set_ipv4("icmp_echo_ignore_all", "1"));
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
            _exit(77);
        for (int type : {SOCK_DGRAM, SOCK_RAW})
            if (socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP) >= 0)
                _exit(78);
        const auto start = kx::Clock::now();
        std::vector<Outcome> outcomes =
            kx::ask_daemons(kProbed, {"127.0.0.2", "127.0.0.3", "127.0.0.4"}, "status\n",
                            std::vector<kx::ReplySink *>(3, &gDropped),
                            kx::deadline_in(500));
        const bool inTime = kx::Clock::now() - start < std::chrono::milliseconds(1500);
        _exit(inTime && outcomes == std::vector<Outcome>(3, Outcome::Unreachable) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no unprivileged user to run as (a user namespace that maps only root)";
    EXPECT_NE(WEXITSTATUS(status), 78) << "the probe still had an ICMP socket";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "too slow, or a member answered";
}

}  // namespace
