// The process table: the pure parsers on captured kernel records, and the
// adapter and the process-file readers on real processes.
#include "diagnostics_capture.h"
#include "kxerrno.h"
#include "kxsprocess.h"
#include "processes.h"
#include "proctable.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

using namespace std::string_literals;
using kxtest::NamedProcess;

namespace {

TEST(ProcessTableParsers, StatLines)
{
    const std::string fields = " 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 ";
    const struct {
        std::string line;
        std::string parsed;  // name|state|threads|start ticks|kernel thread; "": refused
    } cases[] = {
        // Captured from a live system: a process, a zombie, a kernel thread.
        {"9825 (cat) R 9821 9821 3591 0 -1 4194304 100 0 0 0 0 0 0 0 20 0 1 0 64292 3133440 379 "
         "18446744073709551615 94593009299456 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n",
         "cat|R|1|64292|0"},
        {"10046 (python3) Z 10005 10002 3591 0 -1 4227148 225 0 0 0 0 0 0 0 20 0 1 0 64533 0 0\n",
         "python3|Z|1|64533|0"},
        {"78 (kworker/u8:2-events_unbound) I 2 0 0 0 -1 69238880 0 0 0 0 0 0 0 0 20 0 1 0 9 0 0",
         "kworker/u8:2-ev|I|1|9|1"},
        // The name ends at the last parenthesis and is cut to 15 characters.
        {"77 (a) b (c) d) S" + fields + "3 0 500 0 0", "a) b (c) d|S|3|500|0"},
        // Cut or damaged: no name, parentheses reversed, ends before the start,
        // a two-letter state, a negative start, a thread count that is no number.
        {"", ""}, {"12 cat R 1 1", ""}, {") 12 (cat R" + fields + "1 0 5", ""},
        {"12 (cat) R" + fields + "1 0", ""}, {"12 (cat) RR" + fields + "1 0 5", ""},
        {"12 (cat) R" + fields + "1 0 -5", ""}, {"12 (cat) R" + fields + "x 0 5", ""},
    };
    for (const auto &c : cases) {
        kx::platform::StatLine line;
        std::string parsed;
        if (kx::platform::parse_stat_line(c.line, line))
            parsed = line.name + "|" + line.state + "|" + std::to_string(line.threads) + "|" +
                     std::to_string(line.startTicks) + "|" +
                     std::to_string(kx::platform::is_kernel_thread(line.flags));
        EXPECT_EQ(parsed, c.parsed) << c.line;
    }
}

TEST(ProcessTableParsers, StartSecondsAreNeverBeforeTheStart)
{
    constexpr uint64_t s = 1000000000;
    const struct {
        uint64_t boot;
        uint64_t ticks;
        long hz;
        uint32_t expected;
    } cases[] = {
        {1000 * s + 900000000, 50, 100, 1001},   // started 1001.40 to 1001.41
        {1000 * s + 995000000, 0, 100, 1001},    // started 1000.995 to 1001.005
        {1000 * s, 250, 100, 1002},              // started 1002.50 to 1002.51
        {1000 * s + 500000000, 149, 100, 1002},  // the last tick of 1001: one late
        {0, 2, 3, 1},                            // ticks that do not divide a second
        {1000 * s + 999999999, 0, 0, 1000},      // no tick rate: the boot
        {1000 * s, 1ull << 62, 100, UINT32_MAX},  // a damaged record: the last second
    };
    for (const auto &c : cases)
        EXPECT_EQ(kx::platform::start_seconds(c.boot, c.ticks, c.hz), c.expected)
            << c.boot << " " << c.ticks << "/" << c.hz;
}

// Processes started over a second, 40 ms apart, so that some start in the
// part of a second that the boot time's fraction makes critical: each is
// reported at or after the second it was started in.
TEST(ProcessTable, ReportsProcessesNoEarlierThanTheirStart)
{
    std::string name = kxtest::unique_name("kxpt");
    for (int i = 0; i < 25; ++i) {
        uint32_t before = static_cast<uint32_t>(time(nullptr));
        NamedProcess process(name, {"600"});
        kx::PsInfo info;
        ASSERT_EQ(kx::kxs_getPsinfo(process.pid_text().c_str(), &info), 0);
        EXPECT_EQ(info.name, name);
        EXPECT_GE(info.startTime, before) << "start " << i;
        EXPECT_LE(info.startTime, static_cast<uint32_t>(time(nullptr)) + 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
}

TEST(ProcessTable, RunningZombieStoppedEndedAndMisnamedProcesses)
{
    kxtest::DiagnosticsCapture diag;
    std::string name = kxtest::unique_name("kxpr");
    std::string longArgument(600, '7');
    NamedProcess running(name, {"600", longArgument});
    NamedProcess zombie(kxtest::unique_name("kxpz"), {"0"});
    zombie.wait_until(WEXITED);
    NamedProcess stopped(name, {"601"});
    kill(stopped.pid(), SIGSTOP);
    stopped.wait_until(WSTOPPED);
    pid_t gone = NamedProcess(name, {"600"}).pid();
    const struct {
        std::string pid;
        int result;   // of both readers
        int threads;  // also what the argument reader is told
        std::string text;
    } cases[] = {
        {running.pid_text(), 0, 1, (name + " 600 " + longArgument).substr(0, 499)},
        {zombie.pid_text(), 0, 0, ""},
        {stopped.pid_text(), 0, 1, name + " 601"},
        {std::to_string(gone), -1, 1, ""},  // gone, without a message
        {"../1", KX_EINVAL, 1, ""},         // names some other file
        {std::string(120, '1'), KX_ENOBUFS, 1, ""},
    };
    for (const auto &c : cases) {
        kx::PsInfo info;
        EXPECT_EQ(kx::kxs_getPsinfo(c.pid.c_str(), &info), c.result) << c.pid;
        EXPECT_TRUE(c.result != 0 || (info.threads == c.threads && !info.system)) << c.pid;
        info.threads = c.threads;
        char *arguments = reinterpret_cast<char *>(&info);  // must come back NULL on failure
        EXPECT_EQ(kx::kxs_getPsargs(c.pid.c_str(), &info, &arguments), c.result) << c.pid;
        EXPECT_EQ(arguments != nullptr, c.result == 0) << c.pid;
        EXPECT_EQ(arguments ? arguments : "", c.text) << c.pid;
        free(arguments);
    }
    EXPECT_TRUE(diag.lines().empty()) << diag.all();
    EXPECT_EQ(kx::kxs_getPsinfo(nullptr, nullptr), KX_EINVAL);
    EXPECT_EQ(kx::kxs_getPsargs("1", nullptr, nullptr), KX_EINVAL);
}

}  // namespace
