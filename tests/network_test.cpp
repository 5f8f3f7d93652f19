// The interfaces query against real interfaces of the sandbox's network
// (loopback and a veth pair), with the group manager's replies scripted; and
// the DHCP summary from a summary tool under the test root.
#include "diagnostics_capture.h"
#include "fake_daemon.h"
#include "kxsdhcp.h"
#include "kxsinterface.h"
#include "libif.h"
#include "scripted_transport.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using kxtest::DiagnosticsCapture;

class Network : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!kxtest::in_network_sandbox())
            GTEST_SKIP() << "needs the network sandbox (tests/support/netsandbox)";
        root.lay_out_minimal_product();
        handle.reset(kxs_init());
        ASSERT_TRUE(handle);
        kx::set_gdebug("*");
    }
    static void ip(const std::string &args)
    {
        ASSERT_EQ(std::system(("ip " + args).c_str()), 0) << args;
    }

    kxtest::TestRoot root;
    kxtest::Handle handle;
};

TEST(InterfaceNames, SplitIntoDriverAndInstance)
{
    const struct {
        const char *name, *driver;
        int instance;
    } cases[] = {{"hme0", "hme", 0},   {"qfe12:3", "qfe", 12}, {"e1000g1", "e1000g", 1},
                 {"lo", "lo", 0},      {"veth1:0:7", "veth1:", 0}, {"7", "7", 0},
                 {"", "", -1},         {"x99999999999", "x", 2147483647}};
    for (const auto &c : cases) {
        std::string name = c.name;
        EXPECT_EQ(kx::_get_intf_instance(name.data()), c.instance) << c.name;
        EXPECT_STREQ(name.c_str(), c.driver) << c.name;
    }
}

// The host's verdict on real interfaces as their state changes, and the
// traces that say which probe decided (or why none could).
TEST_F(Network, TheHostJudgesRealInterfacesByFlagsAndLink)
{
    ip("link add kxv0 type veth peer name kxv1");
    const struct {
        const char *setup, *name;
        int status;
        std::vector<std::string> traces;
    } cases[] = {
        {"link set lo up", "lo", KXS_IF_UP, {}},
        {"link set kxv0 up", "kxv0", KXS_IF_DOWN, {"data link down"}},  // peer still down
        {"link set kxv1 up", "kxv0", KXS_IF_UP, {}},
        {"link set kxv1 up", "kxv0:2", KXS_IF_UP, {}},
        {"link set kxv1 down", "kxv0", KXS_IF_DOWN, {"get_device_status, data link down"}},
        {"link set kxv0 down", "kxv0", KXS_IF_DOWN, {"get_if_status, interface down"}},
        {"link set lo up", "kxnone0", KXS_IF_UP,
         {"get_if_status returned error", "get_device_status returned error",
          "get_device_status: failed for kxnone0", "ioctl operation failed: device kxnone0",
          "kstat_lookup failed: device kxnone0"}},
    };
    for (const auto &c : cases) {
        ip(c.setup);
        DiagnosticsCapture log;
        EXPECT_EQ(kx::_check_interface_status(c.name), c.status) << c.setup << " " << c.name;
        // Every verdict trace names the query; an interface found up has none.
        EXPECT_EQ(log.contains("kxs_interfaces(): "), !c.traces.empty()) << c.name << log.all();
        for (const std::string &part : c.traces)
            EXPECT_TRUE(log.contains(part)) << c.name << "\n" << log.all();
    }
    ip("link del kxv0");
}

std::string describe(KXSInterface **list)
{
    if (!list)
        return "NULL";
    std::string text;
    for (KXSInterface **i = list; *i; ++i)
        text += std::string((*i)->name) + " " + (*i)->ipaddr + "/" + (*i)->netmask + " " +
                std::to_string((*i)->status) + " " + std::to_string((*i)->lastpkt) + " [" +
                (*i)->type + "];";
    return text;
}

TEST_F(Network, InterfacesComeFromThisHostsGroupEntry)
{
    ip("link set lo up");
    const std::string other = "host kxmember2 a 1 b 0 c 7f000002 d 1 TRUSTED";
    const std::string iface = " ip c0a80a05 mask ffffff00 bcast c0a80aff lastpkt ";
    const struct {
        std::vector<std::string> reply;
        std::string expected;
    } cases[] = {
        {{other, "interface lo" + iface + "0"}, "NULL"},
        {{"host kxtest-host a 1 b 0 c 7f000001 d 0", other, "interface lo" + iface + "1"}, ""},
        {{"host kxtest-host a 1 b 0 c 7f000001 d 6", "interface lo" + iface + "0 LAN",
          "interface lo" + iface + "-1", "interface lo" + iface + "60",
          "interface lo" + iface + "61 lan", "interface kxnone9" + iface + "2",
          "interface lo" + iface + "42949673"},
         "lo 192.168.10.5/255.255.255.0 1 1 [LAN];lo 192.168.10.5/255.255.255.0 2 0 [];"
         "lo 192.168.10.5/255.255.255.0 1 6000 [];lo 192.168.10.5/255.255.255.0 2 6100 [LAN];"
         "kxnone9 192.168.10.5/255.255.255.0 1 200 [];"
         "lo 192.168.10.5/255.255.255.0 2 4294967295 [];"},
        // A longer report period moves the time-out.
        {{"host kxtest-host a 1 b 0 c 7f000001 d 1 period 30", "interface lo" + iface + "61"},
         "lo 192.168.10.5/255.255.255.0 1 6100 [];"},
    };
    for (const auto &c : cases) {
        kxtest::ScriptedTransport transport;
        transport.lines = c.reply;
        KXSInterface **list = kxs_interfaces(handle.get());
        EXPECT_EQ(describe(list), c.expected) << c.reply[0];
        kxs_freeInterfaces(handle.get(), list);
        EXPECT_EQ(transport.commands, std::vector<std::string>{"gstatus\n"});
    }
    EXPECT_EQ(kxs_interfaces(nullptr), nullptr);
}

std::string describe(KXSDHCPEntry **list)
{
    if (!list)
        return "NULL";
    std::string text;
    for (KXSDHCPEntry **e = list; *e; ++e)
        text += std::string((*e)->name ? (*e)->name : "(null)") + "=" +
                std::to_string((*e)->available) + ";";
    return text;
}

TEST_F(Network, DhcpSummaryKeepsEveryLineOfTheTool)
{
    std::string twenty, expected;
    for (int i = 1; i <= 20; ++i) {
        twenty += "print 'net" + std::to_string(i) + "\t" + std::to_string(i) + "'\n";
        expected += "net" + std::to_string(i) + "=" + std::to_string(i) + ";";
    }
    const struct {
        std::string script;
        std::string expected;
    } cases[] = {
        {"exit 0\n", ""},
        {"print ' 10.1.0.0 \t 42\t7'\nprint 'no tab here'\nprint ' \t3'\n",
         "10.1.0.0=42;(null)=3;"},
        {twenty, expected},
    };
    for (const auto &c : cases) {
        root.write("/opt/ZARNkx/lib/kxsdhcpsum", "#!/bin/ksh\n" + c.script, 0755);
        KXSDHCPEntry **list = kxs_DHCP(handle.get());
        EXPECT_EQ(describe(list), c.expected) << c.script;
        kxs_freeDHCP(handle.get(), list);
    }
}

}  // namespace
