// The process table: the pure parsers on captured kernel records, and the
// adapter and the process-file readers on real processes.
#include "diagnostics_capture.h"
#include "kxerrno.h"
#include "kxsprocess.h"
#include "processes.h"
#include "proctable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <unistd.h>

using kx::platform::StatLine;
using kxtest::NamedProcess;

namespace {

// Captured from a live system.
constexpr const char *kShellStat =
    "9825 (cat) R 9821 9821 3591 0 -1 4194304 100 0 0 0 0 0 0 0 20 0 1 0 64292 3133440 379 "
    "18446744073709551615 94593009299456 94593009319337 140722781486352 0 0 0 0 0 0 0 0 0 17 1 0 "
    "0 0 0 0\n";
constexpr const char *kKernelThreadStat =
    "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 25 0 0 18446744073709551615 0 0 "
    "0 0 0 0 0 2147483647 0 1 0 0 0 1 0 0 0 0 0 0 0 0 0 0 0 0 0";
constexpr const char *kZombieStat =
    "10046 (python3) Z 10005 10002 3591 0 -1 4227148 225 0 0 0 0 0 0 0 20 0 1 0 64533 0 0 "
    "18446744073709551615 0 0 0 0 0 0 0 16781312 2 1 0 0 17 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";

TEST(StatLineParser, ReadsTheFieldsOfCapturedRecords)
{
    StatLine line;
    ASSERT_TRUE(kx::platform::parse_stat_line(kShellStat, line));
    EXPECT_EQ(line.name, "cat");
    EXPECT_EQ(line.state, 'R');
    EXPECT_EQ(line.threads, 1);
    EXPECT_EQ(line.startTicks, 64292u);
    EXPECT_FALSE(kx::platform::is_kernel_thread(line.flags));

    ASSERT_TRUE(kx::platform::parse_stat_line(kKernelThreadStat, line));
    EXPECT_EQ(line.name, "kthreadd");
    EXPECT_TRUE(kx::platform::is_kernel_thread(line.flags));
    EXPECT_EQ(line.startTicks, 25u);

    ASSERT_TRUE(kx::platform::parse_stat_line(kZombieStat, line));
    EXPECT_EQ(line.state, 'Z');
    EXPECT_EQ(line.startTicks, 64533u);
}

TEST(StatLineParser, NameEndsAtTheLastParenthesisAndIsCutTo15)
{
    StatLine line;
    ASSERT_TRUE(kx::platform::parse_stat_line(
        "77 (a) b (c) d) S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 3 0 500 0 0", line));
    EXPECT_EQ(line.name, "a) b (c) d");
    EXPECT_EQ(line.threads, 3);
    EXPECT_EQ(line.startTicks, 500u);

    ASSERT_TRUE(kx::platform::parse_stat_line(
        "78 (kworker/u8:2-events_unbound) I 2 0 0 0 -1 69238880 0 0 0 0 0 0 0 0 20 0 1 0 9 0 0",
        line));
    EXPECT_EQ(line.name, "kworker/u8:2-ev");
}

TEST(StatLineParser, RejectsCutOrDamagedRecords)
{
    StatLine line;
    EXPECT_FALSE(kx::platform::parse_stat_line("", line));
    EXPECT_FALSE(kx::platform::parse_stat_line("12 cat R 1 1", line));
    EXPECT_FALSE(kx::platform::parse_stat_line(") 12 (cat R 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5", line));
    // Ends before the start time.
    EXPECT_FALSE(kx::platform::parse_stat_line("12 (cat) R 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0", line));
    // A state of more than one letter, a negative start, a thread count that is not a number.
    EXPECT_FALSE(kx::platform::parse_stat_line("12 (cat) RR 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5", line));
    EXPECT_FALSE(kx::platform::parse_stat_line("12 (cat) R 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 -5", line));
    EXPECT_FALSE(kx::platform::parse_stat_line("12 (cat) R 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 x 0 5", line));
}

TEST(BootTime, ComesFromTheBtimeLine)
{
    EXPECT_EQ(kx::platform::parse_boot_time("cpu  1 2 3\nintr 5\nbtime 1796550779\nprocesses 9\n"),
              1796550779u);
    EXPECT_EQ(kx::platform::parse_boot_time("cpu 1\nbtime x\n"), 0u);
    EXPECT_EQ(kx::platform::parse_boot_time("cpu 1\n"), 0u);
    EXPECT_EQ(kx::platform::start_seconds(1000, 250, 100), 1002u);
}

TEST(ArgumentText, NulsBecomeBlanksCutAndTrimmed)
{
    using namespace std::string_literals;
    EXPECT_EQ(kx::platform::join_arguments("sleep\0" "600\0"s, 499), "sleep 600");
    EXPECT_EQ(kx::platform::join_arguments("abc\0def\0ghi\0"s, 6), "abc de");
    EXPECT_EQ(kx::platform::join_arguments("a \t\n"s, 499), "a");
    EXPECT_EQ(kx::platform::join_arguments(""s, 499), "");
}

// ---- live processes ----------------------------------------------------------------

TEST(ProcessTable, ReportsARunningProcess)
{
    std::string name = kxtest::unique_name("kxpt");
    std::string longArgument(600, '7');
    uint32_t before = static_cast<uint32_t>(time(nullptr));
    NamedProcess process(name, {"600", longArgument});

    kx::PsInfo info;
    std::string path;
    ASSERT_EQ(kx::platform::read_process_status(process.pid_text().c_str(), info, path),
              kx::platform::ProcessRead::ok);
    EXPECT_EQ(info.name, name);
    EXPECT_EQ(info.arguments, (name + " 600 " + longArgument).substr(0, 80));
    EXPECT_GE(info.startTime + 1, before);
    EXPECT_LE(info.startTime, static_cast<uint32_t>(time(nullptr)) + 1);
    EXPECT_EQ(info.threads, 1);
    EXPECT_FALSE(info.zombie);
    EXPECT_FALSE(info.system);

    char *arguments = nullptr;
    ASSERT_EQ(kx::kxs_getPsargs(process.pid_text().c_str(), &info, &arguments), 0);
    EXPECT_EQ(std::string(arguments), (name + " 600 " + longArgument).substr(0, 499));
    free(arguments);

    bool listed = false;
    kx::platform::ProcessDirectory table;
    ASSERT_TRUE(table.is_open());
    while (const char *pid = table.next()) {
        EXPECT_EQ(std::string(pid).find_first_not_of("0123456789"), std::string::npos) << pid;
        listed = listed || pid == process.pid_text();
    }
    EXPECT_TRUE(listed);
}

TEST(ProcessTable, ZombieHasNoThreadsAndNoArguments)
{
    NamedProcess process(kxtest::unique_name("kxpz"), {"0"});
    process.wait_until_zombie();
    kx::PsInfo info;
    ASSERT_EQ(kx::kxs_getPsinfo(process.pid_text().c_str(), &info), 0);
    EXPECT_TRUE(info.zombie);
    EXPECT_EQ(info.threads, 0);
    char *arguments = nullptr;
    ASSERT_EQ(kx::kxs_getPsargs(process.pid_text().c_str(), &info, &arguments), 0);
    EXPECT_STREQ(arguments, "");
    free(arguments);
}

TEST(ProcessTable, ReaderCodes)
{
    kxtest::DiagnosticsCapture diag;
    kx::PsInfo info;
    char *arguments = reinterpret_cast<char *>(&info);  // must come back NULL
    EXPECT_EQ(kx::kxs_getPsinfo(nullptr, &info), KX_EINVAL);
    EXPECT_EQ(kx::kxs_getPsinfo("../1", &info), KX_EINVAL);
    EXPECT_EQ(kx::kxs_getPsinfo("self", &info), KX_EINVAL);
    EXPECT_EQ(kx::kxs_getPsinfo(std::string(120, '1').c_str(), &info), KX_ENOBUFS);
    EXPECT_EQ(kx::kxs_getPsargs(nullptr, &info, &arguments), KX_EINVAL);
    EXPECT_EQ(arguments, nullptr);
    EXPECT_EQ(kx::kxs_getPsargs("1", nullptr, &arguments), KX_EINVAL);

    // A process that has ended and been reaped is gone, without a message.
    pid_t gone;
    {
        NamedProcess process(kxtest::unique_name("kxpg"), {"600"});
        gone = process.pid();
    }
    diag.clear();
    info.threads = 1;
    EXPECT_EQ(kx::kxs_getPsinfo(std::to_string(gone).c_str(), &info), -1);
    info.threads = 1;
    EXPECT_EQ(kx::kxs_getPsargs(std::to_string(gone).c_str(), &info, &arguments), -1);
    EXPECT_EQ(arguments, nullptr);
    EXPECT_TRUE(diag.lines().empty()) << diag.all();
}

}  // namespace
