// kxs_DTUMonitored with 999 monitored terminals against a failover group of
// 4 members serving 20,000 terminals from kxs-simd, against merely reading
// the same replies ("gstatus" and each member's "status") from the same
// sockets: in-process, with one reachability probe per member as the
// floor of the query (goal: at most 2 times that), against the slowest
// member's probe and read alone (goal: at most 1.5 times, the members being
// asked at once), and with the peer tool socat into /dev/null. The group's
// merged list alone shows what the matching adds. Prints the ratios.
//
// --terminals=N, --members=N and --monitored=N change the group's shape
// (20,000, 4 and 999), to show how the query grows with each.
//
// With --late=MS, every member answers "status" MS milliseconds late: the
// query against its floor of one such delay plus the raw reads and probes
// of members that answer at once (goal: at most 1.1 times, each member's
// reply parsed while the others are still awaited), measured in the same
// run with a simulator of each kind; and with the members' delays
// staggered, what is left of the query after the last delay.
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
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

// The group's shape; a twentieth of the monitored IDs (or more, when the
// group has too few terminals) are reported by no member.
int kTerminals = 20000;
int kMembers = 4;
int kMonitored = 999;
int kAbsent = 0;
constexpr int kPort = 7010;

// The monitored table: every 21st terminal of the scenario (so spread over
// every member), every other one in lower case, then IDs that no member
// reports.
std::vector<std::string> monitored_ids(const std::string &scenario)
{
    std::vector<std::string> ids;
    const std::string key = "terminalId=P1.";
    const auto reported = static_cast<std::size_t>(kMonitored - kMonitored / 20);
    int seen = 0;
    for (std::size_t at = scenario.find(key); at != std::string::npos && ids.size() < reported;
         at = scenario.find(key, at + 1)) {
        if (seen++ % 21)
            continue;
        std::string id = scenario.substr(at + key.size(), scenario.find(' ', at) - at - key.size());
        if (ids.size() % 2)
            for (char &c : id)
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        ids.push_back(id);
    }
    // A small group has fewer terminals to pick: the rest are absent too.
    kAbsent = kMonitored - static_cast<int>(ids.size());
    while (ids.size() < static_cast<std::size_t>(kMonitored))
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
        if (total < static_cast<std::size_t>(kTerminals) * 64)
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
        if (total < static_cast<std::size_t>(kTerminals) * 64)
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
        if (total < static_cast<std::size_t>(kTerminals / kMembers) * 64)
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

// Timed by the clock: waiting for late members costs no processor time.
BENCHMARK(BM_DTUMonitored)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_MergedList)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RawRead)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RawReadsAndProbes)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Socat)->Unit(benchmark::kMillisecond)->MinTime(2.0);

namespace {

std::string query_name()
{
    return "kxs_DTUMonitored(" + std::to_string(kMonitored) + " of " + std::to_string(kTerminals) +
           " terminals on " + std::to_string(kMembers) + " members)";
}

// The ratios of the query against members that answer at once.
void print_ratios(RatioReporter &reporter)
{
    double monitored = reporter.seconds["BM_DTUMonitored"];
    double merged = reporter.seconds["BM_MergedList"];
    double raw = reporter.seconds["BM_RawRead"];
    double socat = reporter.seconds["BM_Socat"];
    double floor = reporter.seconds["BM_RawReadsAndProbes"];
    double slowest = 0;
    for (int member = 1; member <= kMembers; ++member)
        slowest = std::max(slowest,
                           reporter.seconds["BM_MemberProbeAndRead/" + std::to_string(member)]);
    const std::string shape = query_name();
    const char *what = shape.c_str();
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
    if (monitored > 0)
        printf("%s: %.3f us a terminal\n", what, monitored * 1e6 / kTerminals);
}

// The scenario with every member answering "status" `lateMs` late, or
// member k of n k times `lateMs` late when `staggered`.
std::string late_scenario(const std::string &scenario, int lateMs, bool staggered)
{
    std::string late = scenario;
    for (int member = 1; member <= kMembers; ++member)
        late += "late kxmember" + std::to_string(member) + " status " +
                std::to_string(staggered ? member * lateMs : lateMs) + "\n";
    return late;
}

// Runs the benchmarks that `filter` matches against a simulator serving
// `scenario`; false when it cannot be started.
bool run_against(const std::string &scenario, RatioReporter &reporter, const std::string &filter)
{
    std::string scenarioPath;
    pid_t simulator = kxbench::start_simulator(scenario, scenarioPath);
    if (simulator < 0) {
        fprintf(stderr, "cannot start kxs-simd\n");
        return false;
    }
    benchmark::RunSpecifiedBenchmarks(&reporter, filter);
    kxbench::stop_simulator(simulator, scenarioPath);
    return true;
}

// The query with late members against one delay plus the reads and probes
// of members that answer at once; its time at once shows what the delay
// added. With the members' delays staggered, what is left after the last
// delay tells whether the earlier replies were parsed while it was awaited:
// about one member's share of the query rather than all of it.
bool run_late(const std::string &scenario, int lateMs)
{
    RatioReporter atOnce, late, staggered;
    if (!run_against(scenario, atOnce,
                     "^BM_(DTUMonitored|RawReadsAndProbes|MemberProbeAndRead)(/|$)") ||
        !run_against(late_scenario(scenario, lateMs, false), late, "^BM_DTUMonitored(/|$)") ||
        !run_against(late_scenario(scenario, lateMs, true), staggered, "^BM_DTUMonitored(/|$)"))
        return false;
    const double query = late.seconds["BM_DTUMonitored"];
    const double queryAtOnce = atOnce.seconds["BM_DTUMonitored"];
    const double reads = atOnce.seconds["BM_RawReadsAndProbes"];
    const double delay = lateMs / 1e3;
    const std::string shape = query_name();
    const char *what = shape.c_str();
    if (query > 0 && reads > 0)
        printf("%s with every member %d ms late (%.1f ms) / one delay plus the raw reads and "
               "probes (%.1f ms): %.2fx (goal: at most 1.1)\n",
               what, lateMs, query * 1e3, (delay + reads) * 1e3, query / (delay + reads));
    if (query > 0 && queryAtOnce > 0)
        printf("%s: the members' delay of %d ms added %.1f ms to the query at once (%.1f ms)\n",
               what, lateMs, (query - queryAtOnce) * 1e3, queryAtOnce * 1e3);
    const double lastDelay = kMembers * delay;
    const double afterLast = staggered.seconds["BM_DTUMonitored"] - lastDelay;
    const double lastMember =
        atOnce.seconds["BM_MemberProbeAndRead/" + std::to_string(kMembers)];
    if (afterLast > 0 && queryAtOnce > 0 && lastMember > 0)
        printf("%s with member k %d*k ms late: %.1f ms after the last delay, against the query "
               "at once (%.1f ms) and the last member's probe and raw read (%.1f ms)\n",
               what, lateMs, afterLast * 1e3, queryAtOnce * 1e3, lastMember * 1e3);
    return true;
}

// Takes the bench's own options out of the arguments that go on to the
// benchmark library; false, with a message, for a value out of range.
bool take_options(int &argc, char **argv, int &lateMs)
{
    struct Option {
        const char *name;
        int *value;
        int least, most;
    };
    const Option options[] = {{"--late=", &lateMs, 1, 60000},
                              {"--terminals=", &kTerminals, 100, 1000000},
                              {"--members=", &kMembers, 1, 16},
                              {"--monitored=", &kMonitored, 20, 999}};
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const Option *found = nullptr;
        for (const Option &o : options)
            if (strncmp(argv[i], o.name, strlen(o.name)) == 0)
                found = &o;
        if (!found) {
            argv[kept++] = argv[i];
            continue;
        }
        *found->value = atoi(argv[i] + strlen(found->name));
        if (*found->value < found->least || *found->value > found->most) {
            fprintf(stderr, "%s takes %d to %d\n", found->name, found->least, found->most);
            return false;
        }
    }
    argc = kept;
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (!kxbench::in_sandbox("bench/dtu-monitored"))
        return 2;
    int lateMs = 0;
    if (!take_options(argc, argv, lateMs))
        return 2;
    const std::string scenario = kxsim::generate_scenario(kTerminals, kMembers);
    build_handle(monitored_ids(scenario));
    // One per member, so registered once the group's shape is known.
    benchmark::RegisterBenchmark("BM_MemberProbeAndRead", BM_MemberProbeAndRead)
        ->DenseRange(1, kMembers)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1.0);
    benchmark::Initialize(&argc, argv);
    bool ran = false;
    if (lateMs > 0) {
        ran = run_late(scenario, lateMs);
    } else {
        RatioReporter reporter;
        ran = run_against(scenario, reporter, "");
        if (ran)
            print_ratios(reporter);
    }
    benchmark::Shutdown();
    return ran ? 0 : 1;
}
