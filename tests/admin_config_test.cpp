// The administration configuration grammar and keys, the record check, the
// credentials file and the configuration probe.
#include "admin.h"
#include "diagnostics_capture.h"
#include "kxerrno.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

using kxtest::DiagnosticsCapture;
using kxtest::TestRoot;

namespace {

struct KxaDeleter {
    void operator()(kx::kxa *rec) const { kx::free_kxa(rec); }
};
using Record = std::unique_ptr<kx::kxa, KxaDeleter>;

std::string owned(char *text)
{
    std::string out = text ? text : "<null>";
    free(text);
    return out;
}

const char *kComplete = "admin.server.name=ds.example\n"
                        "admin.server.port=389\n"
                        "admin.subtree=o=kx\n"
                        "admin.dstatus.dbfile=/var/opt/ZARNkx/dstatus\n"
                        "admin.ustatus.dbfile=/var/opt/ZARNkx/ustatus\n";

// Reads `contents` as the configuration file into a new record.
Record read_config(const TestRoot &root, const std::string &contents, int *rc = nullptr)
{
    std::string path = root.write("/etc/opt/ZARNkx/kxadmin.conf", contents);
    Record rec(kx::allocate_kxa());
    int result = kx::read_config_file(rec.get(), path.c_str());
    if (rc)
        *rc = result;
    return rec;
}

class AdminConfig : public ::testing::Test {
protected:
    void SetUp() override { kx::DStimeout = 10; }
    void TearDown() override
    {
        kx::DStimeout = 10;
        kx::set_gdebug(nullptr);
    }
    TestRoot root;
};

TEST_F(AdminConfig, NewRecordIsEmptyWithCramMd5)
{
    Record rec(kx::allocate_kxa());
    EXPECT_EQ(rec->authMech, 1);
    EXPECT_EQ(rec->serverPort, 0);
    EXPECT_EQ(rec->openMode, 0);
    EXPECT_EQ(rec->serverName, nullptr);
    EXPECT_EQ(rec->dsConnection, nullptr);
    kx::free_kxa(nullptr);
}

TEST_F(AdminConfig, EveryKeyLandsInItsField)
{
    int rc = -99;
    Record rec = read_config(root, std::string(kComplete) +
                                       "admin.user.name = cn=admin,o=kx\n"
                                       "admin.defaultlocale=de_DE\n"
                                       "admin.server.timeout=3\n"
                                       "admin.server.authmech=SIMPLE\n"
                                       "admin.debug=ad\n"
                                       "admin.unknown=whatever\n",
                             &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(rec->serverName, "ds.example");
    EXPECT_EQ(rec->serverPort, 389);
    EXPECT_STREQ(rec->subtree, "o=kx");
    EXPECT_STREQ(rec->desktopDbFile, "/var/opt/ZARNkx/dstatus");
    EXPECT_STREQ(rec->userDbFile, "/var/opt/ZARNkx/ustatus");
    EXPECT_STREQ(rec->userName, "cn=admin,o=kx");
    EXPECT_STREQ(rec->defaultLocale, "de_DE");
    EXPECT_EQ(kx::DStimeout, 3);
    EXPECT_EQ(rec->authMech, 0);
    EXPECT_EQ(kx::gdebug("d"), 1);
    EXPECT_EQ(kx::gdebug("s"), 0);
    EXPECT_EQ(kx::check_kxa(rec.get()), 0);
}

TEST_F(AdminConfig, GrammarCornerCases)
{
    Record rec = read_config(root,
                             // spaces around "=": still the port
                             "admin.server.port = 7389 \n"
                             // blank-led "#": a key "# admin.subtree", ignored
                             "  # admin.subtree=o=commented\n"
                             "#admin.server.name=commented\n"
                             // a DN value keeps its own "=" signs
                             "admin.subtree=ou=kx, o=Example Corp,c=DE\n"
                             // empty value: ignored, the earlier value stays
                             "admin.server.name=first\n"
                             "admin.server.name=\n"
                             "no equals sign here\n"
                             "=value without key\n"
                             // duplicate key: the record keeps the last
                             "admin.dstatus.dbfile=/first\n"
                             "admin.dstatus.dbfile=/second\n");
    EXPECT_EQ(rec->serverPort, 7389);
    EXPECT_STREQ(rec->subtree, "ou=kx, o=Example Corp,c=DE");
    EXPECT_STREQ(rec->serverName, "first");
    EXPECT_STREQ(rec->desktopDbFile, "/second");
    // ... while the one-key lookup returns the first.
    EXPECT_EQ(owned(kx::get_kxadmin_info("admin.dstatus.dbfile")), "/first");
    EXPECT_EQ(owned(kx::get_kxadmin_info("# admin.subtree")), "o=commented");
}

TEST_F(AdminConfig, BadNumbersAreIgnoredAndFailTheCheck)
{
    for (const char *port : {"389x", "-389", "+389", "3 89", "99999999999999999999"}) {
        DiagnosticsCapture diag;
        std::string text = std::string(kComplete) + "admin.server.port=" + port + "\n";
        text.replace(text.find("admin.server.port=389\n"), 22, "");
        Record rec = read_config(root, text);
        EXPECT_EQ(rec->serverPort, 0) << port;
        EXPECT_EQ(kx::check_kxa(rec.get()), -1);
        EXPECT_TRUE(diag.has("check_kxa(): kxa - important fields are not filled.\n"));
    }
    read_config(root, "admin.server.timeout=0\n");
    EXPECT_EQ(kx::DStimeout, 0);
    read_config(root, "admin.server.timeout=\nadmin.server.timeout=-5\nadmin.server.timeout=7s\n");
    EXPECT_EQ(kx::DStimeout, 0);
}

TEST_F(AdminConfig, MechanismIsCaseSensitiveAndRejectedOnce)
{
    DiagnosticsCapture diag;
    Record rec = read_config(root, "admin.server.authmech=simple\n");
    EXPECT_EQ(rec->authMech, 1);
    EXPECT_TRUE(diag.has("DSauth=simple"));
    EXPECT_TRUE(diag.has("DSauth ret=-1"));
    EXPECT_TRUE(diag.has("invalid authentication mechanism specified in /etc/opt/ZARNkx/kxadmin.conf"));

    rec = read_config(root, "admin.server.authmech=SIMPLE\nadmin.server.authmech=CRAM_MD5\n");
    EXPECT_EQ(rec->authMech, 1);
    EXPECT_EQ(kx::DSauth(nullptr), 1);
    EXPECT_EQ(kx::DSauth(""), 1);
    EXPECT_EQ(kx::DSauth("SIMPLE"), 0);
    EXPECT_EQ(kx::DSauth("CRAM-MD5"), -1);
}

TEST_F(AdminConfig, UserNameRequiredExceptAnonymous)
{
    DiagnosticsCapture diag;
    Record rec = read_config(root, kComplete);
    rec->openMode = kx::KXA_ANONYMOUS;
    EXPECT_EQ(kx::check_kxa(rec.get()), 0);
    rec->openMode = kx::KXA_ADMIN;
    EXPECT_EQ(kx::check_kxa(rec.get()), -1);
    EXPECT_TRUE(diag.has("check_kxa(): kxa - user fields are not filled.\n"));
    EXPECT_EQ(kx::check_kxa(nullptr), -1);
}

TEST_F(AdminConfig, MissingFileIsAnErrorCode)
{
    DiagnosticsCapture diag;
    Record rec(kx::allocate_kxa());
    std::string path = root.at("/etc/opt/ZARNkx/kxadmin.conf");
    EXPECT_EQ(kx::read_config_file(rec.get(), path.c_str()), KX_ENOENT);
    EXPECT_TRUE(diag.has("read_config_file(): Could not open config file (" + path + "), error 2\n"));
    EXPECT_EQ(kx::get_kxadmin_info("admin.subtree"), nullptr);
    EXPECT_TRUE(diag.has("get_kxadmin_info(): Could not open config file (" + path + ")\n"));
    // An empty file is read, and yields nothing.
    int rc = -99;
    Record empty = read_config(root, "", &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(empty->serverName, nullptr);
}

TEST_F(AdminConfig, LongLineIsReadInPieces)
{
    // A line of more than 511 characters: its tail is read as a line of its
    // own, which here is a setting.
    std::string filler(511 - std::string("admin.defaultlocale=").size(), 'x');
    Record rec = read_config(root, "admin.defaultlocale=" + filler + "admin.subtree=o=tail\n");
    EXPECT_EQ(std::string(rec->defaultLocale), filler);
    EXPECT_STREQ(rec->subtree, "o=tail");
}

TEST_F(AdminConfig, CredentialsFile)
{
    int error = 0;
    std::string path = root.write("/etc/opt/ZARNkx/kxadmin.pw", "  frperg\t\nsecond line\n", 0600);
    EXPECT_EQ(owned(kx::read_passwd_file(path.c_str(), &error)), "secret");
    EXPECT_EQ(error, 0);

    root.write("/etc/opt/ZARNkx/kxadmin.pw", "");
    EXPECT_EQ(kx::read_passwd_file(path.c_str(), &error), nullptr);
    EXPECT_EQ(error, -1);
    root.write("/etc/opt/ZARNkx/kxadmin.pw", " \t\n");
    EXPECT_EQ(kx::read_passwd_file(path.c_str(), &error), nullptr);
    EXPECT_EQ(error, -1);

    std::string missing = root.at("/etc/opt/ZARNkx/none.pw");
    EXPECT_EQ(kx::read_passwd_file(missing.c_str(), &error), nullptr);
    EXPECT_EQ(error, KX_ENOENT);
}

TEST_F(AdminConfig, ConfiguredProbe)
{
    char *path = reinterpret_cast<char *>(1);
    DiagnosticsCapture diag;
    EXPECT_EQ(kx::kx_DSConfigured(&path), KX_ENOENT);
    EXPECT_EQ(path, nullptr);
    EXPECT_TRUE(diag.all().empty());
    root.write("/etc/opt/ZARNkx/kxadmin.conf", kComplete);
    EXPECT_EQ(kx::kx_DSConfigured(&path), 0);
    EXPECT_EQ(owned(path), root.at("/etc/opt/ZARNkx/kxadmin.conf"));
}

TEST_F(AdminConfig, ConfiguredPathsOfTheProductFollowTheRoot)
{
    EXPECT_EQ(kx::configured_path("/var/opt/ZARNkx/dstatus"), root.at("/var/opt/ZARNkx/dstatus"));
    EXPECT_EQ(kx::configured_path("/srv/kx/dstatus"), "/srv/kx/dstatus");
}

}  // namespace
