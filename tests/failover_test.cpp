// The failover group: members from scripted group-manager replies, roles
// from replica and remote-command tools that are small scripts under the
// test root, installed so deep (an install root of about 120 characters)
// that their commands outgrow a buffer of 128 bytes.
#include "fake_daemon.h"
#include "kxsfog.h"
#include "kxsinit.h"
#include "scripted_transport.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

// This host (lastseen 2), an offline member seen 60 s ago, one seen 61 s ago,
// a down one whose name is part of kxmember10, and an untrusted one.
const std::vector<std::string> kGroup = {
    "host kxtest-host a 2 b 0 c 7f000001 d 0 TRUSTED",
    "host kxmember2 a 60 b 0 c 7f000002 d 0 trusted offline",
    "host kxmember3 a 61 b 0 c 7f000003 d 0 TRUSTED",
    "host kxmember1 a -1 b 0 c 7f000001 d 0 TRUSTED",
    "host kxmember4 a 1 b 0 c 7f000004 d 0",
};

std::string describe(KXSFOHost **list)
{
    if (!list)
        return "NULL";
    std::string text;
    for (KXSFOHost **h = list; *h; ++h)
        text += std::string((*h)->name) + "=" + (*h)->role + "/" + std::to_string((*h)->status) +
                ";";
    return text;
}

class Failover : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!kxtest::in_network_sandbox())
            GTEST_SKIP() << "needs the network sandbox (tests/support/netsandbox)";
        root.lay_out_minimal_product();
        root.write("/var/sadm/pkg/ZARNkxo/pkginfo",
                   "PKG=ZARNkxo\nVERSION=4.2\nBASEDIR=" + base + "\n");
    }
    // The replica tool prints `local`; the remote-command tool records its
    // arguments and prints `remote`. Each is a ksh script body.
    void tools(const std::string &local, const std::string &remote)
    {
        root.write(base + "/ZARNkx/sbin/kxreplica", "#!/bin/ksh\n" + local, 0755);
        root.write(base + "/ZARNkx/lib/kxrcmd",
                   "#!/bin/ksh\nprint -r -- \"$*\" >> " + root.at("/rcmd.args") + "\n" + remote,
                   0755);
    }

    const std::string base = "/opt/" + std::string(90, 'd');
    kxtest::TestRoot root;
    kxtest::ScriptedTransport transport;
};

TEST_F(Failover, RolesComeFromTheReplicaListsOfThePrimary)
{
    const std::string kUnknown = "kxtest-host=unknown/1;kxmember2=offline unknown/1;"
                                 "kxmember3=unknown/2;kxmember1=unknown/2;";
    const std::string replica = root.at(base + "/ZARNkx/sbin/kxreplica");
    const std::string remoteCall = "kxmember2 " + replica + " -l\n";
    const struct {
        const char *what;
        bool adminConfigured;
        std::string local, remote, expected, remoteArgs;
        std::vector<std::string> group = kGroup;  // the group manager's reply
    } cases[] = {
        {"no administration database", false, "exit 9\n", "",
         "kxtest-host=zero admin/1;kxmember2=offline no data sharing/1;"
         "kxmember3=no data sharing/2;kxmember1=no data sharing/2;", ""},
        {"this host is the primary", true,
         "print 'secondary kxmember10'\nprint ''\nprint 'primary kxtest-host'\n", "exit 1\n",
         "kxtest-host=primary/1;kxmember2=offline no data sharing/1;"
         "kxmember3=no data sharing/2;kxmember1=secondary/2;", ""},
        {"another host is the primary", true,
         "print 'secondary kxtest-host'\nprint 'primary  kxmember2 '\n",
         "print 'secondary kxtest-host'\nprint 'primary kxmember2'\nprint 'secondary kxmember3'\n",
         "kxtest-host=secondary/1;kxmember2=offline primary/1;kxmember3=secondary/2;"
         "kxmember1=no data sharing/2;", remoteCall},
        {"no primary line", true, "print 'secondary kxtest-host'\n", "",
         "kxtest-host=no data sharing/1;kxmember2=offline no data sharing/1;"
         "kxmember3=no data sharing/2;kxmember1=no data sharing/2;", ""},
        {"the replica tool fails", true, "print 'primary kxtest-host'\nexit 3\n", "", kUnknown, ""},
        {"the primary's tool dies by a signal", true, "print 'primary kxmember2'\n",
         "print 'primary kxmember2'\nkill -KILL $$\n", kUnknown, remoteCall},
        {"the primary disowns it", true, "print 'primary kxmember2'\n",
         "print 'primary kxmember3'\n", kUnknown, remoteCall},
        // The primary is the line's last word: only "owned" reaches the tool.
        {"a primary's name after a command", true, "print 'primary x;touch owned'\n", "", kUnknown,
         "owned " + replica + " -l\n"},
        {"a primary's name that substitutes", true, "print 'primary $(touch${IFS}owned)'\n", "",
         kUnknown, ""},
        {"a primary's name that is an option", true, "print 'primary -oProxyCommand=x'\n", "",
         kUnknown, ""},
        {"no group", false, "print 'primary kxtest-host'\n", "", "NULL", "", {}},
        {"no host in the reply", true, "print 'primary kxtest-host'\n", "", "NULL", "", {"junk"}},
    };
    for (const auto &c : cases) {
        std::filesystem::remove(root.at("/rcmd.args"));
        std::filesystem::remove(root.at("/etc/opt/ZARNkx/kxadmin.conf"));
        tools(c.local, c.remote);
        transport.lines = c.group;
        kxtest::Handle handle(kxs_init());
        ASSERT_TRUE(handle);
        if (c.adminConfigured)
            root.write("/etc/opt/ZARNkx/kxadmin.conf", "admin.server.name=localhost\n");
        KXSFOHost **group = kxs_FOGroup(handle.get());
        EXPECT_EQ(describe(group), c.expected) << c.what;
        kxs_freeFOGroup(handle.get(), group);
        EXPECT_EQ(root.read("/rcmd.args"), c.remoteArgs) << c.what;

        // What the tools said the first time holds for the life of the handle.
        tools("print 'primary kxmember3'\n", "print 'primary kxmember3'\n");
        group = kxs_FOGroup(handle.get());
        EXPECT_EQ(describe(group), c.expected) << c.what << " (again)";
        kxs_freeFOGroup(handle.get(), group);
    }
    EXPECT_FALSE(std::filesystem::exists("owned"));
    EXPECT_FALSE(std::filesystem::exists(root.at(base + "/ZARNkx/sbin/owned")));
    EXPECT_EQ(kxs_FOGroup(nullptr), nullptr);
}

}  // namespace
