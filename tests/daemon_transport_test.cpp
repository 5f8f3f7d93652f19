// The daemon transport over real loopback sockets against a fake daemon:
// framing across reads, the bounds of a reply, failures, signals and
// descriptors.
#include "fake_daemon.h"
#include "exchange.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>

namespace {

using kx::Outcome;
using kxtest::FakeDaemon;
using namespace std::chrono_literals;

constexpr kx::DaemonClient kClient{"transport_test", "b", false, false, "svc", 1, false,
                                   kx::Opener::Plain};
constexpr kx::DaemonClient kBoundClient{"transport_test", "b", false, false, "svc", 1, false,
                                        kx::Opener::Bound};

struct Result {
    kx::DaemonReply reply;
    std::size_t lines = 0, blocks = 0;
    std::chrono::duration<double> took;
};

Result ask(int port, const kx::DaemonClient &client = kClient,
           const std::function<void()> &duringReply = [] {})
{
    Result r;
    kx::BlockFraming framing;
    const kx::LineHandler onLine = [&](std::string_view line) {
        duringReply();
        ++r.lines;
        r.blocks += framing.step(line) == kx::BlockFraming::Step::Close;
        return true;
    };
    kx::LineSink sink(client.name, onLine);
    const auto start = kx::Clock::now();
    r.reply = kx::socket_transport().ask({&client, "127.0.0.1", port, "status\n"}, sink);
    r.took = kx::Clock::now() - start;
    return r;
}

std::string repeated(const std::string &line, int times)
{
    std::string text;
    while (times-- > 0)
        text += line;
    return text;
}

class DaemonTransport : public ::testing::Test {
protected:
    void SetUp() override
    {
        kx::ReplyLimits quick;
        quick.firstDataMs = 300;
        quick.idleMs = 300;
        quick.totalMs = 800;
        quick.maxBytes = std::size_t{64} * 1024;
        kx::set_reply_limits(quick);
    }
    void TearDown() override { kx::set_reply_limits(kx::ReplyLimits{}); }
    FakeDaemon daemon{"127.0.0.1", 0};
};

TEST_F(DaemonTransport, RepliesEndAsCompleteOrAtTheirBounds)
{
    const std::string manyLines = repeated("k=v\n", 15000) + "tail without a feed";
    const struct {
        const char *name;
        std::string bytes;
        bool holdOpen;
        const kx::DaemonClient *client;
        Outcome outcome;
        std::size_t lines, blocks;
    } cases[] = {
        {"many reads", manyLines, false, &kClient, Outcome::Complete, 15000, 0},
        {"bound opener", "begin\na=1\nend\n", false, &kBoundClient, Outcome::Complete, 3, 1},
        {"a run of end lines", "begin\nterminalId=m.a\n" + repeated("end\n", 15000), false,
         &kClient, Outcome::Complete, 15002, 1},
        {"closes at once", "", false, &kClient, Outcome::Complete, 0, 0},
        {"stays open", "a\nb\n", true, &kClient, Outcome::ReadError, 2, 0},
        {"too large", repeated("k=v\n", 20000), false, &kClient, Outcome::TooLarge, 0, 0},
    };
    for (const auto &c : cases) {
        daemon.on("status", c.bytes, c.holdOpen);
        Result r = ask(daemon.port(), *c.client);
        EXPECT_EQ(r.reply.outcome, c.outcome) << c.name;
        EXPECT_EQ(r.blocks, c.blocks) << c.name;
        if (c.outcome != Outcome::TooLarge)
            EXPECT_EQ(r.lines, c.lines) << c.name;
        else
            EXPECT_LE(r.lines * 4, 64u * 1024) << c.name;
        EXPECT_LT(r.took, 2s) << c.name;
    }
    EXPECT_EQ(daemon.commands(), std::vector<std::string>(std::size(cases), "status\n"));

    int closedPort = FakeDaemon("127.0.0.1", 0).port();  // refuses once it is gone
    EXPECT_EQ(ask(closedPort).reply.outcome, Outcome::OpenFailed);
    EXPECT_EQ(ask(closedPort, kBoundClient).reply.outcome, Outcome::OpenFailed);
}

void on_alarm(int) {}

// The first data and the whole reply are bounded; the idle bound is out of
// reach here.
TEST_F(DaemonTransport, WaitsEndInTimeUnderAnIntervalTimer)
{
    kx::ReplyLimits limits = kx::reply_limits();
    limits.firstDataMs = 1000;
    limits.idleMs = 5000;
    limits.totalMs = 1600;
    kx::set_reply_limits(limits);
    struct sigaction action {}, old{};
    action.sa_handler = on_alarm;  // no SA_RESTART: every tick interrupts the wait
    sigaction(SIGALRM, &action, &old);
    itimerval every200ms{{0, 200000}, {0, 200000}}, stopped{};
    setitimer(ITIMER_REAL, &every200ms, nullptr);
    daemon.on("status", "", true);
    Result silent = ask(daemon.port());
    daemon.on("status", "a\n", true);
    Result open = ask(daemon.port());
    setitimer(ITIMER_REAL, &stopped, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(silent.reply.outcome, Outcome::TimedOut);
    EXPECT_EQ(open.reply.outcome, Outcome::ReadError);
    EXPECT_EQ(open.reply.error, ETIMEDOUT);
    EXPECT_GE(silent.took, 990ms);
    EXPECT_LT(silent.took, 1400ms);
    EXPECT_GE(open.took, 1590ms);
    EXPECT_LT(open.took, 2100ms);
}

TEST_F(DaemonTransport, EverySocketIsClosedOnExec)
{
    daemon.on("status", "line\n", true);
    std::size_t sockets = 0;
    ask(daemon.port(), kClient, [&] {
        // The link names the kind: a descriptor of the fake daemon's thread
        // is not touched, so the check does not race with its close.
        for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            int fd = std::stoi(entry.path().filename());
            std::error_code error;
            if (std::filesystem::read_symlink(entry.path(), error).string().starts_with("socket:")) {
                ++sockets;
                EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
            }
        }
    });
    EXPECT_GE(sockets, 3u);  // the listener, its connection, ours
}

}  // namespace
