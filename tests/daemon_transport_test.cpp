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

class DaemonTransport : public ::testing::Test {
protected:
    void SetUp() override
    {
        kx::set_reply_limits({.firstDataMs = 300, .idleMs = 300, .totalMs = 800,
                              .maxBytes = std::size_t{64} * 1024});
    }
    void TearDown() override { kx::set_reply_limits(kx::ReplyLimits{}); }
    FakeDaemon daemon{"127.0.0.1", 0};
};

TEST_F(DaemonTransport, RepliesEndAsCompleteOrAtTheirBounds)
{
    std::string ends;
    for (int i = 0; i < 15000; ++i)
        ends += "end\n";
    const struct {
        const char *name;
        std::string bytes;
        bool holdOpen;
        const kx::DaemonClient *client;
        Outcome outcome;
        std::size_t lines, blocks;
    } cases[] = {
        {"bound opener", "begin\na=1\nend\n", false, &kBoundClient, Outcome::Complete, 3, 1},
        {"many reads, a run of end lines", "begin\nterminalId=m.a\n" + ends + "tail without a feed",
         false, &kClient, Outcome::Complete, 15002, 1},
        {"closes at once", "", false, &kClient, Outcome::Complete, 0, 0},
        {"stays open", "a\nb\n", true, &kClient, Outcome::ReadError, 2, 0},
        {"too large", std::string(70000, '\n'), false, &kClient, Outcome::TooLarge, 0, 0},
    };
    for (const auto &c : cases) {
        daemon.on("status", c.bytes, c.holdOpen);
        Result r = ask(daemon.port(), *c.client);
        EXPECT_EQ(r.reply.outcome, c.outcome) << c.name;
        EXPECT_EQ(r.blocks, c.blocks) << c.name;
        if (c.outcome != Outcome::TooLarge)
            EXPECT_EQ(r.lines, c.lines) << c.name;
        else
            EXPECT_LE(r.lines, 64u * 1024) << c.name;  // none past the bound
        EXPECT_LT(r.took, 2s) << c.name;
    }
    EXPECT_EQ(daemon.commands(), std::vector<std::string>(std::size(cases), "status\n"));

    int closedPort = FakeDaemon("127.0.0.1", 0).port();  // refuses once it is gone
    EXPECT_EQ(ask(closedPort).reply.outcome, Outcome::OpenFailed);
    EXPECT_EQ(ask(closedPort, kBoundClient).reply.outcome, Outcome::OpenFailed);
}

void on_alarm(int) {}

// The first data and the whole reply are bounded; the idle bound is out of
// reach here. While a reply is held open, every socket is closed on exec.
TEST_F(DaemonTransport, HeldRepliesEndInTimeUnderAnIntervalTimerOnSocketsClosedOnExec)
{
    kx::set_reply_limits({.firstDataMs = 1000, .idleMs = 5000, .totalMs = 1600});
    struct sigaction action {}, old{};
    action.sa_handler = on_alarm;  // no SA_RESTART: every tick interrupts the wait
    sigaction(SIGALRM, &action, &old);
    itimerval every200ms{{0, 200000}, {0, 200000}}, stopped{};
    setitimer(ITIMER_REAL, &every200ms, nullptr);
    daemon.on("status", "", true);
    Result silent = ask(daemon.port());
    daemon.on("status", "a\n", true);
    std::size_t sockets = 0;
    Result open = ask(daemon.port(), kClient, [&] {
        // The link names the kind: a descriptor of the fake daemon's thread
        // is not touched, so the check does not race with its close.
        for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            int fd = std::stoi(entry.path().filename());
            std::error_code ec;
            if (std::filesystem::read_symlink(entry.path(), ec).string().starts_with("socket:")) {
                ++sockets;
                EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
            }
        }
    });
    setitimer(ITIMER_REAL, &stopped, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_GE(sockets, 3u);  // the listener, its connection, ours
    EXPECT_EQ(silent.reply.outcome, Outcome::TimedOut);
    EXPECT_EQ(open.reply.outcome, Outcome::ReadError);
    EXPECT_EQ(open.reply.error, ETIMEDOUT);
    EXPECT_GE(silent.took, 990ms);
    EXPECT_LT(silent.took, 1400ms);
    EXPECT_GE(open.took, 1590ms);
    EXPECT_LT(open.took, 2100ms);
}

}  // namespace
