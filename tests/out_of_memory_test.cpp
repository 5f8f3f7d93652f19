// Memory that runs out inside a query: this program's malloc, calloc and
// realloc fail from their Nth call on, for every N until a query runs
// through untouched. Each query must then give either its whole answer or
// its failure result with KXS_ENOMEM, and the process must live on. (Not
// built with the sanitizers, which bring allocators of their own.)
#include "kxsinit.h"
#include "scripted_transport.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *block, std::size_t size);
}

namespace {

// Calls left before allocations of the test's thread fail; negative: they
// never do. Only the thread that runs the query: glibc's own resolver
// threads end the process when they cannot allocate, which no library can
// prevent.
thread_local long tCallsLeft = -1;
thread_local bool tFailed = false;

bool allocation_fails()
{
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

namespace {

// Lets allocations succeed again: called by each query below as soon as
// the library has answered, so that telling the answer cannot fail.
void allow_allocations()
{
    tCallsLeft = -1;
}

// A query, a text that tells its answer, and that text for its failure
// result.
struct Query {
    const char *name;
    std::function<std::string(KXSHandle *)> answer;
    const char *failed;
};

std::string dtus(KXSDTU **list)
{
    allow_allocations();
    std::string text = list ? "" : "NULL";
    for (KXSDTU **dtu = list; dtu && *dtu; ++dtu)
        text += std::string((*dtu)->terminalId ? (*dtu)->terminalId : "-") + " " +
                std::to_string((*dtu)->state) + " " +
                ((*dtu)->serverName ? (*dtu)->serverName : "-") + ";";
    kxs_freeDTUs(nullptr, list);
    return text;
}

const Query kQueries[] = {
    {"kxs_users",
     [](KXSHandle *h) {
         uint32_t users = kxs_users(h);
         allow_allocations();
         return std::to_string(users);
     },
     "0"},
    {"kxs_upTime",
     [](KXSHandle *h) {
         bool up = kxs_upTime(h) > 0;
         allow_allocations();
         return std::string(up ? "up" : "0");
     },
     "0"},
    {"kxs_DTUMonitored", [](KXSHandle *h) { return dtus(kxs_DTUMonitored(h, 60, nullptr)); },
     "NULL"},
    {"kxs_DTUException", [](KXSHandle *h) { return dtus(kxs_DTUException(h, 60, nullptr)); },
     "NULL"},
    {"kxs_FOGroup",
     [](KXSHandle *h) {
         KXSFOHost **hosts = kxs_FOGroup(h);
         allow_allocations();
         std::string text = hosts ? "" : "NULL";
         for (KXSFOHost **host = hosts; host && *host; ++host)
             text += std::string((*host)->name) + " " + (*host)->role + ";";
         kxs_freeFOGroup(h, hosts);
         return text;
     },
     "NULL"},
    {"kxs_interfaces",
     [](KXSHandle *h) {
         KXSInterface **list = kxs_interfaces(h);
         allow_allocations();
         std::string text = list ? "" : "NULL";
         for (KXSInterface **entry = list; entry && *entry; ++entry)
             text += std::string((*entry)->name) + " " + (*entry)->ipaddr + " " +
                     (*entry)->netmask + " " + (*entry)->type + ";";
         kxs_freeInterfaces(h, list);
         return text;
     },
     "NULL"},
    {"kxs_contact",
     [](KXSHandle *h) {
         char *contact = kxs_contact(h);
         allow_allocations();
         std::string text = contact ? contact : "NULL";
         free(contact);
         return text;
     },
     "NULL"},
};

TEST(OutOfMemory, EveryQueryAnswersWholeOrFailsWithTheCode)
{
    kxtest::TestRoot root;
    root.lay_out_minimal_product();
    kxtest::Handle handle(kxs_init());
    ASSERT_TRUE(handle);
    handle->rep.hostname = "kxtest-host";
    ASSERT_EQ(kxs_addDTUMonitored(handle.get(), "0800aa"), 0);
    kxtest::CommandTransport transport;
    transport.scripts = kxtest::healthy_server();

    for (const Query &query : kQueries) {
        const std::string whole = query.answer(handle.get());
        ASSERT_EQ(kxs_lastError(handle.get()), KXS_OK) << query.name << ": " << kxs_lastErrorText(handle.get());
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
}

}  // namespace
