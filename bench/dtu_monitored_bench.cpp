// kxs_DTUMonitored with 999 monitored terminals against a failover group of
// 4 members serving 20,000 terminals from kxs-simd, against merely reading
// the same replies ("gstatus" and each member's "status") from the same
// sockets: in-process, with one reachability probe per member as the
// floor of the query (goal: at most 2 times that), against the slowest
// member's probe and read alone (goal: at most 1.5 times, the members being
// asked at once), and with the peer tool socat into /dev/null. The group's
// merged list alone shows what the matching adds. Prints the ratios.
//
// Runs inside the network sandbox (bench/dtu-monitored does that), because
// kxs-simd listens on the authentication manager's real port of each member.
#include "group_mgr.h"
#include "kxsdesktop.h"
#include "kxsdt.h"
#include "kxsinit.h"
#include "exchange.h"
#include "scenario.h"
#include "simulator_launch.h"

#include "ratio_reporter.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kTerminals = 20000;
constexpr int kMembers = 4;
constexpr int kMonitored = 999;
constexpr int kAbsent = 49;  // monitored IDs that no member reports
constexpr int kPort = 7010;

// The monitored table: every 21st terminal of the scenario (so spread over
// every member), every other one in lower case, then IDs that no member
// reports.
std::vector<std::string> monitored_ids(const std::string &scenario)
{
    std::vector<std::string> ids;
    const std::string key = "terminalId=P1.";
    int seen = 0;
    for (std::size_t at = scenario.find(key); at != std::string::npos && ids.size() < kMonitored - kAbsent;
         at = scenario.find(key, at + 1)) {
        if (seen++ % 21)
            continue;
        std::string id = scenario.substr(at + key.size(), scenario.find(' ', at) - at - key.size());
        if (ids.size() % 2)
            for (char &c : id)
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        ids.push_back(id);
    }
    while (ids.size() < kMonitored)
        ids.push_back("ABSENT" + std::to_string(ids.size()));
    return ids;
}

KXSHandle gHandle{};
const char *const gHost = "kxmember1";

void build_handle(const std::vector<std::string> &ids)
{
    gHandle.rep.hostname = gHost;
    gHandle.rep.monitored = ids;
}

void BM_DTUMonitored(benchmark::State &state)
{
    for (auto _ : state) {
        KXSDTU **dtus = kxs_DTUMonitored(&gHandle, 60, nullptr);
        int records = 0, absent = 0;
        for (KXSDTU **d = dtus; d && *d; ++d, ++records)
            absent += (*d)->state == KXS_DTU_ABSENT;
        if (records != kMonitored || absent != kAbsent)
            state.SkipWithError("wrong monitored records");
        kxs_freeDTUs(&gHandle, dtus);
    }
}

void BM_MergedList(benchmark::State &state)
{
    for (auto _ : state) {
        int count = 0;
        kx::HostList *hosts = kx::get_gm_hosts(gHost, &count);
        kx::KXSTerm *merged = kx::kxs_get_currentHA_list(&gHandle.rep, hosts);
        if (count != kMembers || !merged)
            state.SkipWithError("wrong group");
        kx::kxs_free_linked_list(nullptr, &merged);
        kx::free_HostList(hosts);
    }
}

std::size_t read_reply(int member, const char *command)
{
    return kxbench::read_raw_reply(INADDR_LOOPBACK + member - 1, kPort, command);
}

void BM_RawRead(benchmark::State &state)
{
    for (auto _ : state) {
        std::size_t total = read_reply(1, "gstatus\n");
        for (int member = 1; member <= kMembers; ++member)
            total += read_reply(member, "status\n");
        if (total < std::size_t{kTerminals} * 64)
            state.SkipWithError("cannot reach kxs-simd");
        benchmark::DoNotOptimize(total);
    }
}

std::string member_address(int member)
{
    return "127.0.0." + std::to_string(member);
}

void BM_RawReadsAndProbes(benchmark::State &state)
{
    for (auto _ : state) {
        std::size_t total = read_reply(1, "gstatus\n");
        for (int member = 1; member <= kMembers; ++member)
            if (kx::ping_host(member_address(member).c_str()) == 0)
                total += read_reply(member, "status\n");
        if (total < std::size_t{kTerminals} * 64)
            state.SkipWithError("cannot reach kxs-simd");
        benchmark::DoNotOptimize(total);
    }
}

// One member's probe and "status" read, as the slowest member costs when
// every member is asked at once.
void BM_MemberProbeAndRead(benchmark::State &state)
{
    const int member = static_cast<int>(state.range(0));
    for (auto _ : state) {
        std::size_t total = 0;
        if (kx::ping_host(member_address(member).c_str()) == 0)
            total = read_reply(member, "status\n");
        if (total < std::size_t{kTerminals / kMembers} * 64)
            state.SkipWithError("cannot reach kxs-simd");
        benchmark::DoNotOptimize(total);
    }
}

void BM_Socat(benchmark::State &state)
{
    std::string script = "printf 'gstatus\\n' | socat -t 30 - TCP:127.0.0.1:7010 >/dev/null";
    for (int member = 1; member <= kMembers; ++member)
        script += " && printf 'status\\n' | socat -t 30 - TCP:127.0.0." + std::to_string(member) +
                  ":7010 >/dev/null";
    for (auto _ : state)
        if (system(script.c_str()) != 0)
            state.SkipWithError("socat failed");
}

}  // namespace

BENCHMARK(BM_DTUMonitored)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_MergedList)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RawRead)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RawReadsAndProbes)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_MemberProbeAndRead)->DenseRange(1, kMembers)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Socat)->Unit(benchmark::kMillisecond)->MinTime(2.0);

int main(int argc, char **argv)
{
    const char *sandbox = getenv("KXS_NET_SANDBOX");
    if (!sandbox || strcmp(sandbox, "1") != 0) {
        fprintf(stderr, "run me through bench/dtu-monitored (the network sandbox)\n");
        return 2;
    }
    const std::string scenario = kxsim::generate_scenario(kTerminals, kMembers);
    std::string scenarioPath;
    pid_t simulator = kxbench::start_simulator(scenario, scenarioPath);
    if (simulator < 0) {
        fprintf(stderr, "cannot start kxs-simd\n");
        return 1;
    }
    build_handle(monitored_ids(scenario));
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    kill(simulator, SIGTERM);
    waitpid(simulator, nullptr, 0);
    unlink(scenarioPath.c_str());

    double monitored = reporter.seconds["BM_DTUMonitored"];
    double merged = reporter.seconds["BM_MergedList"];
    double raw = reporter.seconds["BM_RawRead"];
    double socat = reporter.seconds["BM_Socat"];
    double floor = reporter.seconds["BM_RawReadsAndProbes"];
    double slowest = 0;
    for (int member = 1; member <= kMembers; ++member)
        slowest = std::max(slowest,
                           reporter.seconds["BM_MemberProbeAndRead/" + std::to_string(member)]);
    const char *what = "kxs_DTUMonitored(999 of 20000 terminals on 4 members)";
    if (monitored > 0 && floor > 0)
        printf("%s / raw reads of the same replies plus the probes: %.2fx (goal: at most 2)\n",
               what, monitored / floor);
    if (monitored > 0 && slowest > 0)
        printf("%s / the slowest member's probe and raw read (%.2f ms): %.2fx (goal: at most "
               "1.5)\n",
               what, slowest * 1e3, monitored / slowest);
    if (monitored > 0 && raw > 0)
        printf("%s / raw read of the same replies: %.2fx\n", what, monitored / raw);
    if (monitored > 0 && socat > 0)
        printf("%s / socat into /dev/null: %.2fx\n", what, monitored / socat);
    if (monitored > 0 && merged > 0)
        printf("%s / the merged list alone: %.2fx\n", what, monitored / merged);
    benchmark::Shutdown();
    return 0;
}
