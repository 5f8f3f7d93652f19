// The daemons query over the real process table: processes started under
// the configured names, real listeners and unusable ports on loopback.
#include "diagnostics_capture.h"
#include "fake_daemon.h"
#include "kxsinit.h"
#include "kxsmon.h"
#include "kxsservices.h"
#include "processes.h"
#include "proctable.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::string_literals;
using kxtest::NamedProcess;

namespace {

struct Daemon {
    std::string name;
    int32_t status;
    uint32_t stime;
    uint32_t changetm;
    int32_t instances;
};

uint32_t now()
{
    return static_cast<uint32_t>(time(nullptr));
}

std::string block(const std::string &name, const std::string &keywords)
{
    return "begin\nname=" + name + "\n" + keywords + "end\n";
}

// The library takes its own "now", which may be a second past the test's.
bool near(uint32_t got, uint32_t expected)
{
    return got == expected || got == expected + 1;
}

void pause_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
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
        root.write("/etc/opt/ZARNkx/kxsservices.cfg", services);
        handle = kxs_init();
        ASSERT_NE(handle, nullptr);
    }
    // The next query scans again, as it would 10 seconds later; its answer,
    // copied after the list has been released.
    std::vector<Daemon> rescan()
    {
        handle->servicesRefreshed = 0;
        std::vector<Daemon> out;
        KXSDaemon **list = kxs_daemons(handle);
        EXPECT_NE(list, nullptr);
        for (KXSDaemon **d = list; d && *d; ++d)
            out.push_back({(*d)->name, (*d)->status, (*d)->stime, (*d)->changetm, (*d)->instances});
        kxs_freeDaemons(handle, list);
        return out;
    }

    kxtest::TestRoot root;
    kxtest::DiagnosticsCapture diag;
    KXSHandle *handle = nullptr;
};

TEST_F(Daemons, CountsInstancesWithEarliestStartAndNotesEachChange)
{
    std::string name = kxtest::unique_name("kxd");
    start(block(name, "description=test daemon\n"));
    uint32_t firstStart = now();
    auto first = std::make_unique<NamedProcess>(name, std::vector<std::string>{"600"});
    pause_ms(2500);
    uint32_t secondStart = now();
    auto second = std::make_unique<NamedProcess>(name, std::vector<std::string>{"600"});

    auto up = rescan();
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].status, KXS_SVC_UP);
    EXPECT_EQ(up[0].instances, 2);
    EXPECT_GE(up[0].stime, firstStart);
    EXPECT_LT(up[0].stime, secondStart);  // the earlier of the two
    EXPECT_GE(up[0].changetm, secondStart);  // at least the later start

    // One of two ends (a new count), then a restart (one process, a later
    // start), then the end: each time the change time is the refresh.
    second.reset();
    uint32_t refreshed = now();
    EXPECT_TRUE(near(rescan()[0].changetm, refreshed));
    uint32_t restartedAt = now();
    first = std::make_unique<NamedProcess>(name, std::vector<std::string>{"600"});
    pause_ms(2100);
    refreshed = now();
    auto restarted = rescan();
    EXPECT_EQ(restarted[0].instances, 1);
    EXPECT_GE(restarted[0].stime, restartedAt);
    EXPECT_TRUE(near(restarted[0].changetm, refreshed));
    EXPECT_GT(restarted[0].changetm, restarted[0].stime);

    first.reset();
    refreshed = now();
    auto down = rescan();
    EXPECT_EQ(down[0].status, KXS_SVC_DOWN);
    EXPECT_EQ(down[0].instances, 0);
    EXPECT_EQ(down[0].stime, 0u);
    EXPECT_TRUE(near(down[0].changetm, refreshed));
    pause_ms(1100);
    EXPECT_EQ(rescan()[0].changetm, down[0].changetm);  // staying down is no change
}

// The arguments are read only for processes whose name is that of a service
// with an argument expression, once per process, and searched whole.
TEST_F(Daemons, ArgumentsAreReadOnlyForCandidatesAndDecideAmongThem)
{
    std::string name = kxtest::unique_name("kxa");
    std::string other = kxtest::unique_name("kxb");
    std::string padding(150, '1');
    start(block("alpha", "procname=" + name + "\nargexp=3601\n") +
          block("long", "procname=" + name + "\nargexp=" + padding + " 42\n") +
          block("rest", "procname=" + name + "\n") + block("never", "procname=" + name + "\n") +
          block("other", "procname=" + other + "\n"));
    NamedProcess a(name, {"3601"});
    NamedProcess b(name, {"3602"});
    NamedProcess c(name, {"600", padding, "42"});
    NamedProcess zombie(name, {"0"});
    zombie.wait_until_zombie();
    NamedProcess d(other, {"3601"});
    NamedProcess e(other, {"3601"});

    uint64_t readsBefore = kx::platform::argument_reads();
    auto all = rescan();
    EXPECT_EQ(kx::platform::argument_reads() - readsBefore, 3u);
    const std::vector<int32_t> instances = {1, 1, 1, 0, 2};
    ASSERT_EQ(all.size(), instances.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].instances, instances[i]) << all[i].name;
        EXPECT_EQ(all[i].status, instances[i] ? KXS_SVC_UP : KXS_SVC_DOWN) << all[i].name;
    }
}

TEST_F(Daemons, PortDecidesWhetherARunningServiceIsUpAndTheProbeIsBounded)
{
    std::string name = kxtest::unique_name("kxp");
    kxtest::FakeDaemon listener("127.0.0.1", 0);
    kxtest::LoopbackPort refusing(kxtest::LoopbackPort::refusing);
    kxtest::LoopbackPort stalled(kxtest::LoopbackPort::stalled);
    std::string port = std::to_string(listener.port());
    auto service = [&](const std::string &serviceName, const std::string &argument,
                       const std::string &keywords) {
        return block(serviceName, "procname=" + name + "\nargexp=" + argument + "\n" + keywords);
    };
    start(service("refused", "3601", "port=" + std::to_string(refusing.port()) + "\n") +
          service("answers", "3602", "port=" + port + "\nnetcommand=hello kxs\n") +
          service("fallback", "3603", "netname=kxs-no-such-service\nport=" + port + "\n") +
          service("stalled", "3604", "port=" + std::to_string(stalled.port()) + "\n") +
          service("badport", "3605", "port=70000\n") +
          service("notrunning", "3606", "port=" + port + "\n"));
    std::vector<std::unique_ptr<NamedProcess>> processes;
    for (int argument = 3601; argument <= 3605; ++argument)
        processes.push_back(std::make_unique<NamedProcess>(
            name, std::vector<std::string>{std::to_string(argument)}));
    kx::set_gdebug("s");

    auto began = std::chrono::steady_clock::now();
    auto all = rescan();
    EXPECT_LT(std::chrono::steady_clock::now() - began,
              std::chrono::milliseconds(kx::kProbeTimeoutMs + 5000));
    const std::vector<int32_t> states = {KXS_SVC_DOWN, KXS_SVC_UP,   KXS_SVC_UP,
                                         KXS_SVC_DOWN, KXS_SVC_DOWN, KXS_SVC_DOWN};
    ASSERT_EQ(all.size(), states.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].status, states[i]) << all[i].name << "\n" << diag.all();
        EXPECT_EQ(all[i].instances, i < 5 ? 1 : 0) << all[i].name;
    }
    for (const std::string &line :
         {"(s) checkServicePorts: could not open port " + std::to_string(refusing.port()) + "\n",
          "(s) checkServicePorts: getservbyname failed for kxs-no-such-service\n"s,
          "(s) kxs_open_socket(): Could not connect - Connection timed out\n"s,
          "checkServicePorts(): invalid port 70000 for badport\n"s})
        EXPECT_TRUE(diag.has(line)) << line;
    // The two running services were probed, the one not running was not.
    for (int waited = 0; listener.commands().size() < 2 && waited < 50; ++waited)
        pause_ms(100);
    pause_ms(200);
    EXPECT_EQ(listener.commands(), (std::vector<std::string>{"hello kxs", ""}));
}

TEST_F(Daemons, AdminconfServiceFollowsTheAdministrationConfiguration)
{
    std::string name = kxtest::unique_name("kxc");
    kxtest::FakeDaemon listener("127.0.0.1", 0);
    start(block("admin", "procname=" + name + "\nadminconf=kxtest.port\n") +
          block("screv", "procname=" + name + "\ncheck=kxscreventd\n") + block("last", ""));
    NamedProcess process(name, {"600"});

    auto without = rescan();
    ASSERT_EQ(without.size(), 1u);  // "admin" and "screv" are not listed
    EXPECT_EQ(without[0].name, "last");

    std::string port = std::to_string(listener.port());
    root.write("/etc/opt/ZARNkx/kxadmin.conf", "kxtest.port=" + port + "\n");
    auto with = rescan();
    ASSERT_EQ(with.size(), 2u);
    EXPECT_EQ(with[0].name, "admin");
    EXPECT_EQ(with[0].status, KXS_SVC_UP);
    EXPECT_EQ(handle->services[0]->port, listener.port());

    // Without its key the service keeps what it had.
    root.write("/etc/opt/ZARNkx/kxadmin.conf", "other=1\n");
    EXPECT_EQ(rescan().size(), 2u);
    EXPECT_EQ(handle->services[0]->port, listener.port());
}

TEST_F(Daemons, DtloginIsTheProcessThatItsPidFileNames)
{
    start(block("dtlogin", "check=dtlogin\n"));
    auto dtlogin = std::make_unique<NamedProcess>("dtlogin", std::vector<std::string>{"600"});
    NamedProcess other(kxtest::unique_name("kxx"), {"600"});
    std::string pidFile = root.at("/var/dt/Xpid");
    const struct {
        std::string content;  // "-": no file
        int32_t status;
        std::string message;
    } cases[] = {
        {"  " + dtlogin->pid_text() + "  \n", KXS_SVC_UP, ""},
        {other.pid_text() + "\n", KXS_SVC_DOWN, ""},
        {"-", KXS_SVC_UP, "get_dtlogin_pid(): Could not open file " + pidFile + "\n"},
        {"   \n", KXS_SVC_UP, "get_dtlogin_pid(): PID missing from file " + pidFile + "\n"},
        {"", KXS_SVC_UP, "get_dtlogin_pid(): fgets returned NULL for file " + pidFile + "\n"},
    };
    for (const auto &c : cases) {
        unlink(pidFile.c_str());
        if (c.content != "-")
            root.write("/var/dt/Xpid", c.content);
        diag.clear();
        EXPECT_EQ(rescan()[0].status, c.status) << c.content;
        EXPECT_EQ(kx::kxs_checkProcess("dtlogin"), c.status == KXS_SVC_UP) << c.content;
        EXPECT_TRUE(c.message.empty() || diag.has(c.message)) << c.content << diag.all();
    }
    dtlogin.reset();
    EXPECT_EQ(rescan()[0].status, KXS_SVC_DOWN);
    EXPECT_EQ(kx::kxs_checkProcess("dtlogin"), 0);
    EXPECT_EQ(kx::kxs_checkProcess(nullptr), 0);
    EXPECT_EQ(kx::kxs_checkProcess("nosuch"), 0);
}

TEST_F(Daemons, ResultsAreReusedForTenSecondsInListsOfTheirOwn)
{
    std::string name = kxtest::unique_name("kxt");
    start(block(name, "") + block("screv", "check=kxscreventd\n"));
    auto process = std::make_unique<NamedProcess>(name, std::vector<std::string>{"600"});
    KXSDaemon **first = kxs_daemons(handle);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first[1], nullptr);  // the excluded service leaves no gap

    process.reset();
    kx::set_gdebug("s");
    KXSDaemon **second = kxs_daemons(handle);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first[0], second[0]);
    EXPECT_EQ(second[0]->status, KXS_SVC_UP);
    EXPECT_EQ(second[0]->stime, first[0]->stime);
    EXPECT_TRUE(diag.has("(s) kxs_refreshServices: services fresh enough\n"));
    kxs_freeDaemons(handle, first);
    kxs_freeDaemons(handle, second);

    // A clock set back holds the refresh until it passes the old time again.
    handle->servicesRefreshed = now() + 60;
    KXSDaemon **held = kxs_daemons(handle);
    EXPECT_EQ(held[0]->status, KXS_SVC_UP);
    kxs_freeDaemons(handle, held);
    EXPECT_EQ(rescan()[0].status, KXS_SVC_DOWN);
    EXPECT_EQ(kxs_daemons(nullptr), nullptr);
    kxs_freeDaemons(handle, nullptr);
}

}  // namespace
