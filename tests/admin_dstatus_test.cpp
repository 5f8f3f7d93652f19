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

namespace {

datum bytes(const std::string &text)
{
    return datum{const_cast<char *>(text.data()), static_cast<int>(text.size())};
}

// A parsed record as "id|model|firmware|status|last|first" ("-": missing), released; "none": no record.
std::string fields(kx::dbm_desktop *rec)
{
    if (!rec)
        return "none";
    std::string out;
    for (const char *f : {rec->id, rec->model, rec->firmware_rev, rec->status, rec->last_status_time,
                          rec->first_conn_time})
        out += std::string(out.empty() ? "" : "|") + (f ? f : "-");
    kx::free_dbm_desktop(rec);
    return out;
}

TEST(DesktopStatus, StoredRecordsReadBack)
{
    kxtest::TestRoot root;
    root.make_dir("/var/opt/ZARNkx");
    std::string path = root.at("/var/opt/ZARNkx/dstatus");
    const struct { const char *id; std::optional<std::string> stored; int exists; std::string expected; } cases[] = {
        {"A1", "A1\x1eM\x1e" "F\x1eS\x1e" "100\x1e" "200\x1e", 1, "A1|M|F|S|100|200"},
        {"a1", {}, 0, "none"},  // the key is exact bytes
        {"B2", "B2\x1e\x1e" "F2\x1eS2\x1e" "300\x1e" "400\x1e", 1, "B2|F2|S2|300|400|-"},  // model written empty
        {"C3", "X9\x1eM\x1e" "F\x1eS\x1e" "1\x1e" "2\x1e", 1, "none"},  // not its own ID
        {"D4", "", 1, "none"},
        {"E5", "E5\x1e" + std::string(600, 'm') + "\x1e" "F\x1e", 1,  // longer than a record can be
         "E5|" + std::string(511 - 3, 'm') + "|-|-|-|-"},
        {"none", {}, 0, "none"},
    };
    DBM *db = dbm_open(path.data(), O_RDWR | O_CREAT, 0664);
    ASSERT_NE(db, nullptr);
    for (const auto &c : cases)
        EXPECT_EQ(c.stored ? dbm_store(db, bytes(c.id), bytes(*c.stored), DBM_REPLACE) : 0, 0) << c.id;
    dbm_close(db);
    db = kx::open_desktop_dbm(path.c_str(), kx::KXA_ANONYMOUS);  // modes: see the directory tests
    ASSERT_NE(db, nullptr);
    for (const auto &c : cases) {
        EXPECT_EQ(kx::dbm_desktop_exists(db, c.id), c.exists) << c.id;
        EXPECT_EQ(fields(kx::get_dbm_desktop(db, c.id)), c.expected) << c.id;
    }
    // The ID inside the content is compared without regard to case.
    EXPECT_EQ(fields(kx::fill_dbm_desktop_struct("a1", dbm_fetch(db, bytes("A1")))), "A1|M|F|S|100|200");
    EXPECT_EQ(fields(kx::fill_dbm_desktop_struct(nullptr, dbm_fetch(db, bytes("A1")))), "none");

    dbm_close(db);
}

// The monitoring connection keeps the database open for the handle's life,
// in a host that starts children and whose database a writer may empty.
TEST(DesktopStatus, KeptOpenSafelyAndNeverOpenedWhenPlanted)
{
    kxtest::TestRoot root;
    root.make_dir("/var/opt/ZARNkx");
    std::string path = root.at("/var/opt/ZARNkx/dstatus");
    DBM *db = dbm_open(path.data(), O_RDWR | O_CREAT, 0664);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(dbm_store(db, bytes("A1"), bytes("A1\x1eM\x1e"), DBM_REPLACE), 0);
    dbm_close(db);
    db = kx::open_desktop_dbm(path.c_str(), kx::KXA_ANONYMOUS);
    ASSERT_NE(db, nullptr);
    for (int fd : {dbm_pagfno(db), dbm_dirfno(db)})
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    ASSERT_EQ(truncate((path + ".pag").c_str(), 0), 0);
    EXPECT_EQ(fields(kx::get_dbm_desktop(db, "A1")), "none");  // not SIGBUS
    dbm_close(db);

    root.make_dir("/open");
    chmod(root.at("/open").c_str(), 0777);
    const std::string planted[] = {"/fifo", "/link", "/open/db"};
    mkfifo(root.at("/fifo.pag").c_str(), 0644);
    symlink((path + ".pag").c_str(), root.at("/link.pag").c_str());
    root.write("/open/db.pag", root.read("/var/opt/ZARNkx/dstatus.pag"));
    for (const std::string &name : planted) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(kx::open_desktop_dbm(root.at(name).c_str(), kx::KXA_ANONYMOUS), nullptr) << name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << name;
    }
}

}  // namespace
