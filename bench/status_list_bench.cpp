// The terminal status list of 20,000 terminals, asked of kxs-simd through
// the real socket with kxs_get_current_list, against merely reading the same
// reply from the same socket: in-process (connect, send the command, read to
// the end) with one reachability probe, as the floor of the query (goal: at
// most 2 times that), and with the peer tool socat into /dev/null. Before
// them, in a fresh child, the peak resident growth of one query against the
// reply's size (goal: at most 3 times). Then, from memory, what the query
// adds to its read (reading the terminals, ordering them) and a bare scan of
// the same reply that checks nothing: the least that any parser could add.
// Prints the ratios.
//
// Runs inside the network sandbox (bench/status-list does that), because
// kxs-simd listens on the authentication manager's real port.
#include "kxsdt.h"
#include "exchange.h"
#include "line_feeds.h"
#include "scenario.h"
#include "simulator_launch.h"

#include "peak_growth.h"
#include "ratio_reporter.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
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

constexpr int kTerminals = 20000;
constexpr int kPort = 7010;

void BM_ParseAndOrder(benchmark::State &state)
{
    for (auto _ : state) {
        int count = 0;
        kx::KXSTerm *list = kx::kxs_get_current_list(nullptr, "127.0.0.1", &count, nullptr);
        if (count != kTerminals)
            state.SkipWithError("wrong terminal count");
        kx::kxs_free_linked_list(nullptr, &list);
    }
}

// The reply's bytes, read to the end on a fresh connection.
std::size_t raw_read()
{
    return kxbench::read_raw_reply(INADDR_LOOPBACK, kPort, "status\n");
}

void BM_RawReadAndProbe(benchmark::State &state)
{
    for (auto _ : state) {
        if (kx::ping_host("127.0.0.1") != 0 || raw_read() == 0)
            state.SkipWithError("cannot reach kxs-simd");
    }
}

// Peak resident growth of one query, in a child of its own so that nothing
// measured before has raised the peak already. Returns the ratio to the
// reply's bytes, or a negative figure when it could not be measured.
double peak_growth_ratio()
{
    std::size_t replyBytes = raw_read();
    if (replyBytes == 0)
        return -1;
    long grown = peak_growth_in_child([] {
        int count = 0;
        kx::KXSTerm *list = kx::kxs_get_current_list(nullptr, "127.0.0.1", &count, nullptr);
        kx::kxs_free_linked_list(nullptr, &list);
        return count == kTerminals;
    });
    printf("one query of %d terminals: reply %zu bytes, peak resident growth %ld bytes\n",
           kTerminals, replyBytes, grown);
    return grown < 0 ? -1 : static_cast<double>(grown) / static_cast<double>(replyBytes);
}

void BM_RawRead(benchmark::State &state)
{
    for (auto _ : state) {
        std::size_t total = raw_read();
        if (total == 0)
            state.SkipWithError("cannot reach kxs-simd");
        benchmark::DoNotOptimize(total);
    }
}

void BM_Socat(benchmark::State &state)
{
    for (auto _ : state) {
        int rc = system("printf 'status\\n' | socat -t 30 - TCP:127.0.0.1:7010 >/dev/null");
        if (rc != 0)
            state.SkipWithError("socat failed");
    }
}

// ---- the same reply parsed from memory: what the query adds to its read ----

std::string gReply;  // what kxs-simd answers to "status"

// The reply fed to a list's reader as reads of a socket hand it over, 64
// KiB at a time into one buffer.
void feed_reply(kx::ReplySink &reader)
{
    static std::vector<char> buffer(kx::kReadChunkSize + 1);
    for (std::size_t at = 0; at < gReply.size(); at += kx::kReadChunkSize) {
        const std::size_t length = std::min(kx::kReadChunkSize, gReply.size() - at);
        memcpy(buffer.data(), gReply.data() + at, length);
        reader.bytes(buffer.data(), length);
    }
}

// Reads the terminals of the reply and orders them; only the reading is
// timed, or (`ordering`) only the ordering and linking.
void parse_from_memory(benchmark::State &state, bool ordering)
{
    for (auto _ : state) {
        if (ordering)
            state.PauseTiming();
        kx::KXSTermList list;
        list.serverName = "127.0.0.1";
        feed_reply(*kx::kxs_term_reply(list, nullptr));
        if (list.size() != kTerminals)
            state.SkipWithError("wrong terminal count");
        if (ordering)
            state.ResumeTiming();
        else
            state.PauseTiming();
        kx::KXSTerm *head = kx::kxs_link_list(list);
        if (ordering)
            state.PauseTiming();
        kx::kxs_free_linked_list(nullptr, &head);
        state.ResumeTiming();
    }
}

void BM_ReadFromMemory(benchmark::State &state)
{
    parse_from_memory(state, false);
}

void BM_OrderFromMemory(benchmark::State &state)
{
    parse_from_memory(state, true);
}

// Less than any parser of the reply can do: the lines split, the seven
// known keys told by their first word and the '=' behind them, their values
// copied one after another; no framing rule, bound, blank or case checked,
// no record built. What it costs, with the ordering, tells the least that
// the query can cost past its read.
std::size_t bare_scan(std::string &reply, std::vector<char> &values)
{
    char *line = reply.data();
    char *to = values.data();
    std::size_t blocks = 0;
    kx::LineFeeds feeds(reply.data(), reply.size());
    for (char *feed = feeds.next(); feed; line = feed + 1, feed = feeds.next()) {
        const auto length = static_cast<std::size_t>(feed - line);
        if (length == 3 && memcmp(line, "end", 3) == 0)
            ++blocks;
        if (length < 10)
            continue;
        std::size_t equals = 0;
        if (memcmp(line, "terminal", 8) == 0) {
            for (std::size_t at : {10, 11, 15, 19})
                if (at < length && line[at] == '=') {
                    equals = at;
                    break;
                }
        } else if (memcmp(line, "firmware=", 9) == 0) {
            equals = 8;
        }
        if (equals == 0)
            continue;
        memcpy(to, line + equals + 1, length - equals - 1);
        to += length - equals;
        to[-1] = '\0';
    }
    return blocks;
}

void BM_BareScan(benchmark::State &state)
{
    std::string reply = gReply;
    std::vector<char> values(reply.size());
    for (auto _ : state) {
        if (bare_scan(reply, values) != kTerminals)
            state.SkipWithError("wrong block count");
        benchmark::DoNotOptimize(values.data());
    }
}

}  // namespace

BENCHMARK(BM_ParseAndOrder)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RawReadAndProbe)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RawRead)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Socat)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReadFromMemory)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OrderFromMemory)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BareScan)->Unit(benchmark::kMillisecond)->MinTime(2.0);

int main(int argc, char **argv)
{
    if (!kxbench::in_sandbox("bench/status-list"))
        return 2;
    std::string scenarioPath;
    const std::string scenario = kxsim::generate_scenario(kTerminals, 1);
    pid_t simulator = kxbench::start_simulator(scenario, scenarioPath);
    if (simulator < 0) {
        fprintf(stderr, "cannot start kxs-simd\n");
        return 1;
    }
    double memory = peak_growth_ratio();
    std::string error;
    gReply = kxsim::status_reply(kxsim::parse_scenario(scenario, error).value().hosts.at(0));
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    kxbench::stop_simulator(simulator, scenarioPath);

    double parse = reporter.seconds["BM_ParseAndOrder"];
    double raw = reporter.seconds["BM_RawRead"];
    double floor = reporter.seconds["BM_RawReadAndProbe"];
    if (parse > 0 && floor > 0)
        printf("kxs_get_current_list(%d terminals) / raw read of the same reply plus one probe: "
               "%.2fx (goal: at most 2)\n",
               kTerminals, parse / floor);
    if (memory >= 0)
        printf("peak resident growth of one query / reply bytes: %.2fx (goal: at most 3)\n",
               memory);
    double socat = reporter.seconds["BM_Socat"];
    if (parse > 0 && raw > 0)
        printf("kxs_get_current_list(%d terminals) / raw read of the same reply: %.2fx\n",
               kTerminals, parse / raw);
    if (parse > 0 && socat > 0)
        printf("kxs_get_current_list(%d terminals) / socat into /dev/null: %.2fx\n", kTerminals,
               parse / socat);
    double read = reporter.seconds["BM_ReadFromMemory"];
    double order = reporter.seconds["BM_OrderFromMemory"];
    double bare = reporter.seconds["BM_BareScan"];
    if (read > 0 && order > 0 && bare > 0 && floor > 0) {
        printf("from memory: reading the terminals %.2f ms, ordering them %.2f ms; a bare scan "
               "that checks nothing %.2f ms\n",
               read * 1e3, order * 1e3, bare * 1e3);
        printf("least ratio to the floor with a bare scan and this ordering: %.2fx\n",
               (floor + bare + order) / floor);
    }
    benchmark::Shutdown();
    return 0;
}
