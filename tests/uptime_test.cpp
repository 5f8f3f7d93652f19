// The up time: fake session and authentication managers on their real ports
// inside the network sandbox, and the critical services of the process scan.
#include "diagnostics_capture.h"
#include "fake_daemon.h"
#include "kxsmon.h"
#include "processes.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>

namespace {

TEST(UpTime, ShortestOfTheManagersAndTheCriticalServices)
{
    if (!kxtest::in_network_sandbox())
        GTEST_SKIP() << "needs the network sandbox (tests/support/netsandbox)";
    kxtest::TestRoot root;
    root.lay_out_minimal_product();
    kxtest::DiagnosticsCapture quiet;
    std::string name = kxtest::unique_name("kxcr");
    kxtest::NamedProcess critical(name, {"600"});
    const std::string t = std::to_string(time(nullptr));
    auto ago = [&](int seconds) { return std::to_string(std::stoll(t) - seconds); };
    auto sm = [&](int seconds) { return "OK/smstatus stime=" + ago(seconds) + "\n"; };
    auto am = [&](int seconds) { return "starttime=" + ago(seconds) + "\n"; };
    const std::string notCritical = "begin\nname=kxnotthere\nend\n"
                                    "begin\nname=kxscreventd\ncheck=kxscreventd\ncritical=true\nend\n";
    const struct {
        std::string sm;  // the managers' replies; "-": nothing listens
        std::string am;
        std::string services;
        uint32_t expected;  // the library's "now" may be a second past the test's
    } cases[] = {
        {sm(100), am(50), notCritical, 5000},
        {sm(30), am(300), "", 3000},
        {sm(100), am(50), "begin\nname=" + name + "\ncritical=true\nend\n", 1},  // just started
        {sm(100), am(50), "begin\nname=kxgone\ncritical=true\nend\n", 0},
        {sm(-3600), am(100), "", 1},  // a start in the future is a fresh start
        {"ERR/smstatus busy now\n", am(10), "", 0},
        {"-", am(10), "", 0},
        {sm(10), "desktops=3\n", "", 0},  // no start time
        {sm(10), "-", "", 0},
    };
    for (const auto &c : cases) {
        std::unique_ptr<kxtest::FakeDaemon> smd, amd;
        if (c.sm != "-")
            (smd = std::make_unique<kxtest::FakeDaemon>("127.0.0.1", 7007))->on("smstatus", c.sm);
        if (c.am != "-")
            (amd = std::make_unique<kxtest::FakeDaemon>("127.0.0.1", 7010))->on("amstatus", c.am);
        root.write("/etc/opt/ZARNkx/kxsservices.cfg", c.services);
        KXSHandle *handle = kxs_init();
        ASSERT_NE(handle, nullptr);
        uint32_t up = kxs_upTime(handle);
        kxs_freeHandle(handle);
        EXPECT_TRUE(up == c.expected || (c.expected != 0 && up >= c.expected &&
                                         up <= c.expected + 100))
            << c.sm << c.am << c.services << up;
        bool smAnswered = c.sm.rfind("OK/", 0) == 0;
        // The authentication manager is not asked once the session manager is down.
        EXPECT_TRUE(!amd || amd->commands().size() == (smAnswered ? 1u : 0u)) << c.sm;
    }
    EXPECT_EQ(kxs_upTime(nullptr), 0u);
}

}  // namespace
