// The merge of this host's sessions with the authentication manager's
// records: 1,000 sessions against a reply of 1,000,000 records (in token
// order, as the reply's list comes), against the floor of any merge, one
// walk of the records that compares each token once. Prints the ratio.
#include "auth_mgr.h"
#include "user_session.h"

#include "ratio_reporter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kSessions = 1000;
constexpr int kRecords = 1000000;

std::vector<std::string> gTokens;
std::vector<kx::KeyValuesNode> gRecords;

void build_records()
{
    gTokens.reserve(kRecords);
    for (int k = 0; k < kRecords; ++k) {
        char token[16];
        snprintf(token, sizeof token, "t%07d", k);
        gTokens.emplace_back(token);
    }
    gRecords.resize(kRecords);
    for (int k = 0; k < kRecords; ++k) {
        gRecords[k].token_name = gTokens[k].data();
        gRecords[k].terminal_CID = gTokens[k].data();
        gRecords[k].next = k + 1 < kRecords ? &gRecords[k + 1] : nullptr;
    }
}

// Sessions spread over the whole reply.
kx::SessionList make_sessions()
{
    kx::SessionList sessions;
    for (int i = 0; i < kSessions; ++i) {
        kx::UserSessionEnt *e = kx::allocate_userSession();
        e->token = strdup(gTokens[static_cast<std::size_t>(i) * (kRecords / kSessions)].c_str());
        e->display = strdup(":0");
        sessions.push_back(e);
    }
    return sessions;
}

void BM_Merge(benchmark::State &state)
{
    kx::SessionList sessions = make_sessions();
    for (auto _ : state)
        if (kx::merge_records(sessions, gRecords.data()) != 0)
            state.SkipWithError("merge failed");
    for (kx::UserSessionEnt *e : sessions)
        kx::kx_freeUserSessionEnt(e);
}

void BM_OneWalk(benchmark::State &state)
{
    const char *key = gTokens[kRecords / 2].c_str();
    for (auto _ : state) {
        int equal = 0;
        for (const kx::KeyValuesNode *r = gRecords.data(); r; r = r->next)
            equal += strcmp(r->token_name, key) == 0;
        benchmark::DoNotOptimize(equal);
    }
}

}  // namespace

BENCHMARK(BM_Merge)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OneWalk)->Unit(benchmark::kMillisecond)->MinTime(2.0);

int main(int argc, char **argv)
{
    build_records();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double merge = reporter.seconds["BM_Merge"], walk = reporter.seconds["BM_OneWalk"];
    if (merge > 0 && walk > 0)
        printf("merge_records(%d sessions, %d records) / one walk of the records: %.2fx\n",
               kSessions, kRecords, merge / walk);
    benchmark::Shutdown();
    return 0;
}
