// The desktop status database: real ndbm files written as the product's
// status writers write them, read back through the library.
#include "admin.h"
#include "admin_dstatus.h"
#include "admin_ustatus.h"
#include "diagnostics_capture.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <memory>
#include <string>

using kxtest::DiagnosticsCapture;
using kxtest::TestRoot;

namespace {

struct DbmCloser {
    void operator()(DBM *db) const { dbm_close(db); }
};
using Db = std::unique_ptr<DBM, DbmCloser>;

struct RecordDeleter {
    void operator()(kx::dbm_desktop *rec) const { kx::free_dbm_desktop(rec); }
};
using Record = std::unique_ptr<kx::dbm_desktop, RecordDeleter>;

std::string record(std::initializer_list<const char *> fields)
{
    std::string out;
    for (const char *f : fields)
        out += std::string(f) + '\x1e';
    return out;
}

void store(DBM *db, const std::string &key, const std::string &content)
{
    datum k{const_cast<char *>(key.data()), static_cast<int>(key.size())};
    datum c{const_cast<char *>(content.data()), static_cast<int>(content.size())};
    ASSERT_EQ(dbm_store(db, k, c, DBM_REPLACE), 0);
}

class DesktopStatus : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.make_dir("/var/opt/ZARNkx");
        path = root.at("/var/opt/ZARNkx/dstatus");
        Db writer(dbm_open(path.data(), O_RDWR | O_CREAT, 0664));
        ASSERT_NE(writer, nullptr);
        store(writer.get(), "A1", record({"A1", "M", "F", "S", "100", "200"}));
        store(writer.get(), "B2", record({"B2", "", "F2", "S2", "300", "400"}));
        store(writer.get(), "C3", record({"X9", "M", "F", "S", "1", "2"}));
        store(writer.get(), "D4", "");
        store(writer.get(), "E5", record({"E5", std::string(600, 'm').c_str(), "F", "S", "1", "2"}));
        writer.reset();
        db.reset(kx::open_desktop_dbm(path.c_str(), kx::KXA_ANONYMOUS));
        ASSERT_NE(db, nullptr);
    }
    Record get(const char *id) { return Record(kx::get_dbm_desktop(db.get(), id)); }

    TestRoot root;
    std::string path;
    Db db;
};

TEST_F(DesktopStatus, SixFieldRecordReadWithIdInOtherCase)
{
    // The key is exact bytes; the ID inside the content ignores case.
    EXPECT_EQ(get("a1"), nullptr);
    datum key{const_cast<char *>("A1"), 2};
    Record rec(kx::fill_dbm_desktop_struct("a1", dbm_fetch(db.get(), key)));
    ASSERT_NE(rec, nullptr);
    EXPECT_STREQ(rec->id, "A1");
    EXPECT_STREQ(rec->model, "M");
    EXPECT_STREQ(rec->firmware_rev, "F");
    EXPECT_STREQ(rec->status, "S");
    EXPECT_STREQ(rec->last_status_time, "100");
    EXPECT_STREQ(rec->first_conn_time, "200");
    EXPECT_NE(get("A1"), nullptr);
}

TEST_F(DesktopStatus, EmptyFieldShiftsTheLaterOnesUp)
{
    Record rec = get("B2");
    ASSERT_NE(rec, nullptr);
    EXPECT_STREQ(rec->model, "F2");
    EXPECT_STREQ(rec->firmware_rev, "S2");
    EXPECT_STREQ(rec->status, "300");
    EXPECT_STREQ(rec->last_status_time, "400");
    EXPECT_EQ(rec->first_conn_time, nullptr);
}

TEST_F(DesktopStatus, CorruptedIdIsReported)
{
    DiagnosticsCapture diag;
    EXPECT_EQ(get("C3"), nullptr);
    EXPECT_TRUE(diag.has(
        "fill_dbm_desktop_struct(): corrupted ID in dbm_desktop record found (desktop ID=C3)\n"));
    datum content{const_cast<char *>("A1\x1e"), 3};
    EXPECT_EQ(kx::fill_dbm_desktop_struct(nullptr, content), nullptr);
    EXPECT_TRUE(diag.contains("(desktop ID=unknown)"));
}

TEST_F(DesktopStatus, ZeroLengthContentExistsButHasNoRecord)
{
    kx::set_gdebug("a");
    DiagnosticsCapture diag;
    EXPECT_EQ(kx::dbm_desktop_exists(db.get(), "D4"), 1);
    EXPECT_EQ(get("D4"), nullptr);
    EXPECT_TRUE(diag.has("(a) No desktop record.\n"));
    EXPECT_EQ(kx::dbm_desktop_exists(db.get(), "none"), 0);
    EXPECT_EQ(get("none"), nullptr);
    kx::set_gdebug(nullptr);
}

TEST_F(DesktopStatus, OverlongContentIsCutAt511Bytes)
{
    // The model field alone is longer than the limit: the record is read cut,
    // so the model holds what fits and the later fields are gone.
    Record rec = get("E5");
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(std::string(rec->model), std::string(511 - 3, 'm'));
    EXPECT_EQ(rec->firmware_rev, nullptr);
}

TEST_F(DesktopStatus, ReadOnlyForAnonymousReadWriteOtherwise)
{
    datum key{const_cast<char *>("Z"), 1};
    datum content{const_cast<char *>("Z\x1e"), 2};
    EXPECT_NE(dbm_store(db.get(), key, content, DBM_INSERT), 0);
    db.reset();
    Db rw(kx::open_desktop_dbm(path.c_str(), kx::KXA_ADMIN));
    ASSERT_NE(rw, nullptr);
    EXPECT_EQ(dbm_store(rw.get(), key, content, DBM_INSERT), 0);
    rw.reset();
    // Never created: a missing database does not open, in either mode.
    std::string missing = root.at("/var/opt/ZARNkx/none");
    EXPECT_EQ(kx::open_desktop_dbm(missing.c_str(), kx::KXA_ADMIN), nullptr);
    EXPECT_EQ(kx::open_user_dbm(missing.c_str(), kx::KXA_ANONYMOUS), nullptr);
    EXPECT_FALSE(root.exists("/var/opt/ZARNkx/none.pag"));
}

}  // namespace
