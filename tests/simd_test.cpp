// kxs-simd, the simulated server, run as a real process inside the network
// sandbox and asked by the library's own clients.
#include "fake_daemon.h"
#include "group_mgr.h"
#include "kxerrno.h"
#include "kxsdt.h"
#include "kxsutil.h"
#include "scenario.h"
#include "session_mgr.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A running kxs-simd: started on a scenario, stopped with SIGTERM.
class Simulator {
public:
    explicit Simulator(const std::string &scenario, std::vector<std::string> options = {})
    {
        char path[] = "/tmp/kxsimd-scenario.XXXXXX";
        int fd = mkstemp(path);
        (void)!write(fd, scenario.data(), scenario.size());
        close(fd);
        scenarioPath_ = path;
        int out[2];
        if (pipe(out) < 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 2);
            close(out[0]);
            close(out[1]);
            std::vector<char *> argv{const_cast<char *>("kxs-simd")};
            for (auto &option : options)
                argv.push_back(option.data());
            argv.push_back(scenarioPath_.data());
            argv.push_back(nullptr);
            execv(KXS_SIMD_PATH, argv.data());
            _exit(127);
        }
        close(out[1]);
        log_ = out[0];
        ready_ = wait_for("kxs-simd: ready\n");
    }
    ~Simulator()
    {
        stop();
        if (log_ >= 0)
            close(log_);
        unlink(scenarioPath_.c_str());
    }
    bool ready() const { return ready_; }
    // Stops the server; its exit status as waitpid reports it.
    int stop()
    {
        if (pid_ <= 0)
            return status_;
        kill(pid_, SIGTERM);
        waitpid(pid_, &status_, 0);
        pid_ = -1;
        drain();
        return status_;
    }
    const std::string &log() const { return text_; }

private:
    bool wait_for(const std::string &text)
    {
        for (int i = 0; i < 100 && text_.find(text) == std::string::npos; ++i) {
            pollfd entry{log_, POLLIN, 0};
            if (poll(&entry, 1, 100) > 0 && !read_some())
                break;
        }
        return text_.find(text) != std::string::npos;
    }
    bool read_some()
    {
        char buffer[4096];
        ssize_t got = read(log_, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        text_.append(buffer, got);
        return true;
    }
    void drain()
    {
        while (read_some()) {
        }
    }

    std::string scenarioPath_;
    pid_t pid_ = -1;
    int log_ = -1;
    int status_ = -1;
    bool ready_ = false;
    std::string text_;
};

const char *kScenario = R"(# a group of three
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
host kxmember3 127.0.0.3
interface kxmember3 eth0 192.168.1.7 255.255.255.0 192.168.1.255
terminal kxmember3 terminalId=P1.0800d terminalIPA=10.0.0.23
)";

class SimulatedServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!kxtest::in_network_sandbox())
            GTEST_SKIP() << "needs the network sandbox (tests/support/netsandbox)";
    }
};

TEST_F(SimulatedServer, ServesTheGroupAndStopsCleanlyOnSigterm)
{
    Simulator sim(kScenario);
    ASSERT_TRUE(sim.ready()) << sim.log();

    int count = 0;
    kx::HostList *hosts = kx::get_gm_hosts(nullptr, kxtest::kSandboxHost, &count);
    ASSERT_EQ(count, 3);
    const kx::gm_hostinfo *first = hosts->host->info;
    EXPECT_STREQ(first->name, "kxtest-host");
    EXPECT_EQ(hosts->host->trusted, 1);
    EXPECT_EQ(hosts->host->lanOk, 1);
    EXPECT_EQ(first->starttime, 1700000000);
    EXPECT_EQ(first->hostaddr, 0x7f000001u);
    ASSERT_EQ(first->numifs, 2);
    EXPECT_EQ(first->interfaces[0].ifipaddr, 0xc0a80105u);
    EXPECT_EQ(first->interfaces[0].isLAN, 1);
    EXPECT_EQ(first->interfaces[1].ifnetmask, 0xff000000u);

    kx::KXSTerm *merged = kx::kxs_get_currentHA_list(nullptr, hosts);
    std::vector<std::string> seen;
    for (auto *t = merged; t; t = t->next)
        seen.push_back(std::string(t->terminalId) + "@" + t->serverName);
    EXPECT_EQ(seen, (std::vector<std::string>{"0800A@kxtest-host", "0800b@kxtest-host",
                                              "0800c@kxmember2"}));
    EXPECT_TRUE(kx::kxs_term_unowned(merged, 60));
    kx::kxs_free_linked_list(nullptr, &merged);
    kx::free_HostList(hosts);

    kx::AMStatus *am = nullptr;
    ASSERT_EQ(kx::kxs_get_amstatus("localhost", &am), 0);
    EXPECT_EQ(am->starttime, 1700000100u);
    EXPECT_EQ(am->desktops, 2);
    free(am);

    kx::SMStatus *sm = kx::allocate_smstatus();
    EXPECT_EQ(kx::get_smstatus(nullptr, "localhost", &sm), 0);
    EXPECT_EQ(sm->starttime, 1700000050);
    EXPECT_EQ(sm->sessions, 4);
    kx::free_smstatus(sm);
    sm = kx::allocate_smstatus();
    EXPECT_EQ(kx::get_smstatus(nullptr, "kxmember2", &sm), 0);
    ASSERT_NE(sm->error, nullptr);
    EXPECT_STREQ(sm->error, "starting");
    kx::free_smstatus(sm);

    int status = sim.stop();
    ASSERT_TRUE(WIFEXITED(status)) << sim.log();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(sim.log().find("127.0.0.2:7010 \"status\""), std::string::npos) << sim.log();
    EXPECT_EQ(sim.log().find("127.0.0.3:7010 \"status\""), std::string::npos) << sim.log();
    EXPECT_NE(sim.log().find("kxs-simd: stopped"), std::string::npos);
}

TEST_F(SimulatedServer, GeneratedScenarioServesEveryTerminal)
{
    Simulator sim(kxsim::generate_scenario(3000, 3));
    ASSERT_TRUE(sim.ready()) << sim.log();
    int count = 0;
    kx::HostList *hosts = kx::get_gm_hosts(nullptr, "kxmember1", &count);
    ASSERT_EQ(count, 3);
    kx::KXSTerm *merged = kx::kxs_get_currentHA_list(nullptr, hosts);
    int terminals = 0;
    for (auto *t = merged; t; t = t->next, ++terminals) {
        if (t->next) {
            EXPECT_LE(strcasecmp(t->terminalId, t->next->terminalId), 0);
        }
    }
    EXPECT_EQ(terminals, 3000);
    kx::kxs_free_linked_list(nullptr, &merged);
    kx::free_HostList(hosts);
}

TEST_F(SimulatedServer, EachDaemonListensOnItsChosenPort)
{
    Simulator sim("host kxtest-host 127.0.0.1 trusted\n", {"--am-port", "17010", "--sm-port", "17007"});
    ASSERT_TRUE(sim.ready()) << sim.log();
    EXPECT_NE(sim.log().find("authentication manager on 127.0.0.1:17010\n"), std::string::npos) << sim.log();
    EXPECT_NE(sim.log().find("session manager on 127.0.0.1:17007\n"), std::string::npos) << sim.log();
}

TEST(Scenario, BadLinesAreReportedWithTheirNumber)
{
    std::string error;
    EXPECT_FALSE(kxsim::parse_scenario("host a 127.0.0.1\nhost b 10.0.0.1\n", error));
    EXPECT_EQ(error, "line 2: host address 10.0.0.1 is not a loopback address");
    EXPECT_FALSE(kxsim::parse_scenario("terminal nobody terminalId=x\n", error));
    EXPECT_EQ(error, "line 1: unknown host nobody (declare it with a host line first)");
    EXPECT_FALSE(kxsim::parse_scenario("host a 127.0.0.1\nauthmanager a starttime=soon\n", error));
    EXPECT_EQ(error, "line 2: expected key=number, got starttime=soon");
    auto ok = kxsim::parse_scenario("# nothing but a comment\n\nhost a 127.0.0.9 period 5\n", error);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->hosts.at(0).period, 5);
}

}  // namespace
