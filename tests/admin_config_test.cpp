// The administration configuration: its grammar and keys, the record check,
// the credentials file and the configuration probe.
#include "admin.h"
#include "kxerrno.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Record = std::unique_ptr<kx::kxa, decltype(&kx::free_kxa)>;
using kxtest::owned;

constexpr const char *kConf = "/etc/opt/ZARNkx/kxadmin.conf";

const std::string kComplete =
    "admin.server.name=127.0.0.1\nadmin.server.port=1\nadmin.subtree=o=kx\n"
    "admin.dstatus.dbfile=/d\nadmin.ustatus.dbfile=/u\n";

// The settings of a record and of the process, as " key=value " items.
std::string settings(const kx::kxa &r)
{
    auto text = [](const char *value) { return std::string(value ? value : "-"); };
    return " name=" + text(r.serverName) + " port=" + std::to_string(r.serverPort) +
           " user=" + text(r.userName) + " subtree=" + text(r.subtree) +
           " locale=" + text(r.defaultLocale) + " dfile=" + text(r.desktopDbFile) +
           " ufile=" + text(r.userDbFile) + " mech=" + std::to_string(r.authMech) +
           " timeout=" + std::to_string(kx::DStimeout) +
           " debug=" + std::to_string(kx::gdebug("d") * 10 + kx::gdebug("s")) + " ";
}

// Reads `contents` as the configuration file into a new record, from the
// process's default settings on.
Record read(kxtest::TestRoot &root, const std::string &contents)
{
    kx::DStimeout = 10;
    kx::set_gdebug(nullptr);
    Record rec(kx::allocate_kxa(), kx::free_kxa);
    EXPECT_EQ(kx::read_config_file(rec.get(), root.write(kConf, contents).c_str()), 0);
    return rec;
}

TEST(AdminConfig, KeysAndGrammar)
{
    kxtest::TestRoot root;
    const std::string filler(511 - 20, 'x');
    const std::pair<std::string, std::string> cases[] = {  // the file and items of its settings
        {"", "name=- port=0 user=- subtree=- locale=- dfile=- ufile=- mech=1 timeout=10 debug=0"},
        // Every key; of one given twice the last value is kept, a refused one keeps the one before.
        // Numbers are decimal digits only, within an int.
        {"admin.server.name=ds.example\nadmin.server.port=389\nadmin.server.port=12x\n"
         "admin.server.port=-12\nadmin.server.port=+12\nadmin.server.port=1 2\n"
         "admin.server.port=99999999999999999999\nadmin.user.name = cn=admin,o=kx \n"
         "admin.subtree=ou=kx, o=Example Corp,c=DE\nadmin.defaultlocale=de_DE\n"
         "admin.dstatus.dbfile=/first\nadmin.dstatus.dbfile=/d\nadmin.ustatus.dbfile=/u\n"
         "admin.server.authmech=SIMPLE\nadmin.server.authmech=CRAM-MD5\nadmin.debug=ad\n"
         "admin.server.timeout=0\nadmin.server.timeout=-5\nadmin.server.timeout=7s\n",
         "name=ds.example port=389 user=cn=admin,o=kx subtree=ou=kx, o=Example Corp,c=DE "
         "locale=de_DE dfile=/d ufile=/u mech=0 timeout=0 debug=10"},
        // Comments, lines without "=" or with an empty side, keys and mechanisms matched with case.
        {"admin.server.name=first\nadmin.server.name=\n=x\n  # admin.subtree=o=x\n"
         "#admin.subtree=o=y\nADMIN.SUBTREE=o=z\nadmin.subtree\n",
         "name=first port=0 user=- subtree=-"},
        {"admin.server.authmech=SIMPLE\nadmin.server.authmech=CRAM_MD5\n"
         "admin.server.authmech=simple\n", "mech=1"},
        // A line longer than the buffer: its tail is read as a line of its own.
        {"admin.defaultlocale=" + filler + "admin.subtree=o=tail\n",
         "subtree=o=tail locale=" + filler},
    };
    for (const auto &[file, expected] : cases) {
        std::string found = settings(*read(root, file));
        EXPECT_NE(found.find(" " + expected + " "), std::string::npos) << file << found;
    }
}

TEST(AdminConfig, RecordCheckLookupProbeAndCredentials)
{
    kxtest::TestRoot root;
    // Without the file.
    char *found = reinterpret_cast<char *>(1);
    EXPECT_EQ(kx::kx_DSConfigured(&found), KX_ENOENT);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(kx::get_kxadmin_info("admin.subtree"), nullptr);
    std::string missing = root.at(kConf);
    kx::kxa *conn = reinterpret_cast<kx::kxa *>(1);
    EXPECT_EQ(kx::kx_openDsConnection(1, nullptr, nullptr, missing.c_str(), nullptr, &conn),
              KX_ENOENT);
    EXPECT_EQ(conn, nullptr);
    Record empty(kx::allocate_kxa(), kx::free_kxa);
    EXPECT_EQ(kx::read_config_file(empty.get(), missing.c_str()), KX_ENOENT);

    // An incomplete record is refused before connecting: each required key misspelt in turn; the
    // user is required outside the anonymous mode.
    std::vector<std::tuple<std::string, int, int>> cases{
        {kComplete, kx::KXA_ANONYMOUS, 0}, {kComplete + "admin.user.name=a\n", kx::KXA_ADMIN, 0},
        {kComplete, kx::KXA_ADMIN, -1}};
    for (const char *key : {"server.name", "server.port", "subtree", "dstatus", "ustatus"})
        cases.emplace_back(std::string(kComplete).insert(kComplete.find(key), "#"),
                           kx::KXA_ANONYMOUS, -1);
    for (const auto &[file, mode, expected] : cases) {
        Record rec = read(root, file);
        rec->openMode = mode;
        EXPECT_EQ(kx::check_kxa(rec.get()), expected) << file;
        if (expected == 0)
            continue;
        conn = reinterpret_cast<kx::kxa *>(1);  // refused before port 1 is tried
        EXPECT_EQ(kx::kx_openDsConnection(mode, nullptr, nullptr, nullptr, nullptr, &conn), -1);
        EXPECT_EQ(conn, nullptr) << file;
    }
    EXPECT_EQ(kx::check_kxa(nullptr), -1);

    // With the file: the first value of a key.
    read(root, kComplete + "admin.subtree=o=second\n  # admin.subtree=o=hash\n");
    EXPECT_EQ(owned(kx::get_kxadmin_info("admin.subtree")), "o=kx");  // the first one
    EXPECT_EQ(owned(kx::get_kxadmin_info("# admin.subtree")), "o=hash");
    EXPECT_EQ(kx::get_kxadmin_info("admin.user.name"), nullptr);
    EXPECT_EQ(kx::get_kxadmin_info(nullptr), nullptr);
    EXPECT_EQ(kx::kx_DSConfigured(&found), 0);
    EXPECT_EQ(owned(found), missing);

    // Credentials: contents (nullptr: no file), then the password and the error.
    const std::pair<const char *, std::string> credentials[] = {
        {"  frperg\t\nsecond line\n", "secret 0"}, {"", "<null> -1"}, {" \t\n", "<null> -1"},
        {nullptr, "<null> " + std::to_string(KX_ENOENT)}};
    for (const auto &[contents, expected] : credentials) {
        std::string file = contents ? root.write("/etc/opt/ZARNkx/kxadmin.pw", contents, 0600)
                                    : root.at("/none");
        int error = 99;
        std::string password = owned(kx::read_passwd_file(file.c_str(), &error));
        EXPECT_EQ(password + " " + std::to_string(error), expected);
    }
}

}  // namespace
