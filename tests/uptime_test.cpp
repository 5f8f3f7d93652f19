// The up time: fake session and authentication managers on their real ports
// inside the network sandbox, and the critical services of the process scan.
#include "diagnostics_capture.h"
#include "fake_daemon.h"
#include "kxsinit.h"
#include "kxsmon.h"
#include "kxsservices.h"
#include "processes.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>

using kxtest::FakeDaemon;

namespace {

constexpr const char *kServices = "/etc/opt/ZARNkx/kxsservices.cfg";

uint32_t now()
{
    return static_cast<uint32_t>(time(nullptr));
}

// The library takes its own "now", which may be a second past the test's.
bool about(uint32_t got, uint32_t expected)
{
    return got == expected || got == expected + 100;
}

class UpTime : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!kxtest::in_network_sandbox())
            GTEST_SKIP() << "needs the network sandbox (tests/support/netsandbox)";
        root.lay_out_minimal_product();
    }
    void TearDown() override
    {
        kxs_freeHandle(handle);
        kx::set_gdebug(nullptr);
    }
    // Session manager started `smAgo` seconds ago, authentication manager `amAgo`.
    void daemons_started(uint32_t smAgo, uint32_t amAgo)
    {
        uint32_t t = now();
        sm = std::make_unique<FakeDaemon>("127.0.0.1", 7007);
        sm->on("smstatus", "OK/smstatus stime=" + std::to_string(t - smAgo) +
                               " sessions=1 connected=1 auth=1\n");
        am = std::make_unique<FakeDaemon>("127.0.0.1", 7010);
        am->on("amstatus", "starttime=" + std::to_string(t - amAgo) + "\ndesktops=4\n");
    }
    void start(const std::string &services)
    {
        root.write(kServices, services);
        handle = kxs_init();
        ASSERT_NE(handle, nullptr);
    }

    kxtest::TestRoot root;
    kxtest::DiagnosticsCapture diag;
    std::unique_ptr<FakeDaemon> sm, am;
    KXSHandle *handle = nullptr;
};

TEST_F(UpTime, ShortestOfTheTwoManagers)
{
    daemons_started(100, 50);
    start("begin\nname=kxnotthere\ndescription=not critical, down\nend\n"
          "begin\nname=kxscreventd\ncheck=kxscreventd\ncritical=true\nend\n");
    uint32_t up = kxs_upTime(handle);
    EXPECT_TRUE(about(up, 5000)) << up;
    EXPECT_EQ(sm->commands(), (std::vector<std::string>{"smstatus\n"}));
    EXPECT_EQ(am->commands(), (std::vector<std::string>{"amstatus\n"}));
    EXPECT_EQ(kxs_upTime(nullptr), 0u);
}

TEST_F(UpTime, CriticalServicesCount)
{
    daemons_started(100, 50);
    std::string name = kxtest::unique_name("kxcr");
    start("begin\nname=" + name + "\ncritical=true\nend\n");
    kxtest::NamedProcess process(name, {"600"});

    // Started 20 seconds ago, as the last scan (still fresh) found it.
    ASSERT_EQ(kx::kxs_refreshServices(handle), 0);
    KXSService *service = handle->services[0];
    ASSERT_EQ(service->state, KXS_SVC_UP);
    service->stime = now() - 20;
    EXPECT_TRUE(about(kxs_upTime(handle), 2000));

    process.stop();
    handle->servicesRefreshed = 0;
    kx::set_gdebug("s");
    EXPECT_EQ(kxs_upTime(handle), 0u);
    EXPECT_TRUE(diag.has("(s) kxs_upTime: service " + name + " down\n")) << diag.all();
}

TEST_F(UpTime, ARunningCriticalServiceJustStartedIsTheShortest)
{
    daemons_started(100, 50);
    std::string name = kxtest::unique_name("kxjs");
    kxtest::NamedProcess process(name, {"600"});
    start("begin\nname=" + name + "\ncritical=true\nend\n");
    uint32_t up = kxs_upTime(handle);
    EXPECT_GE(up, 1u);
    EXPECT_LE(up, 300u);
}

TEST_F(UpTime, NoServicesArrayGivesTheManagersAndSaysSo)
{
    daemons_started(30, 300);
    start("");
    kx::set_gdebug("s");
    EXPECT_TRUE(about(kxs_upTime(handle), 3000));
    EXPECT_TRUE(diag.has("(s) kxs_upTime: no services present \n"));
}

TEST_F(UpTime, AManagerWithoutAStartTimeMeansDown)
{
    sm = std::make_unique<FakeDaemon>("127.0.0.1", 7007);
    sm->on("smstatus", "ERR/smstatus busy now\n");
    am = std::make_unique<FakeDaemon>("127.0.0.1", 7010);
    am->on("amstatus", "starttime=" + std::to_string(now() - 10) + "\n");
    start("");
    EXPECT_EQ(kxs_upTime(handle), 0u);
    EXPECT_TRUE(diag.has("kxs_upTime(): get_smstatus returned zero starttime\n"));
    EXPECT_TRUE(am->commands().empty());  // not asked once the first is down

    sm->on("smstatus", "OK/smstatus stime=" + std::to_string(now() - 10) + "\n");
    am->on("amstatus", "desktops=3\n");
    diag.clear();
    EXPECT_EQ(kxs_upTime(handle), 0u);
    EXPECT_TRUE(diag.has("kxs_upTime(): kxs_get_amstatus returned zero starttime\n"));

    am.reset();  // nothing listens: the connection is refused
    diag.clear();
    EXPECT_EQ(kxs_upTime(handle), 0u);
    EXPECT_TRUE(diag.has("kxs_upTime(): kxs_get_amstatus returned -13\n")) << diag.all();

    sm.reset();
    diag.clear();
    EXPECT_EQ(kxs_upTime(handle), 0u);
    EXPECT_TRUE(diag.has("kxs_upTime(): get_smstatus returned -1\n")) << diag.all();
}

TEST_F(UpTime, StartTimesInTheFutureCountAsJustStarted)
{
    uint32_t t = now();
    sm = std::make_unique<FakeDaemon>("127.0.0.1", 7007);
    sm->on("smstatus", "OK/smstatus stime=" + std::to_string(t + 3600) + "\n");
    am = std::make_unique<FakeDaemon>("127.0.0.1", 7010);
    am->on("amstatus", "starttime=" + std::to_string(t - 100) + "\n");
    start("");
    EXPECT_EQ(kxs_upTime(handle), 1u);
}

}  // namespace
