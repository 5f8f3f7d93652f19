// The directory connection and desktop records against a real slapd started
// for each test, with real ndbm status databases under the test root.
#include "admin.h"
#include "admin_desktop.h"
#include "admin_dstatus.h"
#include "diagnostics_capture.h"
#include "kxerrno.h"
#include "kxsinit.h"
#include "slapd_server.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

using kxtest::DiagnosticsCapture;
using kxtest::SlapdServer;
using kxtest::TestRoot;

namespace {

constexpr const char *kAdminDn = "cn=admin,o=kxtest";
constexpr const char *kAdminSecret = "adminsecret";
constexpr const char *kGhostDn = "cn=ghost,o=kxtest";  // mapped for CRAM-MD5, no entry
constexpr const char *kAdminSecretScrambled = "nqzvafrperg";  // as kxadmin.pw holds it
constexpr const char *kDesktopDb = "/var/opt/ZARNkx/dstatus";
constexpr const char *kUserDb = "/var/opt/ZARNkx/ustatus";

struct ConnectionCloser {
    void operator()(kx::kxa *conn) const { kx::close_connection(conn); }
};
using Connection = std::unique_ptr<kx::kxa, ConnectionCloser>;
struct DesktopDeleter {
    void operator()(kx::desktop *d) const { kx::free_desktop(d); }
};
using Desktop = std::unique_ptr<kx::desktop, DesktopDeleter>;
struct MessageDeleter {
    void operator()(LDAPMessage *m) const { ldap_msgfree(m); }
};
using Result = std::unique_ptr<LDAPMessage, MessageDeleter>;

std::string desktop_entry(const std::string &id, const std::string &extra = "",
                          const std::string &parent = "kxName=desktops,o=kxtest")
{
    return "dn: kxID=" + id + "," + parent + "\nobjectClass: kxDesktop\nkxID: " + id + "\n" + extra +
           "\n";
}

class Directory : public ::testing::Test {
protected:
    Directory() : server({kAdminDn, kGhostDn}) {}

    void SetUp() override
    {
        kx::DStimeout = 10;
        root.lay_out_minimal_product();
        make_status_databases();
        server.add(std::string("dn: ") + kAdminDn +
                   "\nobjectClass: person\ncn: admin\nsn: admin\nuserPassword: " + kAdminSecret + "\n");
        write_config();
    }
    void TearDown() override
    {
        kx::DStimeout = 10;
        kx::set_gdebug(nullptr);
    }

    void write_config(const std::string &extra = "")
    {
        root.write("/etc/opt/ZARNkx/kxadmin.conf",
                   kxtest::admin_config_for(server, kDesktopDb, kUserDb, extra));
    }
    void make_status_databases()
    {
        root.make_dir("/var/opt/ZARNkx");
        for (const char *name : {kDesktopDb, kUserDb}) {
            std::string path = root.at(name);
            DBM *db = dbm_open(path.data(), O_RDWR | O_CREAT, 0664);
            ASSERT_NE(db, nullptr);
            dbm_close(db);
        }
    }
    void store_status(const std::string &id, const std::string &content)
    {
        std::string path = root.at(kDesktopDb);
        DBM *db = dbm_open(path.data(), O_RDWR, 0664);
        ASSERT_NE(db, nullptr);
        datum k{const_cast<char *>(id.data()), static_cast<int>(id.size())};
        datum c{const_cast<char *>(content.data()), static_cast<int>(content.size())};
        EXPECT_EQ(dbm_store(db, k, c, DBM_REPLACE), 0);
        dbm_close(db);
    }
    Connection open(int mode, int *rc, const char *user = nullptr, const char *password = nullptr,
                    const char *serverOverride = nullptr)
    {
        kx::kxa *conn = reinterpret_cast<kx::kxa *>(1);
        *rc = kx::kx_openDsConnection(mode, user, password, nullptr, serverOverride, &conn);
        return Connection(conn);
    }
    Connection open_anonymous()
    {
        int rc = -99;
        Connection conn = open(kx::KXA_ANONYMOUS, &rc);
        EXPECT_EQ(rc, 0);
        return conn;
    }

    TestRoot root;
    SlapdServer server;
};

TEST_F(Directory, AnonymousModeBindsSimplyAndOpensStatusReadOnly)
{
    write_config("admin.server.authmech=CRAM_MD5\nadmin.debug=d\n");
    DiagnosticsCapture diag;
    int error = -99;
    Connection conn(kx::open_connection(kx::KXA_ANONYMOUS, nullptr, nullptr, nullptr, &error));
    ASSERT_NE(conn, nullptr) << diag.all();
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(diag.has("(d) connecting to ldap://127.0.0.1:" + std::to_string(server.port()) +
                         " as |cn=anonymous|\n"));
    EXPECT_EQ(conn->authMech, 0);
    EXPECT_EQ(conn->openMode, 1);
    EXPECT_STREQ(conn->password, nullptr);
    ASSERT_NE(conn->desktopDb, nullptr);
    ASSERT_NE(conn->userDb, nullptr);
    datum key{const_cast<char *>("K"), 1};
    EXPECT_NE(dbm_store(conn->desktopDb, key, key, DBM_INSERT), 0);
    EXPECT_NE(dbm_store(conn->userDb, key, key, DBM_INSERT), 0);
    EXPECT_STREQ(kx::get_server_name(conn.get()), "127.0.0.1");
}

TEST_F(Directory, InitInAdministrationModeHoldsTheConnection)
{
    DiagnosticsCapture diag;
    KXSHandle *handle = kxs_init();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->adminMode, 16);
    auto *conn = static_cast<kx::kxa *>(handle->connection);
    ASSERT_NE(conn, nullptr) << diag.all();
    EXPECT_NE(conn->dsConnection, nullptr);
    EXPECT_FALSE(diag.contains("Could not connect to admin server"));
    kxs_freeHandle(handle);  // closes it; the sanitizer build sees any leak
}

TEST_F(Directory, ServerOverrideAndMissingDatabase)
{
    // The configured name does not resolve; the override does.
    root.write("/etc/opt/ZARNkx/kxadmin.conf",
               kxtest::admin_config_for(server, kDesktopDb, kUserDb) + "admin.server.name=no.such.host.invalid\n");
    int rc = -99;
    Connection conn = open(kx::KXA_ANONYMOUS, &rc, nullptr, nullptr, "127.0.0.1");
    ASSERT_EQ(rc, 0);
    EXPECT_STREQ(kx::get_server_name(conn.get()), "127.0.0.1");
    EXPECT_EQ(kx::get_server_name(nullptr), nullptr);

    DiagnosticsCapture diag;
    write_config("admin.ustatus.dbfile=/var/opt/ZARNkx/missing\n");
    conn = open(kx::KXA_ANONYMOUS, &rc);
    EXPECT_EQ(rc, KX_EDBMOPEN);
    EXPECT_EQ(conn, nullptr);
    EXPECT_TRUE(diag.has("open_connection(): Could not open ustatus DB at (/var/opt/ZARNkx/missing)\n"));
}

TEST_F(Directory, CramMd5BindWithRightAndWrongSecret)
{
    write_config(std::string("admin.user.name=") + kAdminDn + "\nadmin.server.authmech=CRAM_MD5\n");
    root.write("/etc/opt/ZARNkx/kxadmin.pw", std::string(kAdminSecretScrambled) + "\n", 0600);
    DiagnosticsCapture diag;
    int rc = -99;
    Connection conn = open(kx::KXA_ADMIN, &rc);
    EXPECT_EQ(rc, 0) << diag.all();
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(conn->authMech, 1);
    // Read-write status databases outside the anonymous mode.
    datum key{const_cast<char *>("K"), 1};
    EXPECT_EQ(dbm_store(conn->userDb, key, key, DBM_INSERT), 0);
    conn.reset();

    conn = open(kx::KXA_CREDENTIALS, &rc, kAdminDn, kAdminSecret);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(conn, nullptr);
    conn = open(kx::KXA_CREDENTIALS, &rc, kAdminDn, "wrong");
    EXPECT_EQ(rc, KX_EAUTH);
    EXPECT_EQ(conn, nullptr);
    EXPECT_TRUE(diag.has("open_connection(): Could not bind to DS server 127.0.0.1 - Invalid credentials\n"));

    // An identity the server does not know is refused as bad credentials;
    // one it maps to a DN without an entry fails for another reason.
    conn = open(kx::KXA_CREDENTIALS, &rc, "cn=nobody,o=kxtest", kAdminSecret);
    EXPECT_EQ(rc, KX_EAUTH);
    conn = open(kx::KXA_CREDENTIALS, &rc, kGhostDn, kAdminSecret);
    EXPECT_EQ(rc, KX_EINTERNAL);
    EXPECT_EQ(conn, nullptr);
    // No secret at all: refused before asking the server.
    conn = open(kx::KXA_USER_PASSWORD, &rc);
    EXPECT_EQ(rc, KX_EAUTH);
    EXPECT_TRUE(diag.has("open_connection(): Could not bind to DS server 127.0.0.1 - Success\n"));

    int error = 0;
    EXPECT_EQ(kx::open_connection(kx::KXA_CREDENTIALS, kAdminDn, "wrong", nullptr, &error), nullptr);
    EXPECT_EQ(error, -1);
}

TEST_F(Directory, SimpleBindAndEmptyCredentialsFile)
{
    write_config(std::string("admin.user.name=") + kAdminDn + "\nadmin.server.authmech=SIMPLE\n");
    int rc = -99;
    Connection conn = open(kx::KXA_USER_PASSWORD, &rc, nullptr, kAdminSecret);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(conn, nullptr);
    conn = open(kx::KXA_USER_PASSWORD, &rc, nullptr, "wrong");
    EXPECT_EQ(rc, KX_EAUTH);

    DiagnosticsCapture diag;
    root.write("/etc/opt/ZARNkx/kxadmin.pw", "", 0600);
    conn = open(kx::KXA_ADMIN, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(conn, nullptr);
    EXPECT_TRUE(diag.has("open_connection(): Could not read KX password file (/etc/opt/ZARNkx/kxadmin.pw)\n"));
}

TEST_F(Directory, SingleSearchWantsExactlyOneEntry)
{
    server.add(desktop_entry("S1", "kxLocation: hall\n") + desktop_entry("S2", "kxLocation: lab\n") +
               desktop_entry("S3", "kxLocation: lab\n"));
    Connection conn = open_anonymous();
    ASSERT_NE(conn, nullptr);
    LDAP *ld = conn->dsConnection;
    const char *base = "kxName=desktops, o=kxtest";
    DiagnosticsCapture diag;
    EXPECT_EQ(kx::search_for_entries(ld, "(kxLocation=roof)", base, nullptr, 0, kx::KX_SEARCH_SINGLE), nullptr);
    EXPECT_TRUE(diag.all().empty());
    Result one(kx::search_for_entries(ld, "(kxLocation=hall)", base, nullptr, 0, kx::KX_SEARCH_SINGLE));
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(ldap_count_entries(ld, one.get()), 1);
    EXPECT_EQ(kx::search_for_entries(ld, "(kxLocation=lab)", base, nullptr, 0, kx::KX_SEARCH_SINGLE), nullptr);
    EXPECT_TRUE(diag.has("search_for_entries(): Found multiple matching entries, was expecting a single match"));

    Result none(kx::search_for_entries(ld, "(kxLocation=roof)", base, nullptr, 0, kx::KX_SEARCH_ALL));
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(ldap_count_entries(ld, none.get()), 0);
    Result level(kx::search_for_entries(ld, "(objectClass=*)", "o=kxtest", nullptr, 0, kx::KX_SEARCH_ONELEVEL));
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(ldap_count_entries(ld, level.get()), 2);  // the admin and the container

    EXPECT_EQ(kx::search_for_entries(ld, "(kxLocation=hall", base, nullptr, 0, kx::KX_SEARCH_ALL), nullptr);
    EXPECT_TRUE(diag.has("search_for_entries(): LDAP search failed - Bad search filter\n"));
}

TEST_F(Directory, DesktopOverlaysTheStatusDatabase)
{
    server.add(desktop_entry("A1", "kxModel: dirModel\nkxFirmwareRev: dirFw\nkxStatus: dirStatus\n"
                                   "kxLastTime: 1\nkxFirstTime: 2\nkxLocation: hall 3\n"
                                   "kxOtherInfo: by the door\nkxMisc1: m1\nkxNamespace: ns\n"
                                   "kxDtuTypeGroups: gamma\nkxDtuTypeGroups: alpha\nkxDtuTypeGroups: beta\n") +
               desktop_entry("B2", "kxStatus: dirOnly\nkxLocation: lab\n"));
    store_status("A1", std::string("A1\x1eM\x1e" "F\x1eS\x1e" "100\x1e" "200\x1e"));
    Connection conn = open_anonymous();
    ASSERT_NE(conn, nullptr);

    Desktop a1(kx::get_desktop(conn.get(), "a1"));  // the directory ignores case
    ASSERT_NE(a1, nullptr);
    EXPECT_STREQ(a1->id, "A1");
    EXPECT_STREQ(a1->model, "M");
    EXPECT_STREQ(a1->firmware_rev, "F");
    EXPECT_STREQ(a1->status, "S");
    EXPECT_STREQ(a1->last_status_time, "100");
    EXPECT_STREQ(a1->first_conn_time, "200");
    EXPECT_STREQ(a1->location, "hall 3");
    EXPECT_STREQ(a1->other_info, "by the door");
    EXPECT_STREQ(a1->misc1, "m1");
    EXPECT_EQ(a1->misc2, nullptr);
    EXPECT_STREQ(a1->kxnamespace, "ns");
    ASSERT_NE(a1->dtugroup, nullptr);
    EXPECT_STREQ(a1->dtugroup[0], "gamma");
    EXPECT_STREQ(a1->dtugroup[1], "alpha");
    EXPECT_STREQ(a1->dtugroup[2], "beta");
    EXPECT_EQ(a1->dtugroup[3], nullptr);

    Desktop b2(kx::get_desktop(conn.get(), "B2"));
    ASSERT_NE(b2, nullptr);
    EXPECT_STREQ(b2->status, "dirOnly");
    EXPECT_EQ(b2->model, nullptr);
    EXPECT_EQ(b2->dtugroup, nullptr);

    EXPECT_EQ(kx::get_desktop(conn.get(), ""), nullptr);
    EXPECT_EQ(kx::get_desktop(conn.get(), nullptr), nullptr);
    EXPECT_EQ(kx::get_desktop(conn.get(), "C3"), nullptr);
}

TEST_F(Directory, UnreadableStatusRecordKeepsTheDirectoryValues)
{
    server.add(desktop_entry("A1", "kxStatus: dirStatus\n"));
    store_status("A1", "");
    Connection conn = open_anonymous();
    ASSERT_NE(conn, nullptr);
    DiagnosticsCapture diag;
    Desktop a1(kx::get_desktop(conn.get(), "A1"));
    ASSERT_NE(a1, nullptr);
    EXPECT_STREQ(a1->status, "dirStatus");
    EXPECT_TRUE(diag.has("fill_desktop_status(): Could not find equivalent dbm desktop with desktop_id (A1)\n"));
}

TEST_F(Directory, TerminalIdIsAValueNotFilterSyntax)
{
    std::string many;
    for (int i = 0; i < 20; ++i)
        many += desktop_entry("T" + std::to_string(i));
    // An ID holding a literal "*" (escaped in its DN).
    many += "dn: kxID=W\\2A1,kxName=desktops,o=kxtest\nobjectClass: kxDesktop\nkxID: W*1\n\n";
    server.add(many + "dn: kxID=lone,kxName=desktops,o=kxtest\nobjectClass: kxDesktop\nkxID: lone\n\n");
    Connection conn = open_anonymous();
    ASSERT_NE(conn, nullptr);

    DiagnosticsCapture diag;
    EXPECT_EQ(kx::get_desktop(conn.get(), "*"), nullptr);
    EXPECT_EQ(kx::get_desktop(conn.get(), "lo*"), nullptr);
    EXPECT_EQ(kx::get_desktop(conn.get(), "a)(kxID=lone"), nullptr);
    EXPECT_EQ(kx::get_desktop(conn.get(), "x\\"), nullptr);
    EXPECT_FALSE(diag.contains("LDAP search failed")) << diag.all();
    Desktop star(kx::get_desktop(conn.get(), "W*1"));
    ASSERT_NE(star, nullptr);
    EXPECT_STREQ(star->id, "W*1");

    // The longest ID whose filter fits is looked up; one more byte is not
    // found rather than cut to a different ID.
    server.add(desktop_entry(std::string(122, 'L')));
    Desktop longest(kx::get_desktop(conn.get(), std::string(122, 'L').c_str()));
    EXPECT_NE(longest, nullptr);
    EXPECT_EQ(kx::get_desktop(conn.get(), std::string(123, 'L').c_str()), nullptr);
    EXPECT_EQ(kx::escape_filter_value(std::string("a*(b)\\", 6) + '\0' + "c"), "a\\2a\\28b\\29\\5c\\00c");
}

TEST_F(Directory, DuplicateIdIsNotFound)
{
    server.add("dn: kxName=more,kxName=desktops,o=kxtest\nobjectClass: kxContainer\nkxName: more\n\n" +
               desktop_entry("DUP") + desktop_entry("DUP", "", "kxName=more,kxName=desktops,o=kxtest"));
    Connection conn = open_anonymous();
    ASSERT_NE(conn, nullptr);
    DiagnosticsCapture diag;
    EXPECT_EQ(kx::get_desktop(conn.get(), "DUP"), nullptr);
    EXPECT_TRUE(diag.has("search_for_entries(): Found multiple matching entries, was expecting a single match"));
}

// ---- an absent or unresponsive server: every wait is bounded ----------------

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(Directory, StoppedServerFailsPromptly)
{
    server.stop();
    DiagnosticsCapture diag;
    auto start = std::chrono::steady_clock::now();
    int rc = -99;
    Connection conn = open(kx::KXA_ANONYMOUS, &rc);
    EXPECT_LT(seconds_since(start), 5.0);
    EXPECT_EQ(rc, KX_EINTERNAL);
    EXPECT_EQ(conn, nullptr);
    EXPECT_TRUE(diag.has("open_connection(): Could not bind to DS server 127.0.0.1 - Can't contact LDAP server\n"));

    KXSHandle *handle = kxs_init();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->connection, nullptr);
    EXPECT_TRUE(diag.has("kxs_init(): Could not connect to admin server\n"));
    kxs_freeHandle(handle);
}

TEST_F(Directory, UnresponsiveServerIsBoundedByTheTimeout)
{
    write_config("admin.server.timeout=1\n");
    Connection conn = open_anonymous();
    ASSERT_NE(conn, nullptr);

    // A stopped process: the kernel still accepts connections, nobody answers.
    server.pause();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kx::get_desktop(conn.get(), "A1"), nullptr);
    EXPECT_LT(seconds_since(start), 4.0);

    start = std::chrono::steady_clock::now();
    int rc = -99;
    Connection second = open(kx::KXA_ANONYMOUS, &rc);
    EXPECT_LT(seconds_since(start), 4.0);
    EXPECT_EQ(rc, KX_EINTERNAL);
    EXPECT_EQ(second, nullptr);
    server.resume();
}

TEST(DirectoryConfiguration, MissingSubtreeFailsBeforeAnyConnection)
{
    TestRoot root;
    root.write("/etc/opt/ZARNkx/kxadmin.conf",
               "admin.debug=d\nadmin.server.name=127.0.0.1\nadmin.server.port=1\n"
               "admin.dstatus.dbfile=/d\nadmin.ustatus.dbfile=/u\n");
    DiagnosticsCapture diag;
    int error = 0;
    EXPECT_EQ(kx::open_connection(kx::KXA_ANONYMOUS, nullptr, nullptr, nullptr, &error), nullptr);
    EXPECT_EQ(error, -1);
    EXPECT_TRUE(diag.has("open_connection(): Config file (" + root.at("/etc/opt/ZARNkx/kxadmin.conf") +
                         ") contents are incomplete\n"));
    EXPECT_FALSE(diag.contains("connecting to")) << diag.all();
    kx::set_gdebug(nullptr);

    kx::kxa *conn = reinterpret_cast<kx::kxa *>(1);
    std::string missing = root.at("/etc/opt/ZARNkx/other.conf");
    EXPECT_EQ(kx::kx_openDsConnection(1, nullptr, nullptr, missing.c_str(), nullptr, &conn), KX_ENOENT);
    EXPECT_EQ(conn, nullptr);
    kx::kx_closeDsConnection(nullptr);
    EXPECT_EQ(kx::close_connection(nullptr), 0);
}

}  // namespace
