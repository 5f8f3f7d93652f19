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

namespace {

using Record = std::unique_ptr<kx::kxa, decltype(&kx::free_kxa)>;

std::string owned(char *text)
{
    std::string out = text ? text : "<null>";
    free(text);
    return out;
}

const std::string kComplete = "admin.server.name=127.0.0.1\nadmin.server.port=1\nadmin.subtree=o=kx\n"
                              "admin.dstatus.dbfile=/d\nadmin.ustatus.dbfile=/u\n";

// The complete configuration without the line of `key`.
std::string without(const std::string &key)
{
    std::string text = kComplete;
    std::size_t at = text.find(key + "=");
    return at == std::string::npos ? text : text.erase(at, text.find('\n', at) + 1 - at);
}

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
        {"admin.server.name=ds.example\n", "name=ds.example"},
        {"admin.server.port=389\n", "port=389"},
        {"admin.user.name = cn=admin,o=kx \n", "user=cn=admin,o=kx"},
        {"admin.subtree=ou=kx, o=Example Corp,c=DE\n", "subtree=ou=kx, o=Example Corp,c=DE"},
        {"admin.defaultlocale=de_DE\n", "locale=de_DE"},
        {"admin.dstatus.dbfile=/d\n", "dfile=/d"},
        {"admin.ustatus.dbfile=/u\n", "ufile=/u"},
        {"admin.server.authmech=SIMPLE\n", "mech=0"},
        {"admin.server.timeout=3\n", "timeout=3"},
        {"admin.debug=ad\n", "debug=10"},
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
        Record rec = read(c.file);
        EXPECT_NE(settings(*rec).find(" " + c.expected + " "), std::string::npos) << c.file << settings(*rec);
    }
}

TEST_F(AdminConfig, IncompleteRecordIsRefusedBeforeConnecting)
{
    const struct { std::string file; int mode, expected; } cases[] = {
        {kComplete + "admin.user.name=cn=a\n", kx::KXA_ADMIN, 0},
        {kComplete, kx::KXA_ANONYMOUS, 0},
        {kComplete, kx::KXA_ADMIN, -1},
        {kComplete + "admin.server.port=0\n", kx::KXA_ANONYMOUS, -1},
        {without("admin.server.name"), kx::KXA_ANONYMOUS, -1},
        {without("admin.subtree"), kx::KXA_ANONYMOUS, -1},
        {without("admin.dstatus.dbfile"), kx::KXA_ANONYMOUS, -1},
        {without("admin.ustatus.dbfile"), kx::KXA_ANONYMOUS, -1},
    };
    for (const auto &c : cases) {
        Record rec = read(c.file);
        rec->openMode = c.mode;
        EXPECT_EQ(kx::check_kxa(rec.get()), c.expected) << c.file;
        if (c.expected == 0)
            continue;
        // Refused by the check: an attempt to connect to port 1 fails otherwise.
        kx::kxa *conn = reinterpret_cast<kx::kxa *>(1);
        EXPECT_EQ(kx::kx_openDsConnection(c.mode, nullptr, nullptr, nullptr, nullptr, &conn), -1);
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
    Record rec(kx::allocate_kxa(), kx::free_kxa);
    EXPECT_EQ(kx::read_config_file(rec.get(), missing.c_str()), KX_ENOENT);

    read(kComplete + "admin.subtree=o=second\n  # admin.subtree=o=hash\n");
    EXPECT_EQ(owned(kx::get_kxadmin_info("admin.subtree")), "o=kx");  // the first one
    EXPECT_EQ(owned(kx::get_kxadmin_info("# admin.subtree")), "o=hash");
    EXPECT_EQ(kx::get_kxadmin_info("admin.user.name"), nullptr);
    EXPECT_EQ(kx::get_kxadmin_info(nullptr), nullptr);
    EXPECT_EQ(kx::kx_DSConfigured(&found), 0);
    EXPECT_EQ(owned(found), path);
    EXPECT_EQ(kx::configured_path("/var/opt/ZARNkx/dstatus"), root.at("/var/opt/ZARNkx/dstatus"));
    EXPECT_EQ(kx::configured_path("/srv/kx/dstatus"), "/srv/kx/dstatus");
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
