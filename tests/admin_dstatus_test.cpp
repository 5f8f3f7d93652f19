// The desktop status database: real ndbm files written as the product's
// status writers write them, read back through the library.
#include "admin.h"
#include "admin_dstatus.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <optional>
#include <string>
#include <tuple>

namespace {

datum bytes(const std::string &text)
{
    return datum{const_cast<char *>(text.data()), static_cast<int>(text.size())};
}

// A record as "id|model|firmware|status|last|first" ("-": missing) or "none", released.
std::string fields(kx::dbm_desktop *rec)
{
    if (!rec)
        return "none";
    std::string out;
    for (const char *f : {rec->id, rec->model, rec->firmware_rev, rec->status,
                          rec->last_status_time, rec->first_conn_time})
        out += std::string(out.empty() ? "" : "|") + (f ? f : "-");
    kx::free_dbm_desktop(rec);
    return out;
}

// The monitoring connection keeps the database open for the handle's life,
// in a host that starts children and whose database a writer may empty.
TEST(DesktopStatus, StoredRecordsReadBackWhileKeptOpenSafely)
{
    kxtest::TestRoot root;
    root.make_dir("/var/opt/ZARNkx");
    std::string path = root.at("/var/opt/ZARNkx/dstatus");
    // The ID, the record stored under it (none: no record) and the record read back.
    const std::tuple<const char *, std::optional<std::string>, std::string> cases[] = {
        {"A1", "A1\x1eM\x1e" "F\x1eS\x1e" "100\x1e" "200\x1e", "A1|M|F|S|100|200"},
        {"a1", {}, "none"},  // the key is exact bytes
        {"B2", "B2\x1e\x1e" "F2\x1eS2\x1e" "300\x1e" "400\x1e", "B2|F2|S2|300|400|-"},  // no model
        {"C3", "X9\x1eM\x1e" "F\x1eS\x1e" "1\x1e" "2\x1e", "none"},  // not its own ID
        {"D4", "", "none"},
        {"a5", "A5\x1eM\x1e", "A5|M|-|-|-|-"},  // the ID inside compared without regard to case
        {nullptr, {}, "none"},
        {"E5", "E5\x1e" + std::string(600, 'm') + "\x1e" "F\x1e",  // longer than a record can be
         "E5|" + std::string(511 - 3, 'm') + "|-|-|-|-"},
    };
    DBM *db = dbm_open(path.data(), O_RDWR | O_CREAT, 0664);
    ASSERT_NE(db, nullptr);
    for (const auto &[id, stored, expected] : cases)
        EXPECT_EQ(stored ? dbm_store(db, bytes(id), bytes(*stored), DBM_REPLACE) : 0, 0) << id;
    dbm_close(db);
    db = kx::open_desktop_dbm(path.c_str(), kx::KXA_ANONYMOUS);  // modes: see the directory tests
    ASSERT_NE(db, nullptr);
    for (const auto &[id, stored, expected] : cases) {
        EXPECT_EQ(kx::dbm_desktop_exists(db, id), stored ? 1 : 0) << id;
        EXPECT_EQ(fields(kx::get_dbm_desktop(db, id)), expected) << id;
    }
    dbm_close(db);
    db = kx::open_desktop_dbm(path.c_str(), kx::KXA_ANONYMOUS);  // nothing read into it yet
    ASSERT_NE(db, nullptr);
    for (int fd : {dbm_pagfno(db), dbm_dirfno(db)})
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    ASSERT_EQ(truncate((path + ".pag").c_str(), 0), 0);
    EXPECT_EQ(fields(kx::get_dbm_desktop(db, "A1")), "none");  // not SIGBUS
    dbm_close(db);

    // Never opened where it was planted.
    root.make_dir("/open");
    chmod(root.at("/open").c_str(), 0777);
    mkfifo(root.at("/fifo.pag").c_str(), 0644);
    symlink((path + ".pag").c_str(), root.at("/link.pag").c_str());
    root.write("/open/db.pag", root.read("/var/opt/ZARNkx/dstatus.pag"));
    for (const char *name : {"/fifo", "/link", "/open/db"}) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(kx::open_desktop_dbm(root.at(name).c_str(), kx::KXA_ANONYMOUS), nullptr) << name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << name;
    }
}

}  // namespace
