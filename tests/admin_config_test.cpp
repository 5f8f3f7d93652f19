// The administration configuration: its grammar and keys, the record check,
// the credentials file and the configuration probe.
#include "admin.h"
#include "kxerrno.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Record = std::unique_ptr<kx::kxa, decltype(&kx::free_kxa)>;
using kxtest::owned;

const std::string kComplete = "admin.server.name=127.0.0.1\nadmin.server.port=1\nadmin.subtree=o=kx\n"
                              "admin.dstatus.dbfile=/d\nadmin.ustatus.dbfile=/u\n";

// The settings of a record and of the process, as " key=value " items.
std::string settings(const kx::kxa &r)
{
    auto text = [](const char *value) { return std::string(value ? value : "-"); };
    return " name=" + text(r.serverName) + " port=" + std::to_string(r.serverPort) + " user=" + text(r.userName) +
           " subtree=" + text(r.subtree) + " locale=" + text(r.defaultLocale) + " dfile=" + text(r.desktopDbFile) +
           " ufile=" + text(r.userDbFile) + " mech=" + std::to_string(r.authMech) + " timeout=" +
           std::to_string(kx::DStimeout) + " debug=" + std::to_string(kx::gdebug("d") * 10 + kx::gdebug("s")) + " ";
}

class AdminConfig : public ::testing::Test {
protected:
    void TearDown() override
    {
        kx::DStimeout = 10;
        kx::set_gdebug(nullptr);
    }
    // Reads `contents` as the configuration file into a new record.
    Record read(const std::string &contents)
    {
        path = root.write("/etc/opt/ZARNkx/kxadmin.conf", contents);
        Record rec(kx::allocate_kxa(), kx::free_kxa);
        EXPECT_EQ(kx::read_config_file(rec.get(), path.c_str()), 0);
        return rec;
    }
    kxtest::TestRoot root;
    std::string path;
};

TEST_F(AdminConfig, KeysAndGrammar)
{
    const std::string filler(511 - 20, 'x');
    const struct { std::string file, expected; } cases[] = {
        {"", "name=- port=0 user=- subtree=- locale=- dfile=- ufile=- mech=1 timeout=10 debug=0"},
        {"admin.server.name=ds.example\nadmin.server.port=389\nadmin.user.name = cn=admin,o=kx \n"
         "admin.subtree=ou=kx, o=Example Corp,c=DE\nadmin.defaultlocale=de_DE\nadmin.dstatus.dbfile=/d\n"
         "admin.ustatus.dbfile=/u\nadmin.server.authmech=SIMPLE\nadmin.server.timeout=3\nadmin.debug=ad\n",
         "name=ds.example port=389 user=cn=admin,o=kx subtree=ou=kx, o=Example Corp,c=DE locale=de_DE dfile=/d "
         "ufile=/u mech=0 timeout=3 debug=10"},
        // Comments, lines without "=" or with an empty side, keys matched with case, the last value kept.
        {"  # admin.subtree=o=x\n#admin.subtree=o=y\nADMIN.SUBTREE=o=z\nadmin.subtree\n", "subtree=-"},
        {"admin.server.name=first\nadmin.server.name=\n=x\n", "name=first"},
        {"admin.dstatus.dbfile=/first\nadmin.dstatus.dbfile=/second\n", "dfile=/second"},
        // A line longer than the buffer: its tail is read as a line of its own.
        {"admin.defaultlocale=" + filler + "admin.subtree=o=tail\n", "subtree=o=tail locale=" + filler},
        // Numbers: decimal digits only, within an int; anything else is ignored.
        {"admin.server.port=389x\nadmin.server.port=-389\nadmin.server.port=+389\n", "port=0"},
        {"admin.server.port=3 89\nadmin.server.port=99999999999999999999\n", "port=0"},
        {"admin.server.timeout=0\n", "timeout=0"},
        {"admin.server.timeout=\nadmin.server.timeout=-5\nadmin.server.timeout=7s\n", "timeout=10"},
        // Mechanisms are matched with case; a rejected one keeps the one before.
        {"admin.server.authmech=simple\n", "mech=1"},
        {"admin.server.authmech=SIMPLE\nadmin.server.authmech=CRAM-MD5\n", "mech=0"},
        {"admin.server.authmech=SIMPLE\nadmin.server.authmech=CRAM_MD5\n", "mech=1"},
    };
    for (const auto &c : cases) {
        TearDown();
        std::string found = settings(*read(c.file));
        EXPECT_NE(found.find(" " + c.expected + " "), std::string::npos) << c.file << found;
    }
}

TEST_F(AdminConfig, IncompleteRecordIsRefusedBeforeConnecting)
{
    // Each required setting missing in turn (the port also as 0); the user is required outside the anonymous mode.
    std::vector<std::tuple<std::string, int, int>> cases{
        {kComplete, kx::KXA_ANONYMOUS, 0}, {kComplete + "admin.user.name=a\n", kx::KXA_ADMIN, 0},
        {kComplete, kx::KXA_ADMIN, -1}, {kComplete + "admin.server.port=0\n", kx::KXA_ANONYMOUS, -1}};
    for (const char *key : {"admin.server.name=", "admin.subtree=", "admin.dstatus.dbfile=", "admin.ustatus.dbfile="}) {
        std::string file = kComplete;
        std::size_t at = file.find(key);
        cases.emplace_back(file.erase(at, file.find('\n', at) + 1 - at), kx::KXA_ANONYMOUS, -1);
    }
    for (const auto &[file, mode, expected] : cases) {
        Record rec = read(file);
        rec->openMode = mode;
        EXPECT_EQ(kx::check_kxa(rec.get()), expected) << file;
        if (expected == 0)
            continue;
        kx::kxa *conn = reinterpret_cast<kx::kxa *>(1);  // refused by the check: port 1 would refuse otherwise
        EXPECT_EQ(kx::kx_openDsConnection(mode, nullptr, nullptr, nullptr, nullptr, &conn), -1) << file;
        EXPECT_EQ(conn, nullptr);
    }
    EXPECT_EQ(kx::check_kxa(nullptr), -1);
}

TEST_F(AdminConfig, LookupAndProbeWithAndWithoutFile)
{
    char *found = reinterpret_cast<char *>(1);
    EXPECT_EQ(kx::kx_DSConfigured(&found), KX_ENOENT);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(kx::get_kxadmin_info("admin.subtree"), nullptr);
    std::string missing = root.at("/etc/opt/ZARNkx/kxadmin.conf");
    kx::kxa *conn = reinterpret_cast<kx::kxa *>(1);
    EXPECT_EQ(kx::kx_openDsConnection(1, nullptr, nullptr, missing.c_str(), nullptr, &conn), KX_ENOENT);
    EXPECT_EQ(conn, nullptr);
    EXPECT_EQ(kx::read_config_file(Record(kx::allocate_kxa(), kx::free_kxa).get(), missing.c_str()), KX_ENOENT);

    read(kComplete + "admin.subtree=o=second\n  # admin.subtree=o=hash\n");
    EXPECT_EQ(owned(kx::get_kxadmin_info("admin.subtree")), "o=kx");  // the first one
    EXPECT_EQ(owned(kx::get_kxadmin_info("# admin.subtree")), "o=hash");
    EXPECT_EQ(kx::get_kxadmin_info("admin.user.name"), nullptr);
    EXPECT_EQ(kx::get_kxadmin_info(nullptr), nullptr);
    EXPECT_EQ(kx::kx_DSConfigured(&found), 0);
    EXPECT_EQ(owned(found), path);
    EXPECT_EQ(kx::configured_path("/srv/kx/dstatus"), "/srv/kx/dstatus");  // product paths: the directory tests
}

TEST_F(AdminConfig, CredentialsFile)
{
    const std::pair<const char *, std::string> cases[] = {  // contents (nullptr: no file), password and error
        {"  frperg\t\nsecond line\n", "secret 0"}, {"", "<null> -1"}, {" \t\n", "<null> -1"},
        {nullptr, "<null> " + std::to_string(KX_ENOENT)}};
    for (const auto &[contents, expected] : cases) {
        std::string file = contents ? root.write("/etc/opt/ZARNkx/kxadmin.pw", contents, 0600) : root.at("/none");
        int error = 99;
        std::string password = owned(kx::read_passwd_file(file.c_str(), &error));
        EXPECT_EQ(password + " " + std::to_string(error), expected);
    }
}

}  // namespace
