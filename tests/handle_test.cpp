// The handle's life cycle, the administration mode, the diagnostics and the
// package-root query.
#include "diagnostics_capture.h"
#include "kxsinit.h"
#include "kxsutil.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>
#include <syslog.h>

using kxtest::DiagnosticsCapture;
using kxtest::TestRoot;

namespace {

using kxtest::Handle;

TEST(Handle, NoServicesFileMeansNoHandle)
{
    TestRoot root;
    DiagnosticsCapture diag;
    EXPECT_EQ(kxs_init(), nullptr);
    EXPECT_TRUE(diag.has("kxs_initServices(): Could not open file " +
                         root.at("/etc/opt/ZARNkx/kxsservices.cfg") + "\n"));
    EXPECT_TRUE(diag.has("kxs_init(): kxs_initServices failed\n"));
}

TEST(Handle, EmptyServicesFileGivesHandleWithHostAndRoot)
{
    TestRoot root;
    root.lay_out_minimal_product();
    Handle h(kxs_init());
    ASSERT_NE(h, nullptr);
    char name[128] = {};
    gethostname(name, sizeof name - 1);
    EXPECT_STREQ(h->hostname, name);
    ASSERT_NE(h->packageRoot, nullptr);
    EXPECT_EQ(std::string(h->packageRoot), root.at("/opt"));
    EXPECT_EQ(h->services, nullptr);
    EXPECT_EQ(h->connection, nullptr);
    EXPECT_EQ(h->numMonitoredDTUs, 0);
}

TEST(Handle, MissingPackageLeavesRootEmptyButInitSucceeds)
{
    TestRoot root;
    root.write("/etc/opt/ZARNkx/kxsservices.cfg", "");
    DiagnosticsCapture diag;
    Handle h(kxs_init());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->packageRoot, nullptr);
    EXPECT_TRUE(diag.has("kxs_init(): get_package_root failed\n"));
}

TEST(Handle, AdministrationModeFollowsTheConfigurationFile)
{
    TestRoot root;
    root.lay_out_minimal_product();
    DiagnosticsCapture diag;
    {
        Handle h(kxs_init());
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->adminMode, 1);
        EXPECT_EQ(h->connection, nullptr);
    }
    EXPECT_FALSE(diag.contains("Could not connect to admin server"));
    // An incomplete configuration: administration mode, but no connection.
    root.write("/etc/opt/ZARNkx/kxadmin.conf", "admin.server.name=localhost\n");
    {
        Handle h(kxs_init());
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->adminMode, 16);
        EXPECT_EQ(h->connection, nullptr);
        EXPECT_EQ(kx::kxs_checkAdminMode(h.get()), 1);
    }
    EXPECT_TRUE(diag.has("kxs_init(): Could not connect to admin server\n"));
}

TEST(Handle, FreeAcceptsNull)
{
    kxs_freeHandle(nullptr);
}

TEST(Handle, RootMustBeAnAbsoluteExistingDirectory)
{
    TestRoot root;
    EXPECT_EQ(kxs_setRoot("relative/dir"), -1);
    EXPECT_EQ(kxs_setRoot((root.path() + "/missing").c_str()), -1);
    root.write("/plain-file", "x");
    EXPECT_EQ(kxs_setRoot(root.at("/plain-file").c_str()), -1);
    EXPECT_EQ(kx::root(), root.path());  // unchanged by the refusals
    EXPECT_EQ(kxs_setRoot((root.path() + "/").c_str()), 0);
    EXPECT_EQ(kx::product_path("/etc/x"), root.path() + "/etc/x");
    EXPECT_EQ(kxs_setRoot(nullptr), 0);
    EXPECT_EQ(kx::product_path("/etc/x"), "/etc/x");
}

// ---- diagnostics -------------------------------------------------------------

class Diagnostics : public ::testing::Test {
protected:
    void TearDown() override { kx::set_gdebug(nullptr); }
    DiagnosticsCapture diag;
};

TEST_F(Diagnostics, DebugCategoriesFollowTheOptionString)
{
    EXPECT_EQ(kx::gdebug("s"), 0);
    EXPECT_EQ(kx::gdebug(" "), 0);
    kx::set_gdebug("*");
    EXPECT_EQ(kx::gdebug("s"), 1);
    EXPECT_EQ(kx::gdebug(""), 1);
    kx::set_gdebug("abs");
    EXPECT_EQ(kx::gdebug("s"), 1);
    EXPECT_EQ(kx::gdebug("xs"), 1);
    EXPECT_EQ(kx::gdebug(" "), 1);
    EXPECT_EQ(kx::gdebug(""), 0);
    kx::set_gdebug("ab");
    EXPECT_EQ(kx::gdebug("s"), 0);
    kx::set_gdebug(nullptr);
    EXPECT_EQ(kx::gdebug("a"), 0);
}

TEST_F(Diagnostics, SettingOptionsAnnouncesThem)
{
    kx::set_gdebug("bs");
    ASSERT_EQ(diag.lines().size(), 2u);
    EXPECT_EQ(diag.lines()[0].text, " \n");
    EXPECT_EQ(diag.lines()[1].text, "running with debug options |bs|\n");
    diag.clear();
    kx::set_gdebug(nullptr);
    EXPECT_TRUE(diag.lines().empty());
}

TEST_F(Diagnostics, ChannelsUseTheirPrioritiesAndFormats)
{
    kx::dprintf("plain %d\n", 7);
    kx::dlprintf("s", "traced %s\n", "x");  // category off: nothing
    kx::set_gdebug("s");
    diag.clear();
    kx::dlprintf("s", "traced %s\n", "x");
    kx::log_admin("socket", "Error connecting - %s.", "refused");
    ASSERT_EQ(diag.lines().size(), 2u);
    EXPECT_EQ(diag.lines()[0].priority, LOG_INFO);
    EXPECT_EQ(diag.lines()[0].text, "(s) traced x\n");
    EXPECT_EQ(diag.lines()[1].priority, 142);
    EXPECT_EQ(diag.lines()[1].text, "socket : Error connecting - refused.");
}

TEST_F(Diagnostics, LongMessagesAreCutNotOverrun)
{
    std::string big(5000, 'x');
    kx::dprintf("%s", big.c_str());
    kx::set_gdebug("*");
    kx::dlprintf("s", "%s", big.c_str());
    kx::log_admin("tag", "%s", big.c_str());
    const auto &lines = diag.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front().text, std::string(1023, 'x'));
    EXPECT_EQ(lines[lines.size() - 2].text, "(s) " + std::string(1023, 'x'));
    EXPECT_EQ(lines.back().text, "tag : " + std::string(1023, 'x'));
}

// ---- the install root ----------------------------------------------------------

TEST(PackageRoot, ComesFromThePackageRecord)
{
    TestRoot root;
    DiagnosticsCapture diag;
    root.write("/var/sadm/pkg/ZARNkxo/pkginfo", "PKG=ZARNkxo\nBASEDIR=/opt/base\n");
    char *found = kx::get_package_root("ZARNkxo");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::string(found), root.at("/opt/base"));
    free(found);

    EXPECT_EQ(kx::get_package_root("NOPKG"), nullptr);
    EXPECT_TRUE(diag.has("get_package_root(): Got unexpected data from pkginfo\n"));
    EXPECT_EQ(kx::get_package_root("../ZARNkxo"), nullptr);
}

TEST(PackageRoot, RootOf127CharactersOrMoreIsRefused)
{
    TestRoot root;
    DiagnosticsCapture diag;
    std::string base = "/" + std::string(125 - root.path().size(), 'b');
    root.write("/var/sadm/pkg/P126/pkginfo", "BASEDIR=" + base + "\n");
    root.write("/var/sadm/pkg/P127/pkginfo", "BASEDIR=" + base + "c\n");
    char *fits = kx::get_package_root("P126");
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(strlen(fits), 126u);
    free(fits);
    EXPECT_EQ(kx::get_package_root("P127"), nullptr);
    EXPECT_TRUE(diag.has("get_package_root(): Got unexpected data from pkginfo\n"));
}

TEST(PackageRoot, FgetsSplittingOfToolOutput)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(kx::split_as_fgets("", 8), V{});
    EXPECT_EQ(kx::split_as_fgets("ab\ncd", 8), (V{"ab\n", "cd"}));
    EXPECT_EQ(kx::split_as_fgets("abcdefghij\n", 8), (V{"abcdefg", "hij\n"}));
}

}  // namespace
