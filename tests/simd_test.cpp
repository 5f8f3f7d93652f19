// kxs-simd, the simulated server, run as a real process inside the network
// sandbox and asked by the library's own clients over the real ports.
#include "fake_daemon.h"
#include "group_mgr.h"
#include "kxsdt.h"
#include "kxsutil.h"
#include "scenario.h"
#include "session_mgr.h"
#include "simulator.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <strings.h>

#include <sys/wait.h>

namespace {

using kxtest::Simulator;

const char *kScenario = R"(# a group of four
host kxtest-host 127.0.0.1 trusted lan_ok lastseen 2 period 20 starttime 1700000000
interface kxtest-host eth0 192.168.1.5 255.255.255.0 192.168.1.255 lastpkt 3 lan
interface kxtest-host eth1 10.0.0.5 255.0.0.0 10.255.255.255
authmanager kxtest-host starttime=1700000100 desktops=2
sessionmanager kxtest-host stime=1700000050 sessions=4 connected=3 auth=1
terminal kxtest-host terminalId=P1.0800b terminalIPA=10.0.0.20 terminalPackets=10
terminal kxtest-host terminalId=P1.0800A terminalIPA=10.0.0.21 terminalPackets=0 terminalConnectTime=90
host kxmember2 127.0.0.2 trusted
interface kxmember2 eth0 192.168.1.6 255.255.255.0 192.168.1.255
sessionmanager kxmember2 error starting
terminal kxmember2 terminalId=P1.0800c terminalIPA=10.0.0.22
terminal kxmember2 terminalId=P1.0800B terminalIPA=10.0.0.24
host kxmember3 127.0.0.3
terminal kxmember3 terminalId=P1.0800d terminalIPA=10.0.0.23
host kxmember4 127.0.0.4 trusted down
)";

class SimulatedServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!kxtest::in_network_sandbox())
            GTEST_SKIP() << "needs the network sandbox (tests/support/netsandbox)";
    }
};

// Each member's last-seen age and the group's terminals with their servers,
// as the library's clients read them from the server.
std::string group_seen()
{
    int count = 0;
    kx::HostList *hosts = kx::get_gm_hosts(kxtest::kSandboxHost, &count);
    std::string seen;
    for (kx::HostList *h = hosts; h; h = h->next)
        seen += std::string(h->host->info->name) + "/" + std::to_string(h->host->info->lastseen) +
                " ";
    kx::KXSTerm *merged = kx::kxs_get_currentHA_list(nullptr, hosts);
    for (auto *t = merged; t; t = t->next)
        seen += std::string(t->terminalId) + "@" + t->serverName + " ";
    kx::kxs_free_linked_list(nullptr, &merged);
    kx::free_HostList(hosts);
    return seen;
}

TEST_F(SimulatedServer, ServesTheGroupAndStopsCleanlyOnSigterm)
{
    Simulator sim(KXS_SIMD_PATH, kScenario);
    ASSERT_TRUE(sim.ready()) << sim.log();

    int count = 0;
    kx::HostList *hosts = kx::get_gm_hosts(kxtest::kSandboxHost, &count);
    ASSERT_EQ(count, 4);
    const kx::gm_hostinfo *first = hosts->host->info;
    EXPECT_STREQ(first->name, "kxtest-host");
    EXPECT_EQ(hosts->host->lanOk, 1);
    EXPECT_EQ(first->starttime, 1700000000);
    EXPECT_EQ(first->numifs, 2);
    kx::free_HostList(hosts);
    // Not the terminal of the member that is not trusted.
    EXPECT_EQ(group_seen(), "kxtest-host/2 kxmember2/0 kxmember3/0 kxmember4/0 0800A@kxtest-host "
                            "0800b@kxtest-host 0800B@kxmember2 0800c@kxmember2 ");

    kx::AMStatus *am = nullptr;
    ASSERT_EQ(kx::kxs_get_amstatus("localhost", &am), 0);
    EXPECT_EQ(am->starttime, 1700000100u);
    EXPECT_EQ(am->desktops, 2);
    free(am);
    for (const char *host : {"localhost", "kxmember2"}) {
        kx::SMStatus *sm = kx::allocate_smstatus();
        EXPECT_EQ(kx::get_smstatus(nullptr, host, &sm), 0);
        EXPECT_EQ(sm->starttime, host[0] == 'l' ? 1700000050 : 0);
        EXPECT_STREQ(sm->error, host[0] == 'l' ? nullptr : "starting");
        kx::free_smstatus(sm);
    }

    int status = sim.stop();
    ASSERT_TRUE(WIFEXITED(status)) << sim.log();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(sim.log().find("127.0.0.2:7010 \"status\""), std::string::npos) << sim.log();
    EXPECT_EQ(sim.log().find("127.0.0.3:7010 \"status\""), std::string::npos) << sim.log();
    EXPECT_EQ(sim.log().find("127.0.0.4:"), std::string::npos) << sim.log();  // a member gone away
}

// SIGHUP: the same hosts answer from the scenario read again; one that
// cannot be read, or names other hosts, leaves the old one served.
TEST_F(SimulatedServer, ReloadsTheScenarioOnSighup)
{
    const std::string first = R"(host kxtest-host 127.0.0.1 trusted lastseen 2
host kxmember2 127.0.0.2 trusted lastseen 5
terminal kxtest-host terminalId=P1.0800a terminalIPA=10.0.0.20
terminal kxmember2 terminalId=P1.0800b terminalIPA=10.0.0.21
)";
    const std::string changed = R"(host kxtest-host 127.0.0.1 trusted lastseen 2
host kxmember2 127.0.0.2 trusted lastseen 999
terminal kxtest-host terminalId=P1.0800a terminalIPA=10.0.0.20
)";
    Simulator sim(KXS_SIMD_PATH, first);
    ASSERT_TRUE(sim.ready()) << sim.log();
    const std::string served = "kxtest-host/2 kxmember2/5 0800a@kxtest-host 0800b@kxmember2 ";
    ASSERT_EQ(group_seen(), served);
    const struct {
        const char *what;
        std::string scenario;
        bool reloaded;
        std::string seen;
    } cases[] = {
        {"a line that cannot be read", first + "terminal nohost x=1\n", false, served},
        {"a host more", first + "host kxmember3 127.0.0.3\n", false, served},
        {"a late line without its time", first + "late kxmember2 status\n", false, served},
        {"a member that went quiet, its terminal gone", changed, true,
         "kxtest-host/2 kxmember2/999 0800a@kxtest-host "},
        {"and back again", first, true, served},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(sim.reload(c.scenario), c.reloaded) << c.what << "\n" << sim.log();
        EXPECT_EQ(group_seen(), c.seen) << c.what;
    }
    // A member that answers late is waited for; only the command named is late.
    ASSERT_TRUE(sim.reload(first + "late kxmember2 status 300\n")) << sim.log();
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(group_seen(), served);
    EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(300));
    sim.stop();
    const std::string &log = sim.log();
    const std::size_t late = log.find(" ms late");
    EXPECT_NE(log.find("127.0.0.2:7010 \"status\" -> 52 bytes 300 ms late\n"), std::string::npos)
        << log;
    EXPECT_EQ(log.find(" ms late", late + 1), std::string::npos) << log;
}

TEST_F(SimulatedServer, GeneratedScenarioServesEveryTerminalInOrder)
{
    Simulator sim(KXS_SIMD_PATH, kxsim::generate_scenario(3000, 3));
    ASSERT_TRUE(sim.ready()) << sim.log();
    int count = 0;
    kx::HostList *hosts = kx::get_gm_hosts("kxmember1", &count);
    ASSERT_EQ(count, 3);
    kx::KXSTerm *merged = kx::kxs_get_currentHA_list(nullptr, hosts);
    int terminals = 0;
    for (auto *t = merged; t; t = t->next, ++terminals)
        EXPECT_TRUE(!t->next || strcasecmp(t->terminalId, t->next->terminalId) <= 0);
    EXPECT_EQ(terminals, 3000);
    kx::kxs_free_linked_list(nullptr, &merged);
    kx::free_HostList(hosts);
}

// The product's tools that the server writes under a root, as the queries run them.
TEST_F(SimulatedServer, WritesTheProductToolsOfTheScenario)
{
    kxtest::TestRoot root;
    root.lay_out_minimal_product();
    Simulator sim(KXS_SIMD_PATH, R"(host kxtest-host 127.0.0.1 trusted lastseen 2
host kxmember2 127.0.0.2 trusted offline lastseen 70
host kxmember3 127.0.0.3
replica kxtest-host secondary kxtest-host
replica kxtest-host primary kxmember2
replica kxmember2 primary kxmember2 ;it's
replica kxmember2 secondary kxtest-host
dhcp net-10.1 42
dhcp it's 0
)",
                  root.path());
    ASSERT_TRUE(sim.ready()) << sim.log();
    kxtest::Handle handle(kxs_init());
    ASSERT_TRUE(handle);
    root.write("/etc/opt/ZARNkx/kxadmin.conf", "admin.server.name=localhost\n");

    std::string seen;
    KXSDHCPEntry **dhcp = kxs_DHCP(handle.get());
    for (KXSDHCPEntry **e = dhcp; e && *e; ++e)
        seen += std::string((*e)->name) + "=" + std::to_string((*e)->available) + ";";
    kxs_freeDHCP(handle.get(), dhcp);
    KXSFOHost **group = kxs_FOGroup(handle.get());
    for (KXSFOHost **h = group; h && *h; ++h)
        seen += std::string((*h)->name) + ":" + (*h)->role + "/" + std::to_string((*h)->status) + ";";
    kxs_freeFOGroup(handle.get(), group);
    EXPECT_EQ(seen, "net-10.1=42;it's=0;kxtest-host:secondary/1;kxmember2:offline primary/2;");
}

}  // namespace
