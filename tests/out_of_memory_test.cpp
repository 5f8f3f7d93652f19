// Memory that runs out inside a query: this program's malloc, calloc and
// realloc fail from their Nth call on, for every N until a query runs
// through untouched. Each query must then give either its whole answer or
// its failure result with KXS_ENOMEM, and the process must live on. The
// same interposed allocator counts what a query and its release allocate
// and free. (Not built with the sanitizers, which bring allocators of their
// own.)
#include "kxsinit.h"
#include "scripted_transport.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *block, std::size_t size);
void __libc_free(void *block);
}

namespace {

// Calls left before allocations of the test's thread fail; negative: they
// never do. Only the thread that runs the query: glibc's own resolver
// threads end the process when they cannot allocate, which no library can
// prevent.
thread_local long tCallsLeft = -1;
thread_local bool tFailed = false;

// What the test's thread allocated and freed while counting; the first
// blocks freed are kept, without allocating, to tell which they were.
thread_local bool tCounting = false;
thread_local long tAllocations = 0;
thread_local long tFrees = 0;
constexpr int kFreesKept = 16;
thread_local void *tFreed[kFreesKept];

bool allocation_fails()
{
    if (tCounting)
        ++tAllocations;
    if (tCallsLeft < 0)
        return false;
    if (tCallsLeft == 0) {
        tFailed = true;
        errno = ENOMEM;  // as malloc says it
        return true;
    }
    --tCallsLeft;
    return false;
}

}  // namespace

extern "C" void *malloc(std::size_t size)
{
    return allocation_fails() ? nullptr : __libc_malloc(size);
}

extern "C" void *calloc(std::size_t count, std::size_t size)
{
    return allocation_fails() ? nullptr : __libc_calloc(count, size);
}

extern "C" void *realloc(void *block, std::size_t size)
{
    return allocation_fails() ? nullptr : __libc_realloc(block, size);
}

extern "C" void free(void *block)
{
    if (tCounting && block) {
        if (tFrees < kFreesKept)
            tFreed[tFrees] = block;
        ++tFrees;
    }
    __libc_free(block);
}

namespace {

// Lets allocations succeed again: called by each query below as soon as
// the library has answered, so that telling the answer cannot fail.
void allow_allocations()
{
    tCallsLeft = -1;
}

// Counts the allocations and frees of the test's thread while it lives.
struct Counting {
    Counting()
    {
        tAllocations = tFrees = 0;
        tCounting = true;
    }
    ~Counting() { tCounting = false; }
    bool freed(const void *block) const
    {
        return std::find(tFreed, tFreed + std::min<long>(tFrees, kFreesKept), block) !=
               tFreed + std::min<long>(tFrees, kFreesKept);
    }
};

// A query, a text that tells its answer, and that text for its failure
// result.
struct Query {
    const char *name;
    std::function<std::string(KXSHandle *)> answer;
    const char *failed;
};

// A text or "-" for NULL.
std::string text_of(const char *text)
{
    return text ? text : "-";
}

// A query's answer, told once allocations are allowed again.
std::string answered(uint32_t value)
{
    allow_allocations();
    return std::to_string(value);
}

std::string answered(char *text)
{
    allow_allocations();
    std::string told = text ? text : "NULL";
    free(text);
    return told;
}

// A list's answer told record by record ("NULL" for none); the list is then
// released as its caller would, with one free: it is laid out in one block.
template <class Record, class Tell>
std::string told(KXSHandle *h, Record **list, void (*freeList)(KXSHandle *, Record **), Tell tell)
{
    allow_allocations();
    std::string text = list ? "" : "NULL";
    for (Record **record = list; record && *record; ++record)
        text += tell(**record) + ";";
    const Counting counting;
    freeList(h, list);
    EXPECT_EQ(tFrees, list ? 1 : 0) << text;
    return text;
}

std::string dtu_text(const KXSDTU &dtu)
{
    return text_of(dtu.terminalId) + " " + std::to_string(dtu.state) + " " +
           text_of(dtu.serverName);
}

const Query kQueries[] = {
    {"kxs_users", [](KXSHandle *h) { return answered(kxs_users(h)); }, "0"},
    {"kxs_upTime", [](KXSHandle *h) { return answered(kxs_upTime(h) > 0); }, "0"},
    {"kxs_DTUMonitored",
     [](KXSHandle *h) { return told(h, kxs_DTUMonitored(h, 60, nullptr), kxs_freeDTUs, dtu_text); },
     "NULL"},
    {"kxs_DTUException",
     [](KXSHandle *h) { return told(h, kxs_DTUException(h, 60, nullptr), kxs_freeDTUs, dtu_text); },
     "NULL"},
    {"kxs_FOGroup",
     [](KXSHandle *h) {
         return told(h, kxs_FOGroup(h), kxs_freeFOGroup, [](const KXSFOHost &host) {
             return text_of(host.name) + " " + text_of(host.role);
         });
     },
     "NULL"},
    {"kxs_interfaces",
     [](KXSHandle *h) {
         return told(h, kxs_interfaces(h), kxs_freeInterfaces, [](const KXSInterface &i) {
             return text_of(i.name) + " " + text_of(i.ipaddr) + " " + text_of(i.netmask) + " " +
                    text_of(i.type);
         });
     },
     "NULL"},
    {"kxs_daemons",
     [](KXSHandle *h) {
         return told(h, kxs_daemons(h), kxs_freeDaemons, [](const KXSDaemon &daemon) {
             return text_of(daemon.name) + " " + text_of(daemon.description);
         });
     },
     "NULL"},
    {"kxs_DHCP",
     [](KXSHandle *h) {
         return told(h, kxs_DHCP(h), kxs_freeDHCP, [](const KXSDHCPEntry &entry) {
             return text_of(entry.name) + " " + std::to_string(entry.available);
         });
     },
     "NULL"},
    {"kxs_contact", [](KXSHandle *h) { return answered(kxs_contact(h)); }, "NULL"},
};

// A "status" reply of `count` terminals, each with its model, address and
// firmware.
kxtest::Lines status_of(int count)
{
    std::vector<std::vector<std::string>> records;
    records.reserve(count);
    for (int i = 0; i < count; ++i)
        records.push_back({"terminalId=IEEE802.0800" + std::to_string(100000 + i),
                           "terminalIPA=10.0." + std::to_string(i / 250) + "." +
                               std::to_string(i % 250),
                           "terminalPackets=10", "firmware=4.1"});
    return kxtest::status_blocks(records);
}

TEST(OutOfMemory, EveryQueryAnswersWholeOrFailsWithTheCodeAndFreesAtOnce)
{
    kxtest::TestRoot root;
    root.lay_out_minimal_product();
    root.write("/etc/opt/ZARNkx/kxsservices.cfg",
               "begin\nname=kxtest-one\ndescription=the first\nend\n"
               "begin\nname=kxtest-two\nend\n");
    root.write("/opt/ZARNkx/lib/kxsdhcpsum", "#!/bin/ksh\nprint 'net1\t4'\nprint ' \t2'\n", 0755);
    kxtest::Handle handle(kxs_init());
    ASSERT_TRUE(handle);
    handle->rep.hostname = "kxtest-host";
    ASSERT_EQ(kxs_addDTUMonitored(handle.get(), "0800aa"), 0);
    kxtest::CommandTransport transport;
    transport.scripts = kxtest::healthy_server();

    for (const Query &query : kQueries) {
        const std::string whole = query.answer(handle.get());
        ASSERT_EQ(kxs_lastError(handle.get()), KXS_OK)
            << query.name << ": " << kxs_lastErrorText(handle.get());
        ASSERT_NE(whole, query.failed) << query.name;
        int failures = 0;
        for (long n = 0;; ++n) {
            tFailed = false;
            tCallsLeft = n;
            const std::string got = query.answer(handle.get());
            if (!tFailed)
                break;  // the query ran through: every allocation has failed once
            ++failures;
            const int code = kxs_lastError(handle.get());
            if (got == whole && code == KXS_OK)
                continue;  // the failure was one the query could do without
            EXPECT_EQ(code, KXS_ENOMEM) << query.name << " with allocation " << n << " failing: "
                                        << got << " / " << kxs_lastErrorText(handle.get());
            EXPECT_EQ(got, query.failed) << query.name << " with allocation " << n << " failing";
        }
        EXPECT_GT(failures, 0) << query.name << " allocated nothing";
    }

    // The terminal queries lay their records out at once, whatever the count
    // of terminals; a record or text that the caller put in the place of the
    // library's is released with them.
    ASSERT_EQ(kxs_deleteDTUMonitored(handle.get(), "0800aa"), 0);
    ASSERT_EQ(kxs_addDTUMonitored(handle.get(), "0800100000"), 0);
    ASSERT_EQ(kxs_addDTUMonitored(handle.get(), "IEEE802.0800100001"), 0);
    transport.scripts["status\n"].lines = status_of(2000);
    using Terminals = KXSDTU **(*)(KXSHandle *, uint32_t, void *);
    const struct {
        const char *name;
        Terminals query;
        int records;  // of 2000 terminals, 2 monitored
    } cases[] = {
        {"kxs_DTUException", kxs_DTUException, 2000},
        {"kxs_DTUMonitored", kxs_DTUMonitored, 2},
    };
    for (const auto &c : cases) {
        KXSDTU **dtus = nullptr;
        {
            const Counting counting;
            dtus = c.query(handle.get(), 60, nullptr);
            // Reading the reply allocates in segments; no allocation is made
            // per terminal.
            EXPECT_LE(tAllocations, 170) << c.name;
        }
        ASSERT_TRUE(dtus) << c.name;
        ASSERT_EQ(std::count_if(dtus, dtus + c.records + 1, [](KXSDTU *d) { return d; }),
                  c.records)
            << c.name;
        ASSERT_TRUE(dtus[0]->model && dtus[0]->terminalIPA) << c.name;
        char *ownText = strdup("caller's own location");
        dtus[0]->location = ownText;
        auto *ownRecord = static_cast<KXSDTU *>(calloc(1, sizeof(KXSDTU)));
        *ownRecord = *dtus[1];
        ownRecord->firmware = strdup("caller's own firmware");
        dtus[1] = ownRecord;
        const Counting counting;
        kxs_freeDTUs(handle.get(), dtus);
        EXPECT_TRUE(counting.freed(ownText) && counting.freed(ownRecord)) << c.name;
        EXPECT_EQ(tFrees, 4) << c.name;  // the block, and the caller's record and two texts
    }
}

}  // namespace
