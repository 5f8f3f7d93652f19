// kxs_DTUException over a server of 2,000, 20,000 and 200,000 terminals
// served by kxs-simd through the real socket, against its floor: the raw
// read of the same reply from the same socket plus one reachability probe
// (goal: at most 2 times that). Its kxs_freeDTUs is timed on its own
// (goal: at most a tenth of the query), and, in a fresh child, the peak
// resident growth of one query and its release against the reply's bytes
// (goal: at most 3 times). The query's time per terminal over the sizes
// shows its growth. Prints the ratios. --terminals=N[,N...] measures other
// sizes, or one alone (to profile it).
//
// Runs inside the network sandbox (bench/dtu-exception does that), because
// kxs-simd listens on the authentication manager's real port.
#include "kxsinit.h"
#include "ping.h"
#include "scenario.h"
#include "simulator_launch.h"

#include "peak_growth.h"
#include "ratio_reporter.h"

#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kPort = 7010;
constexpr int kSizes[] = {2000, 20000, 200000};

KXSHandle gHandle{};

// The records of one query, checked; nullptr when the count is wrong.
KXSDTU **query(int terminals)
{
    KXSDTU **dtus = kxs_DTUException(&gHandle, 60, nullptr);
    int count = 0;
    while (dtus && dtus[count])
        ++count;
    if (count == terminals && dtus[0]->terminalId && dtus[count - 1]->serverName)
        return dtus;
    kxs_freeDTUs(&gHandle, dtus);
    return nullptr;
}

void BM_DTUException(benchmark::State &state, int terminals)
{
    for (auto _ : state) {
        KXSDTU **dtus = query(terminals);
        if (!dtus)
            state.SkipWithError("wrong terminals");
        kxs_freeDTUs(&gHandle, dtus);
    }
}

void BM_FreeDTUs(benchmark::State &state, int terminals)
{
    for (auto _ : state) {
        state.PauseTiming();
        KXSDTU **dtus = query(terminals);
        if (!dtus)
            state.SkipWithError("wrong terminals");
        state.ResumeTiming();
        kxs_freeDTUs(&gHandle, dtus);
    }
}

std::size_t raw_read()
{
    return kxbench::read_raw_reply(INADDR_LOOPBACK, kPort, "status\n");
}

void BM_RawReadAndProbe(benchmark::State &state, int)
{
    for (auto _ : state)
        if (kx::ping_host("127.0.0.1") != 0 || raw_read() == 0)
            state.SkipWithError("cannot reach kxs-simd");
}

// Peak resident growth of one query and its release, in a child of its
// own so that nothing measured before has raised the peak already; bytes,
// or -1.
long peak_growth(int terminals)
{
    return peak_growth_in_child([terminals] {
        KXSDTU **dtus = query(terminals);
        kxs_freeDTUs(&gHandle, dtus);
        return dtus != nullptr;
    });
}

// One size: the simulator serving it, the benchmarks, the ratios. Returns
// the query's mean seconds, or 0.
double run_size(int terminals)
{
    std::string scenarioPath;
    pid_t simulator = kxbench::start_simulator(kxsim::generate_scenario(terminals, 1), scenarioPath);
    if (simulator < 0) {
        fprintf(stderr, "cannot start kxs-simd\n");
        return 0;
    }
    const std::size_t replyBytes = raw_read();
    const long grown = peak_growth(terminals);
    const std::string size = std::to_string(terminals);
    // A run of the same length whatever the size, in alternated rounds of
    // the query and its floor.
    const double minTime = terminals >= 200000 ? 4.0 : 2.0;
    for (const char *round : {"/1", "/2"}) {
        benchmark::RegisterBenchmark(("BM_DTUException/" + size + round).c_str(), BM_DTUException,
                                     terminals)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(minTime / 2);
        benchmark::RegisterBenchmark(("BM_RawReadAndProbe/" + size + round).c_str(),
                                     BM_RawReadAndProbe, terminals)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(minTime / 2);
    }
    benchmark::RegisterBenchmark(("BM_FreeDTUs/" + size).c_str(), BM_FreeDTUs, terminals)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(minTime / 2);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter, "/" + size + "(/|$)");
    benchmark::ClearRegisteredBenchmarks();
    kxbench::stop_simulator(simulator, scenarioPath);

    const auto both = [&](const std::string &name) {
        return (reporter.seconds[name + "/" + size + "/1"] +
                reporter.seconds[name + "/" + size + "/2"]) / 2;
    };
    const double dtus = both("BM_DTUException");
    const double floor = both("BM_RawReadAndProbe");
    const double release = reporter.seconds["BM_FreeDTUs/" + size];
    printf("kxs_DTUException(%d terminals, reply %zu bytes): %.2f ms, floor %.2f ms, "
           "kxs_freeDTUs %.3f ms\n",
           terminals, replyBytes, dtus * 1e3, floor * 1e3, release * 1e3);
    if (dtus > 0 && floor > 0)
        printf("  / raw read of the same reply plus one probe: %.2fx (goal: at most 2)\n",
               dtus / floor);
    if (dtus > 0 && release > 0)
        printf("  kxs_freeDTUs / the query: %.3f (goal: at most 0.1)\n", release / dtus);
    if (grown >= 0 && replyBytes > 0)
        printf("  peak resident growth %ld bytes / reply bytes: %.2fx (goal: at most 3)\n", grown,
               static_cast<double>(grown) / static_cast<double>(replyBytes));
    return dtus;
}

}  // namespace

// The sizes that --terminals=N[,N...] asks for, taken out of the
// arguments; the three above without it, none for a size out of range.
std::vector<int> sizes_asked(int &argc, char **argv)
{
    constexpr std::string_view kOption = "--terminals=";
    std::vector<int> sizes(std::begin(kSizes), std::end(kSizes));
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (!std::string_view(argv[i]).starts_with(kOption)) {
            argv[kept++] = argv[i];
            continue;
        }
        sizes.clear();
        for (const char *at = argv[i] + kOption.size(); *at; at += *at == ',') {
            char *end = nullptr;
            const long size = strtol(at, &end, 10);
            if (end == at || size < 100 || size > 1000000 || (*end && *end != ',')) {
                fprintf(stderr, "--terminals= takes sizes of 100 to 1000000, split by ','\n");
                return {};
            }
            sizes.push_back(static_cast<int>(size));
            at = end;
        }
    }
    argc = kept;
    return sizes;
}

int main(int argc, char **argv)
{
    if (!kxbench::in_sandbox("bench/dtu-exception"))
        return 2;
    gHandle.rep.hostname = "127.0.0.1";
    const std::vector<int> sizes = sizes_asked(argc, argv);
    if (sizes.empty())
        return 2;
    benchmark::Initialize(&argc, argv);
    std::vector<double> perTerminal;
    perTerminal.reserve(sizes.size());
    for (int size : sizes)
        perTerminal.push_back(run_size(size) / size);
    if (perTerminal[0] > 0)
        for (std::size_t i = 1; i < sizes.size(); ++i)
            printf("time per terminal at %d against %d terminals: %.2fx (n log n: %.2fx)\n",
                   sizes[i], sizes[0], perTerminal[i] / perTerminal[0],
                   std::log(static_cast<double>(sizes[i])) / std::log(sizes[0]));
    benchmark::Shutdown();
    return 0;
}
