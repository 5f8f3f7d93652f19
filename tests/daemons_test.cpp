// The daemons query over the real process table: processes started under
// the configured names, real listeners and refusing ports on loopback.
#include "diagnostics_capture.h"
#include "kxsinit.h"
#include "kxsmon.h"
#include "kxsservices.h"
#include "processes.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using kxtest::NamedProcess;

namespace {

constexpr const char *kServices = "/etc/opt/ZARNkx/kxsservices.cfg";

struct Daemon {
    std::string name;
    int32_t status;
    uint32_t stime;
    uint32_t changetm;
    int32_t instances;
    std::optional<std::string> description;
};

uint32_t now()
{
    return static_cast<uint32_t>(time(nullptr));
}

std::string block(const std::string &name, const std::string &keywords)
{
    return "begin\nname=" + name + "\n" + keywords + "end\n";
}

class Daemons : public ::testing::Test {
protected:
    void TearDown() override
    {
        kxs_freeHandle(handle);
        kx::set_gdebug(nullptr);
    }
    void start(const std::string &services)
    {
        root.lay_out_minimal_product();
        root.write(kServices, services);
        handle = kxs_init();
        ASSERT_NE(handle, nullptr);
    }
    // The query's answer, copied, after the list has been released.
    std::vector<Daemon> query()
    {
        std::vector<Daemon> out;
        KXSDaemon **list = kxs_daemons(handle);
        EXPECT_NE(list, nullptr);
        for (KXSDaemon **d = list; d && *d; ++d)
            out.push_back({(*d)->name, (*d)->status, (*d)->stime, (*d)->changetm, (*d)->instances,
                           (*d)->description ? std::optional<std::string>((*d)->description)
                                             : std::nullopt});
        kxs_freeDaemons(handle, list);
        return out;
    }
    // The next query scans again, as it would 10 seconds later.
    std::vector<Daemon> rescan()
    {
        handle->servicesRefreshed = 0;
        return query();
    }

    kxtest::TestRoot root;
    kxtest::DiagnosticsCapture diag;
    KXSHandle *handle = nullptr;
};

TEST_F(Daemons, CountsInstancesWithEarliestStartAndNotesTheEnd)
{
    std::string name = kxtest::unique_name("kxd");
    start(block(name, "description=test daemon\n"));
    uint32_t firstStart = now();
    auto first = std::make_unique<NamedProcess>(name, std::vector<std::string>{"600"});
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    uint32_t secondStart = now();
    auto second = std::make_unique<NamedProcess>(name, std::vector<std::string>{"600"});

    auto up = query();
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].name, name);
    EXPECT_EQ(up[0].description, "test daemon");
    EXPECT_EQ(up[0].status, KXS_SVC_UP);
    EXPECT_EQ(up[0].instances, 2);
    EXPECT_GE(up[0].stime + 1, firstStart);
    EXPECT_LT(up[0].stime, secondStart - 1);  // the earlier of the two
    EXPECT_GE(up[0].changetm + 1, secondStart);  // at least the later start

    // One of two ends: the count changed, so the change time is the refresh.
    second.reset();
    uint32_t refreshed = now();
    auto fewer = rescan();
    EXPECT_EQ(fewer[0].instances, 1);
    EXPECT_GE(fewer[0].changetm, refreshed);

    // A restart (one process, a later start): the change time is the refresh,
    // not the new process's start.
    first.reset();
    first = std::make_unique<NamedProcess>(name, std::vector<std::string>{"600"});
    uint32_t restartedAt = now();
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    refreshed = now();
    auto restarted = rescan();
    EXPECT_EQ(restarted[0].instances, 1);
    EXPECT_GE(restarted[0].stime + 1, restartedAt);
    EXPECT_GE(restarted[0].changetm, refreshed);
    EXPECT_GT(restarted[0].changetm, restarted[0].stime + 1);

    first.reset();
    refreshed = now();
    auto down = rescan();
    EXPECT_EQ(down[0].status, KXS_SVC_DOWN);
    EXPECT_EQ(down[0].instances, 0);
    EXPECT_EQ(down[0].stime, 0u);
    EXPECT_GE(down[0].changetm, refreshed);
    EXPECT_LE(down[0].changetm, now());

    // Staying down keeps the time of the change.
    uint32_t downSince = down[0].changetm;
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(rescan()[0].changetm, downSince);
}

TEST_F(Daemons, ArgumentsSplitASharedNameAndTheFirstMatchTakesTheProcess)
{
    std::string name = kxtest::unique_name("kxa");
    start(block("alpha", "procname=" + name + "\nargexp=3601\n") +
          block("rest", "procname=" + name + "\n") + block("never", "procname=" + name + "\n"));
    NamedProcess a(name, {"3601"});
    NamedProcess b(name, {"3602"});
    NamedProcess c(name, {"3603"});
    auto all = query();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].instances, 1);
    EXPECT_EQ(all[1].instances, 2);
    EXPECT_EQ(all[2].instances, 0);
    EXPECT_EQ(all[2].status, KXS_SVC_DOWN);
    EXPECT_EQ(all[2].description, std::nullopt);
}

TEST_F(Daemons, ArgumentTextBeyondTheFirst80CharactersIsSearched)
{
    std::string name = kxtest::unique_name("kxl");
    std::string padding(150, '1');
    start(block("long", "procname=" + name + "\nargexp=" + padding + " 42\n"));
    NamedProcess process(name, {"600", padding, "42"});
    EXPECT_EQ(query()[0].instances, 1);
}

TEST_F(Daemons, ZombiesAreNotCounted)
{
    std::string name = kxtest::unique_name("kxz");
    start(block(name, ""));
    NamedProcess live(name, {"600"});
    NamedProcess zombie(name, {"0"});
    zombie.wait_until_zombie();
    auto all = query();
    EXPECT_EQ(all[0].instances, 1);
    EXPECT_EQ(all[0].status, KXS_SVC_UP);
}

TEST_F(Daemons, PortDecidesWhetherARunningServiceIsUp)
{
    std::string name = kxtest::unique_name("kxp");
    kxtest::Listener listener;
    kxtest::RefusingPort refusing;
    start(block("refused", "procname=" + name + "\nargexp=3602\nport=" +
                               std::to_string(refusing.port()) + "\n") +
          block("answers", "procname=" + name + "\nargexp=3601\nport=" +
                               std::to_string(listener.port()) + "\nnetcommand=hello kxs\n") +
          block("fallback", "procname=" + name + "\nnetname=kxs-no-such-service\nport=" +
                                std::to_string(listener.port()) + "\n"));
    NamedProcess answering(name, {"3601"});
    NamedProcess refused(name, {"3602"});
    NamedProcess third(name, {"3603"});
    kx::set_gdebug("*");

    auto all = query();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].status, KXS_SVC_DOWN) << diag.all();
    EXPECT_EQ(all[0].instances, 1);
    EXPECT_NE(all[0].stime, 0u);
    EXPECT_TRUE(diag.has("(s) checkServicePorts: could not open port " +
                         std::to_string(refusing.port()) + "\n"));
    EXPECT_EQ(all[1].status, KXS_SVC_UP);
    EXPECT_EQ(all[2].status, KXS_SVC_UP);
    EXPECT_TRUE(diag.has("(s) checkServicePorts: getservbyname failed for kxs-no-such-service\n"));
    auto texts = listener.received(2);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "hello kxs");
    EXPECT_EQ(texts[1], "");
}

TEST_F(Daemons, StoppedServicesAndUnusablePortsAreNotProbed)
{
    std::string name = kxtest::unique_name("kxq");
    kxtest::Listener listener;
    start(block("notrunning", "procname=" + name + "\nport=" + std::to_string(listener.port()) + "\n") +
          block("badport", "procname=" + kxtest::unique_name("kxo") + "\nport=70000\n"));
    NamedProcess other(kxtest::unique_name("kxo"), {"600"});
    auto all = query();
    EXPECT_EQ(all[0].status, KXS_SVC_DOWN);
    EXPECT_EQ(listener.connections(), 0);
    EXPECT_EQ(all[1].status, KXS_SVC_DOWN);
    EXPECT_EQ(all[1].instances, 1);
    EXPECT_TRUE(diag.has("checkServicePorts(): invalid port 70000 for badport\n")) << diag.all();
}

TEST_F(Daemons, ProbeOfAPortThatNeverAcceptsIsBounded)
{
    std::string name = kxtest::unique_name("kxs");
    kxtest::StalledPort stalled;
    start(block(name, "port=" + std::to_string(stalled.port()) + "\n"));
    NamedProcess process(name, {"600"});
    kx::set_gdebug("s");
    auto began = std::chrono::steady_clock::now();
    auto all = query();
    auto took = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(all[0].status, KXS_SVC_DOWN);
    EXPECT_EQ(all[0].instances, 1);
    EXPECT_LT(took, std::chrono::milliseconds(kx::kProbeTimeoutMs + 5000));
    EXPECT_TRUE(diag.has("(s) kxs_open_socket(): Could not connect - Connection timed out\n"))
        << diag.all();
}

TEST_F(Daemons, AdminconfServiceFollowsTheAdministrationConfiguration)
{
    std::string name = kxtest::unique_name("kxc");
    kxtest::Listener listener;
    start(block("admin", "procname=" + name + "\nadminconf=kxtest.port\n") +
          block("screv", "procname=" + name + "\ncheck=kxscreventd\n") +
          block("last", "description=x\n"));
    NamedProcess process(name, {"600"});

    auto without = query();
    ASSERT_EQ(without.size(), 1u);  // "admin" and "screv" are not listed
    EXPECT_EQ(without[0].name, "last");
    EXPECT_EQ(listener.connections(), 0);

    root.write("/etc/opt/ZARNkx/kxadmin.conf",
               "kxtest.port=" + std::to_string(listener.port()) + "\n");
    auto with = rescan();
    ASSERT_EQ(with.size(), 2u);
    EXPECT_EQ(with[0].name, "admin");
    EXPECT_EQ(with[0].status, KXS_SVC_UP);
    EXPECT_EQ(with[0].instances, 1);
    EXPECT_EQ(listener.received(1).size(), 1u);
    EXPECT_EQ(handle->services[0]->port, listener.port());

    // Without its key the service keeps what it had.
    root.write("/etc/opt/ZARNkx/kxadmin.conf", "other=1\n");
    EXPECT_EQ(rescan().size(), 2u);
    EXPECT_EQ(handle->services[0]->port, listener.port());
}

TEST_F(Daemons, DtloginIsTheProcessThatItsPidFileNames)
{
    start(block("dtlogin", "check=dtlogin\n"));
    NamedProcess dtlogin("dtlogin", {"600"});
    NamedProcess other(kxtest::unique_name("kxx"), {"600"});

    root.write("/var/dt/Xpid", "  " + dtlogin.pid_text() + "  \n");
    auto named = query();
    EXPECT_EQ(named[0].status, KXS_SVC_UP);
    EXPECT_EQ(kx::kxs_checkProcess("dtlogin"), 1);

    root.write("/var/dt/Xpid", other.pid_text() + "\n");
    auto wrong = rescan();
    EXPECT_EQ(wrong[0].status, KXS_SVC_DOWN);
    EXPECT_GE(wrong[0].instances, 1);  // the scan still counts it
    EXPECT_EQ(kx::kxs_checkProcess("dtlogin"), 0);

    // Without a pid file any process of that name will do.
    unlink(root.at("/var/dt/Xpid").c_str());
    diag.clear();
    EXPECT_EQ(rescan()[0].status, KXS_SVC_UP);
    EXPECT_TRUE(diag.has("get_dtlogin_pid(): Could not open file " + root.at("/var/dt/Xpid") + "\n"));

    root.write("/var/dt/Xpid", "   \n");
    diag.clear();
    EXPECT_EQ(rescan()[0].status, KXS_SVC_UP);
    EXPECT_TRUE(diag.has("get_dtlogin_pid(): PID missing from file " + root.at("/var/dt/Xpid") + "\n"));

    dtlogin.stop();
    EXPECT_EQ(rescan()[0].status, KXS_SVC_DOWN);
    EXPECT_EQ(kx::kxs_checkProcess("dtlogin"), 0);
    EXPECT_EQ(kx::kxs_checkProcess(nullptr), 0);
    EXPECT_EQ(kx::kxs_checkProcess("nosuch"), 0);
}

TEST_F(Daemons, ResultsAreReusedForTenSeconds)
{
    std::string name = kxtest::unique_name("kxt");
    start(block(name, ""));
    auto process = std::make_unique<NamedProcess>(name, std::vector<std::string>{"600"});
    KXSDaemon **first = kxs_daemons(handle);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first[0]->status, KXS_SVC_UP);

    process.reset();
    kx::set_gdebug("*");
    diag.clear();
    KXSDaemon **second = kxs_daemons(handle);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_NE(first[0], second[0]);
    EXPECT_EQ(second[0]->status, KXS_SVC_UP);
    EXPECT_EQ(second[0]->instances, 1);
    EXPECT_EQ(second[0]->stime, first[0]->stime);
    EXPECT_TRUE(diag.has("(s) kxs_refreshServices: services fresh enough\n"));
    kxs_freeDaemons(handle, first);
    kxs_freeDaemons(handle, second);

    // A clock set back holds the refresh until it passes the old time again.
    handle->servicesRefreshed = now() + 60;
    EXPECT_EQ(query()[0].status, KXS_SVC_UP);
    EXPECT_EQ(rescan()[0].status, KXS_SVC_DOWN);
}

TEST_F(Daemons, EmptyAndMissingServices)
{
    start("");
    KXSDaemon **none = kxs_daemons(handle);  // no services: an empty list
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none[0], nullptr);
    kxs_freeDaemons(handle, none);
    EXPECT_EQ(kxs_daemons(nullptr), nullptr);
    kxs_freeDaemons(handle, nullptr);

    kxs_freeHandle(handle);
    handle = nullptr;
    root.write(kServices, block("onlyscrev", "check=kxscreventd\n"));
    handle = kxs_init();
    ASSERT_NE(handle, nullptr);
    KXSDaemon **list = kxs_daemons(handle);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0], nullptr);
    kxs_freeDaemons(handle, list);
}

}  // namespace
