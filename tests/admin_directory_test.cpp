// The directory connection and desktop records against a real slapd started
// for each test, with real ndbm status databases under the test root.
#include "admin.h"
#include "admin_desktop.h"
#include "kxerrno.h"
#include "kxsinit.h"
#include "slapd_server.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

constexpr const char *kAdminDn = "cn=admin,o=kxtest";
constexpr const char *kSecret = "adminsecret";          // "nqzvafrperg" scrambled
constexpr const char *kGhostDn = "cn=ghost,o=kxtest";  // mapped for CRAM-MD5, no entry
constexpr const char *kCram = "admin.user.name=cn=admin,o=kxtest\nadmin.server.authmech=CRAM_MD5\n";
constexpr const char *kSimple = "admin.user.name=cn=admin,o=kxtest\nadmin.server.authmech=SIMPLE\n";

using Connection = std::unique_ptr<kx::kxa, decltype(&kx::kx_closeDsConnection)>;
using Clock = std::chrono::steady_clock;

std::string entry(const std::string &id, const std::string &extra = "", const std::string &parent = "kxName=desktops")
{
    return "dn: kxID=" + id + "," + parent + ",o=kxtest\nobjectClass: kxDesktop\nkxID: " + id + "\n" + extra + "\n";
}

// A desktop as "id|model|firmware|status|last|first|location|other|misc1|misc2|namespace[|groups]"
// ("-": a missing field), released; "none" for no desktop.
std::string summary(kx::desktop *d)
{
    if (!d)
        return "none";
    std::string out = d->id ? d->id : "-";
    for (const char *f : {d->model, d->firmware_rev, d->status, d->last_status_time, d->first_conn_time,
                          d->location, d->other_info, d->misc1, d->misc2, d->kxnamespace})
        out += std::string("|") + (f ? f : "-");
    for (char **g = d->dtugroup; g && *g; ++g)
        out += (g == d->dtugroup ? "|" : ",") + std::string(*g);
    kx::free_desktop(d);
    return out;
}

class Directory : public ::testing::Test {
protected:
    Directory() : server({kAdminDn, kGhostDn}) {}
    void SetUp() override
    {
        root.lay_out_minimal_product();
        for (std::string path : {root.at("/var/opt/ZARNkx/dstatus"), root.at("/var/opt/ZARNkx/ustatus")}) {
            DBM *db = dbm_open(path.data(), O_RDWR | O_CREAT, 0664);
            ASSERT_NE(db, nullptr);
            dbm_close(db);
        }
        server.add(std::string("dn: ") + kAdminDn + "\nobjectClass: person\ncn: admin\nsn: admin\n"
                   "userPassword: " + kSecret + "\n");
        configure();
    }
    void TearDown() override { kx::DStimeout = 10; }
    void configure(const std::string &extra = "")
    {
        root.write("/etc/opt/ZARNkx/kxadmin.conf",
                   "admin.server.name=127.0.0.1\nadmin.server.port=" + std::to_string(server.port()) +
                       "\nadmin.subtree=o=kxtest\nadmin.dstatus.dbfile=/var/opt/ZARNkx/dstatus\n"
                       "admin.ustatus.dbfile=/var/opt/ZARNkx/ustatus\n" + extra);
    }
    Connection open(int mode, int *rc, const char *user = nullptr, const char *password = nullptr,
                    const char *serverName = nullptr)
    {
        kx::kxa *conn = reinterpret_cast<kx::kxa *>(1);
        *rc = kx::kx_openDsConnection(mode, user, password, nullptr, serverName, &conn);
        return Connection(conn, kx::kx_closeDsConnection);
    }
    kxtest::TestRoot root;
    kxtest::SlapdServer server;
};

TEST_F(Directory, BindsByModeAndMechanism)
{
    const struct {
        std::string config;
        int mode;
        const char *user, *password, *passwordFile, *serverName;
        int expected;
    } cases[] = {
        // The anonymous mode binds simply as cn=anonymous, whatever is configured.
        {kCram, kx::KXA_ANONYMOUS, nullptr, nullptr, nullptr, nullptr, 0},
        {kCram, kx::KXA_ADMIN, nullptr, nullptr, "nqzvafrperg\n", nullptr, 0},
        {kCram, kx::KXA_ADMIN, nullptr, nullptr, "", nullptr, -1},
        {kCram, kx::KXA_CREDENTIALS, kAdminDn, kSecret, nullptr, nullptr, 0},
        {kCram, kx::KXA_CREDENTIALS, kAdminDn, "wrong", nullptr, nullptr, KX_EAUTH},
        // An identity the server does not know is refused as bad credentials;
        // one it maps to a DN without an entry fails for another reason.
        {kCram, kx::KXA_CREDENTIALS, "cn=nobody,o=kxtest", kSecret, nullptr, nullptr, KX_EAUTH},
        {kCram, kx::KXA_CREDENTIALS, kGhostDn, kSecret, nullptr, nullptr, KX_EINTERNAL},
        {kCram, kx::KXA_USER_PASSWORD, nullptr, nullptr, nullptr, nullptr, KX_EAUTH},
        {kSimple, kx::KXA_USER_PASSWORD, nullptr, kSecret, nullptr, nullptr, 0},
        {kSimple, kx::KXA_USER_PASSWORD, nullptr, "wrong", nullptr, nullptr, KX_EAUTH},
        {"admin.server.name=no.such.host.invalid\n", kx::KXA_ANONYMOUS, nullptr, nullptr, nullptr, "127.0.0.1", 0},
        {"admin.ustatus.dbfile=/var/opt/ZARNkx/missing\n", kx::KXA_ANONYMOUS, nullptr, nullptr, nullptr, nullptr,
         KX_EDBMOPEN},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.config + " mode " + std::to_string(c.mode) + " " + (c.password ? c.password : ""));
        configure(c.config);
        if (c.passwordFile)
            root.write("/etc/opt/ZARNkx/kxadmin.pw", c.passwordFile, 0600);
        int rc = -99;
        Connection conn = open(c.mode, &rc, c.user, c.password, c.serverName);
        EXPECT_EQ(rc, c.expected);
        EXPECT_EQ(conn != nullptr, c.expected == 0);
        if (!conn)
            continue;
        EXPECT_EQ(conn->openMode, c.mode);
        EXPECT_STREQ(kx::get_server_name(conn.get()), "127.0.0.1");
        // The status databases are read-only in the anonymous mode only.
        datum key{const_cast<char *>("K"), 1};
        EXPECT_EQ(dbm_store(conn->desktopDb, key, key, DBM_REPLACE) == 0, c.mode != kx::KXA_ANONYMOUS);
        EXPECT_EQ(dbm_store(conn->userDb, key, key, DBM_REPLACE) == 0, c.mode != kx::KXA_ANONYMOUS);
        EXPECT_EQ(std::string(conn->userName) == "cn=anonymous", c.mode == kx::KXA_ANONYMOUS);
        EXPECT_EQ(conn->authMech, c.mode == kx::KXA_ANONYMOUS || c.config == kSimple ? 0 : 1);
    }
    int error = 0;
    EXPECT_EQ(kx::open_connection(kx::KXA_USER_PASSWORD, nullptr, "wrong", nullptr, &error), nullptr);
    EXPECT_EQ(error, -1);
    EXPECT_EQ(kx::close_connection(nullptr), 0);
}

TEST_F(Directory, SearchesAndDesktopRecords)
{
    std::string ldif = entry("A1", "kxModel: dirModel\nkxFirmwareRev: dirFw\nkxStatus: dirStatus\nkxLastTime: 1\n"
                                   "kxFirstTime: 2\nkxLocation: hall 3\nkxOtherInfo: by the door\nkxMisc1: m1\n"
                                   "kxNamespace: ns\nkxDtuTypeGroups: gamma\nkxDtuTypeGroups: alpha\n"
                                   "kxDtuTypeGroups: beta\n") +
                       entry("B2", "kxStatus: dirOnly\nkxLocation: lab\n") + entry("U3", "kxStatus: dirU3\n") +
                       entry("lone", "kxLocation: lab\n") + entry(std::string(122, 'L')) + entry("DUP") +
                       "dn: kxID=W\\2A1,kxName=desktops,o=kxtest\nobjectClass: kxDesktop\nkxID: W*1\n\n" +
                       "dn: kxName=more,kxName=desktops,o=kxtest\nobjectClass: kxContainer\nkxName: more\n\n" +
                       entry("DUP", "", "kxName=more,kxName=desktops");
    server.add(ldif);
    DBM *db = dbm_open(root.at("/var/opt/ZARNkx/dstatus").data(), O_RDWR, 0664);
    ASSERT_NE(db, nullptr);
    auto store = [db](const std::string &key, const std::string &content) {
        datum k{const_cast<char *>(key.data()), int(key.size())};
        datum c{const_cast<char *>(content.data()), int(content.size())};
        return dbm_store(db, k, c, DBM_REPLACE);
    };
    EXPECT_EQ(store("A1", "A1\x1eM\x1e" "F\x1eS\x1e" "100\x1e" "200\x1e"), 0);
    EXPECT_EQ(store("U3", ""), 0);  // a key without a usable record
    dbm_close(db);
    int rc = -99;
    Connection conn = open(kx::KXA_ANONYMOUS, &rc);
    ASSERT_NE(conn, nullptr);

    LDAP *ld = conn->dsConnection;
    const struct { const char *filter; int mode, count; } searches[] = {  // count -1: no result
        {"(kxLocation=roof)", kx::KX_SEARCH_ALL, 0},
        {"(kxLocation=lab)", kx::KX_SEARCH_ALL, 2},
        {"(objectClass=*)", kx::KX_SEARCH_ONELEVEL, 2},  // the admin and the container
        {"(kxLocation=hall", kx::KX_SEARCH_ALL, -1},
    };
    for (const auto &s : searches) {
        LDAPMessage *found = kx::search_for_entries(ld, s.filter, "o=kxtest", nullptr, 0, s.mode);
        EXPECT_EQ(found ? ldap_count_entries(ld, found) : -1, s.count) << s.filter << " mode " << s.mode;
        ldap_msgfree(found);
    }

    const struct { std::string id, expected; } desktops[] = {
        // The status database overrides the five status fields; the directory ignores case.
        {"a1", "A1|M|F|S|100|200|hall 3|by the door|m1|-|ns|gamma,alpha,beta"},
        {"B2", "B2|-|-|dirOnly|-|-|lab|-|-|-|-"},
        {"U3", "U3|-|-|dirU3|-|-|-|-|-|-|-"},  // an empty status record changes nothing
        {"W*1", "W*1|-|-|-|-|-|-|-|-|-|-"},
        // An ID is a value, not filter syntax; the longest ID whose filter fits is found.
        {std::string(122, 'L'), std::string(122, 'L') + "|-|-|-|-|-|-|-|-|-|-"},
    };
    for (const auto &d : desktops)
        EXPECT_EQ(summary(kx::get_desktop(conn.get(), d.id.c_str())), d.expected) << d.id;
    // Not found: absent, empty, twice in the directory (under two containers), an
    // ID that would be filter syntax, an ID too long for the filter.
    for (const std::string &id : std::vector<std::string>{"C3", "", "DUP", "*", "lo*", "a)(kxID=lone", "x\\",
                                                          std::string(123, 'L')}) {
        EXPECT_EQ(kx::get_desktop(conn.get(), id.c_str()), nullptr) << id;
        kx::desktop *rec = nullptr;
        EXPECT_EQ(kx::find_desktop(conn.get(), id.c_str(), &rec), KX_ENOTFOUND) << id;
    }
    EXPECT_EQ(kx::get_desktop(conn.get(), nullptr), nullptr);
    EXPECT_EQ(kx::escape_filter_value(std::string("a*(b)\\", 6) + '\0' + "c"), "a\\2a\\28b\\29\\5c\\00c");
}

TEST_F(Directory, InitHoldsTheConnectionAndEveryWaitIsBounded)
{
    configure("admin.server.timeout=1\n");
    kxtest::Handle handle(kxs_init());  // in administration mode, with its connection (released with it)
    ASSERT_TRUE(handle && handle->rep.adminMode == 16 && handle->rep.connection);
    int rc = -99;
    Connection conn = open(kx::KXA_ANONYMOUS, &rc);
    ASSERT_NE(conn, nullptr);

    // A connection that can no longer be written to, as after the server reset
    // it: the lookup fails, and SIGPIPE does not end the process.
    int fd = -1;
    ASSERT_EQ(ldap_get_option(conn->dsConnection, LDAP_OPT_DESC, &fd), LDAP_OPT_SUCCESS);
    shutdown(fd, SHUT_WR);
    kx::desktop *rec = nullptr;
    EXPECT_EQ(kx::find_desktop(conn.get(), "A1", &rec), KX_ENOTFOUND);  // gone, not late
    conn = open(kx::KXA_ANONYMOUS, &rc);
    ASSERT_NE(conn, nullptr);

    // A stopped process: the kernel still accepts connections, nobody answers.
    server.pause();
    auto start = Clock::now();
    EXPECT_EQ(kx::find_desktop(conn.get(), "A1", &rec), KX_ETIMEDOUT);
    EXPECT_EQ(rec, nullptr);
    Connection second = open(kx::KXA_ANONYMOUS, &rc);
    EXPECT_EQ(rc, KX_EINTERNAL);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(6));

    // No server at all: refused at once; the handle is made without a connection.
    server.stop();
    start = Clock::now();
    second = open(kx::KXA_ANONYMOUS, &rc);
    EXPECT_EQ(rc, KX_EINTERNAL);
    handle.reset(kxs_init());
    EXPECT_TRUE(handle && !handle->rep.connection);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
