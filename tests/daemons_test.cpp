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

using namespace std::chrono_literals;
using kxtest::NamedProcess;

namespace {

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
        kxs_freeDaemons(handle, list);
        kxs_freeHandle(handle);
    }
    void start(const std::string &services)
    {
        root.lay_out_minimal_product();
        root.write("/etc/opt/ZARNkx/kxsservices.cfg", services);
        ASSERT_NE(handle = kxs_init(), nullptr);
    }
    // The list of a query that scans again, as it would 10 seconds later.
    KXSDaemon **rescan()
    {
        handle->rep.servicesRefreshed = 0;
        kxs_freeDaemons(handle, list);
        list = kxs_daemons(handle);
        EXPECT_NE(list, nullptr);
        return list;
    }

    kxtest::TestRoot root;
    kxtest::DiagnosticsCapture diag;
    KXSHandle *handle = nullptr;
    KXSDaemon **list = nullptr;
};

TEST_F(Daemons, CountsInstancesWithEarliestStartAndNotesEachChange)
{
    std::string name = kxtest::unique_name("kxd");
    start(block(name, ""));
    uint32_t firstStart = now();
    auto first = std::make_unique<NamedProcess>(name, std::vector<std::string>{"600"});
    std::this_thread::sleep_for(2500ms);
    uint32_t secondStart = now();
    auto second = std::make_unique<NamedProcess>(name, std::vector<std::string>{"600"});
    KXSDaemon *d = rescan()[0];
    EXPECT_EQ(d->status, KXS_SVC_UP);
    EXPECT_EQ(d->instances, 2);
    EXPECT_GE(d->stime, firstStart);
    EXPECT_LT(d->stime, secondStart);    // the earlier of the two
    EXPECT_GE(d->changetm, secondStart);  // at least the later start

    // Within ten seconds, and while the clock is behind the last refresh, the
    // records are not scanned again, but copied into a list of its own.
    second.reset();
    for (uint32_t refreshedAt : {now(), now() + 60}) {
        handle->rep.servicesRefreshed = refreshedAt;
        KXSDaemon **again = kxs_daemons(handle);
        ASSERT_NE(again, nullptr);
        EXPECT_NE(again[0], list[0]);
        EXPECT_EQ(again[0]->instances, 2);
        kxs_freeDaemons(handle, again);
    }

    // One of two ends (a new count), then a restart (one process, a later
    // start), then the end: each time the change time is the refresh, which
    // the library takes itself and may be a second past the test's.
    uint32_t restartedAt = now();
    EXPECT_LE(rescan()[0]->changetm - restartedAt, 1u);
    first = std::make_unique<NamedProcess>(name, std::vector<std::string>{"600"});
    std::this_thread::sleep_for(2100ms);
    uint32_t refreshed = now();
    d = rescan()[0];
    EXPECT_EQ(d->instances, 1);
    EXPECT_GE(d->stime, restartedAt);
    EXPECT_LE(d->changetm - refreshed, 1u);  // not the new start's

    first.reset();
    refreshed = now();
    d = rescan()[0];
    EXPECT_EQ(d->status, KXS_SVC_DOWN);
    EXPECT_EQ(d->instances + d->stime, 0u);
    EXPECT_LE(d->changetm - refreshed, 1u);
    uint32_t downSince = d->changetm;
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(rescan()[0]->changetm, downSince);  // staying down is no change
    EXPECT_EQ(kxs_daemons(nullptr), nullptr);
}

// Which process counts for which service (arguments read once, and only for
// processes named by a service with an argument expression), the port probe
// (bounded also for a port that never answers), services left out, and the
// display manager judged by its pid file.
TEST_F(Daemons, VerdictsOfTheServiceRules)
{
    std::string name = kxtest::unique_name("kxr");
    std::string padding(150, '1');
    kxtest::FakeDaemon listener("127.0.0.1", 0);
    kxtest::LoopbackPort refusing(kxtest::LoopbackPort::refusing);
    kxtest::LoopbackPort stalled(kxtest::LoopbackPort::stalled);
    NamedProcess dtlogin("dtlogin", {"600"});
    std::string port = std::to_string(listener.port()), xpid = root.at("/var/dt/Xpid");
    auto svc = [&](const std::string &service, const std::string &keywords) {
        return block(service, "procname=" + name + "\n" + keywords + "\n");
    };
    auto probed = [&](int i, const std::string &keywords) {
        return svc("s" + std::to_string(i), "argexp=360" + std::to_string(i) + "\n" + keywords);
    };
    const std::string display = block("dtlogin", "check=dtlogin\n");
    using Args = std::vector<std::string>;
    const int up = KXS_SVC_UP, down = KXS_SVC_DOWN;
    const struct {
        std::string services;
        std::vector<Args> processes;  // named `name`; {"0"} ends at once: a zombie
        std::string adminConf, xpid;  // "-": no such file
        std::vector<std::pair<int, int>> verdicts;  // status and instances of each listed
        uint64_t argumentReads;
    } cases[] = {
        {svc("alpha", "argexp=3601") + svc("long", "argexp=" + padding + " 42") + svc("rest", "") +
             svc("never", ""),
         {{"3601"}, {"3602"}, {"600", padding, "42"}, {"0"}}, "-", "-",
         {{up, 1}, {up, 1}, {up, 1}, {down, 0}}, 3},
        {probed(0, "port=" + std::to_string(refusing.port())) +
             probed(1, "port=" + port + "\nnetcommand=hello kxs") +
             probed(2, "netname=kxs-no-such-service\nport=" + port) +
             probed(3, "port=" + std::to_string(stalled.port())) + probed(4, "port=70000") +
             probed(5, "port=" + port),
         {{"3600"}, {"3601"}, {"3602"}, {"3603"}, {"3604"}}, "-", "-",
         {{down, 1}, {up, 1}, {up, 1}, {down, 1}, {down, 1}, {down, 0}}, 5},
        {svc("admin", "adminconf=kxtest.port") + svc("screv", "check=kxscreventd") +
             block("last", ""),
         {{"600"}}, "-", "-", {{down, 0}}, 0},
        {svc("admin", "adminconf=kxtest.port") + block("last", ""), {{"600"}},
         "kxtest.port=" + port, "-", {{up, 1}, {down, 0}}, 0},
        {display, {}, "-", " " + dtlogin.pid_text() + " \n", {{up, 1}}, 0},
        // Another process's id: the service is down, though its process counts.
        {display, {}, "-", std::to_string(getpid()), {{down, 1}}, 0},
        // No pid file, or one without a pid: judged by the process alone.
        {display, {}, "-", "-", {{up, 1}}, 0},
        {display, {}, "-", "  \n", {{up, 1}}, 0},
        {display, {}, "-", "", {{up, 1}}, 0},
        {"", {}, "-", "-", {}, 0},  // no services: an empty list, not a failure
    };
    for (const auto &c : cases) {
        kxs_freeHandle(handle);
        start(c.services);
        unlink(root.at("/etc/opt/ZARNkx/kxadmin.conf").c_str());
        unlink(xpid.c_str());
        if (c.adminConf != "-")
            root.write("/etc/opt/ZARNkx/kxadmin.conf", c.adminConf + "\n");
        if (c.xpid != "-")
            root.write("/var/dt/Xpid", c.xpid);
        std::vector<std::unique_ptr<NamedProcess>> processes;
        for (const Args &arguments : c.processes) {
            processes.push_back(std::make_unique<NamedProcess>(name, arguments));
            if (arguments == Args{"0"})
                processes.back()->wait_until(WEXITED);
        }
        uint64_t readsBefore = kx::platform::argument_reads();
        auto began = std::chrono::steady_clock::now();
        rescan();
        EXPECT_LT(std::chrono::steady_clock::now() - began,
                  std::chrono::milliseconds(kx::kProbeTimeoutMs + 5000));
        EXPECT_EQ(kx::platform::argument_reads() - readsBefore, c.argumentReads) << c.services;
        std::vector<std::pair<int, int>> verdicts;
        for (KXSDaemon **d = list; *d; ++d)
            verdicts.emplace_back((*d)->status, (*d)->instances);
        EXPECT_EQ(verdicts, c.verdicts) << c.services << diag.all();
    }
    // The running services with a port were probed, the one not running was not.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(listener.commands(), (std::vector<std::string>{"hello kxs", "", ""}));
    EXPECT_EQ(kx::kxs_checkProcess("nosuch"), 0);
}

}  // namespace
