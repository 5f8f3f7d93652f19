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
#include <tuple>

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
    const long long now = time(nullptr);
    auto sm = [&](int ago) { return "OK/smstatus stime=" + std::to_string(now - ago) + "\n"; };
    auto am = [&](int ago) { return "starttime=" + std::to_string(now - ago) + "\n"; };
    const std::string notCritical =
        "begin\nname=kxnone\nend\nbegin\nname=kxscreventd\ncheck=kxscreventd\ncritical=true\nend\n";
    // The managers' replies ("-": nothing listens), the services and the up time, where the
    // library's "now" may be a second past the test's.
    const std::tuple<std::string, std::string, std::string, uint32_t> cases[] = {
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
    for (const auto &[smOut, amOut, services, expected] : cases) {
        std::unique_ptr<kxtest::FakeDaemon> smd, amd;
        if (smOut != "-")
            (smd = std::make_unique<kxtest::FakeDaemon>("127.0.0.1", 7007))->on("smstatus", smOut);
        if (amOut != "-")
            (amd = std::make_unique<kxtest::FakeDaemon>("127.0.0.1", 7010))->on("amstatus", amOut);
        root.write("/etc/opt/ZARNkx/kxsservices.cfg", services);
        kxtest::Handle handle(kxs_init());
        ASSERT_NE(handle, nullptr);
        uint32_t up = kxs_upTime(handle.get());
        EXPECT_TRUE(up == expected || (expected != 0 && up >= expected && up <= expected + 100))
            << smOut << amOut << services << up;
        // The authentication manager is not asked once the session manager is down.
        EXPECT_TRUE(!amd || amd->commands().size() == (smOut.find("OK/") == 0 ? 1u : 0u)) << smOut;
    }
    EXPECT_EQ(kxs_upTime(nullptr), 0u);
}

}  // namespace
