// The handle's life cycle, the product root and what it must satisfy, files
// planted under it, and the diagnostics.
#include "diagnostics_capture.h"
#include "kxsdesktop.h"
#include "kxsinit.h"
#include "kxssystem.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

using kxtest::DiagnosticsCapture;
using kxtest::Handle;
using kxtest::TestRoot;

namespace
{

constexpr uid_t kOtherUser = 65534;
constexpr const char *kServices = "/etc/opt/ZARNkx/kxsservices.cfg";

TEST(Handle, LifeCycleFollowsTheProductFiles)
{
    TestRoot root;
    DiagnosticsCapture diag;
    EXPECT_EQ(kxs_init(), nullptr); // no services file
    EXPECT_TRUE(diag.has("kxs_init(): kxs_initServices failed\n"));

    root.write(kServices, "");
    Handle bare(kxs_init()); // no package record: no install root, still a handle
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->packageRoot, nullptr);
    EXPECT_EQ(bare->adminMode, 1);

    root.lay_out_minimal_product();
    root.write("/etc/opt/ZARNkx/kxadmin.conf", "admin.server.name=localhost\n");
    Handle h(kxs_init());
    ASSERT_NE(h, nullptr);
    char name[128] = {};
    gethostname(name, sizeof name - 1);
    EXPECT_STREQ(h->hostname, name);
    EXPECT_EQ(std::string(h->packageRoot), root.at("/opt"));
    EXPECT_EQ(h->adminMode, 16);
    EXPECT_EQ(h->connection, nullptr); // the configuration is incomplete
    EXPECT_TRUE(diag.has("kxs_init(): Could not connect to admin server\n"));
    kxs_freeHandle(nullptr);
}

// ---- the root ------------------------------------------------------------------

struct RootCase {
    const char *what;
    std::function<std::string(const TestRoot &)> prepare; // the directory offered
    int32_t result;
    const char *diagnostic; // nullptr: none
};
constexpr const char *kNoDir = "refused: not an absolute path to a directory";

std::string own_dir(const TestRoot &root, const char *dir, uid_t owner, mode_t mode)
{
    root.make_dir(dir);
    EXPECT_EQ(chown(root.at(dir).c_str(), owner, 0), 0);
    EXPECT_EQ(chmod(root.at(dir).c_str(), mode), 0);
    return root.at(dir);
}

TEST(Root, OnlyATrustedDirectoryIsAccepted)
{
    const RootCase cases[] = {
        {"relative", [](const TestRoot &) { return std::string("relative/dir"); }, -1, kNoDir},
        {"missing", [](const TestRoot &r) { return r.at("/missing"); }, -1, kNoDir},
        {"plain file", [](const TestRoot &r) { return r.write("/file", "x"); }, -1, kNoDir},
        {"another user's", [](const TestRoot &r) { return own_dir(r, "/o", kOtherUser, 0755); }, -1,
         "is owned by another user"},
        {"group-writable", [](const TestRoot &r) { return own_dir(r, "/g", 0, 0775); }, -1,
         "is writable by group or others"},
        {"world-writable, sticky", [](const TestRoot &r) { return own_dir(r, "/s", 0, 01777); }, 0,
         nullptr},
        {"below another user's",
         [](const TestRoot &r) {
             own_dir(r, "/p/inner", 0, 0755);
             return own_dir(r, "/p", kOtherUser, 0755) + "/inner";
         },
         -1, "/p is owned by another user"},
        {"another user's product directory",
         [](const TestRoot &r) {
             own_dir(r, "/q/var/opt/ZARNkx/snmp", kOtherUser, 0755);
             return r.at("/q");
         },
         -1, "/q/var/opt/ZARNkx/snmp is owned by another user"},
        {"trailing slash", [](const TestRoot &r) { return r.path() + "/"; }, 0, nullptr},
    };
    for (const auto &c : cases) {
        TestRoot root;
        DiagnosticsCapture diag;
        std::string dir = c.prepare(root);
        EXPECT_EQ(kxs_setRoot(dir.c_str()), c.result) << c.what;
        EXPECT_TRUE(c.diagnostic ? diag.contains(c.diagnostic) : diag.lines().empty())
            << c.what << ": " << diag.all();
        if (c.result != 0) {
            EXPECT_EQ(kx::root(), root.path()) << c.what; // unchanged
        }
    }
    EXPECT_EQ(kxs_setRoot(nullptr), 0);
    EXPECT_EQ(kx::product_path("/etc/x"), "/etc/x");
}

// ---- files planted under a trusted root -----------------------------------------------

struct PlantedCase {
    const char *what;
    std::function<void(const TestRoot &)> plant;
    bool handle; // whether kxs_init still gives one
    const char *diagnostic;
    std::function<void(const TestRoot &, KXSHandle *)> check;
};

TEST(Root, PlantedFilesAreRefusedPromptly)
{
    auto link = [](const char *target, const TestRoot &r, const char *at) {
        ASSERT_EQ(symlink(target, r.at(at).c_str()), 0);
    };
    const PlantedCase cases[] = {
        {"services file linked to /dev/zero",
         [&](const TestRoot &r) {
             unlink(r.at(kServices).c_str());
             link("/dev/zero", r, kServices);
         },
         false, "kxsservices.cfg refused: it is a symbolic link", nullptr},
        {"services file over its cap",
         [](const TestRoot &r) { r.write(kServices, std::string(kx::kConfigFileMax + 1, '#')); },
         false, "kxsservices.cfg refused: longer than 1048576 bytes", nullptr},
        {"product directory of another user",
         [](const TestRoot &r) { own_dir(r, "/etc/opt/ZARNkx", kOtherUser, 0755); }, false,
         "ZARNkx is owned by another user", nullptr},
        {"contact file a FIFO",
         [](const TestRoot &r) { mkfifo(r.at(kx::kContactPath).c_str(), 0644); }, true,
         "kxssyscontact.data refused: not a regular file",
         [](const TestRoot &, KXSHandle *h) { EXPECT_EQ(h->contact, nullptr); }},
        {"package record a FIFO",
         [](const TestRoot &r) {
             unlink(r.at("/var/sadm/pkg/ZARNkxo/pkginfo").c_str());
             mkfifo(r.at("/var/sadm/pkg/ZARNkxo/pkginfo").c_str(), 0644);
         },
         true, "pkginfo refused: not a regular file",
         [](const TestRoot &, KXSHandle *h) { EXPECT_EQ(h->packageRoot, nullptr); }},
        {"administration configuration a link",
         [&](const TestRoot &r) {
             r.write("/elsewhere.conf", "admin.server.name=x\n");
             link(r.at("/elsewhere.conf").c_str(), r, "/etc/opt/ZARNkx/kxadmin.conf");
         },
         true, "kxadmin.conf refused: it is a symbolic link",
         [](const TestRoot &, KXSHandle *h) { EXPECT_EQ(h->adminMode, 1); }},
        {"monitored table a link",
         [&](const TestRoot &r) {
             r.write("/elsewhere", "T1\n");
             link(r.at("/elsewhere").c_str(), r, kx::kMonitoredPath);
         },
         true, "kxsmonitoreddtus.data refused: it is a symbolic link",
         [](const TestRoot &r, KXSHandle *h) {
             EXPECT_EQ(h->numMonitoredDTUs, 0);
             EXPECT_EQ(kxs_addDTUMonitored(h, "T2"), -1); // never written through the link
             EXPECT_EQ(r.read("/elsewhere"), "T1\n");
         }},
    };
    for (const auto &c : cases) {
        TestRoot root;
        root.lay_out_minimal_product();
        c.plant(root);
        DiagnosticsCapture diag;
        auto start = std::chrono::steady_clock::now();
        Handle h(kxs_init());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.what;
        EXPECT_EQ(h != nullptr, c.handle) << c.what;
        EXPECT_TRUE(diag.contains(c.diagnostic)) << c.what << ": " << diag.all();
        if (h && c.check)
            c.check(root, h.get());
    }
}

// ---- diagnostics -------------------------------------------------------------

class Diagnostics : public ::testing::Test
{
protected:
    void TearDown() override { kx::set_gdebug(nullptr); }
    DiagnosticsCapture diag;
};

TEST_F(Diagnostics, DebugCategoriesFollowTheOptionString)
{
    const struct {
        const char *options, *category;
        int on;
    } cases[] = {
        {nullptr, "s", 0}, {nullptr, " ", 0}, {"*", "s", 1},  {"*", "", 1},   {"abs", "s", 1},
        {"abs", "xs", 1},  {"abs", " ", 1},   {"abs", "", 0}, {"ab", "s", 0},
    };
    for (const auto &c : cases) {
        kx::set_gdebug(c.options);
        EXPECT_EQ(kx::gdebug(c.category), c.on)
            << (c.options ? c.options : "(none)") << " " << c.category;
    }
}

TEST_F(Diagnostics, ChannelsUseTheirPrioritiesAndAreCutNotOverrun)
{
    kx::dlprintf("s", "traced %s\n", "x"); // category off: nothing
    kx::set_gdebug("s");
    diag.clear();
    std::string big(5000, 'x');
    kx::dprintf("%s", big.c_str());
    kx::dlprintf("s", "traced %s\n", "x");
    kx::log_admin("tag", "%s", big.c_str());
    ASSERT_EQ(diag.lines().size(), 3u);
    EXPECT_EQ(diag.lines()[0].text, std::string(1023, 'x'));
    EXPECT_EQ(diag.lines()[1].priority, LOG_INFO);
    EXPECT_EQ(diag.lines()[1].text, "(s) traced x\n");
    EXPECT_EQ(diag.lines()[2].priority, LOG_LOCAL1 | LOG_INFO);
    EXPECT_EQ(diag.lines()[2].text, "tag : " + std::string(1023, 'x'));
}

// ---- the install root ----------------------------------------------------------

TEST(PackageRoot, ComesFromThePackageRecordAndFitsOneRead)
{
    TestRoot root;
    DiagnosticsCapture diag;
    std::string base = "/" + std::string(125 - root.path().size(), 'b');
    root.write("/var/sadm/pkg/P126/pkginfo", "PKG=P126\nBASEDIR=" + base + "\n");
    root.write("/var/sadm/pkg/P127/pkginfo", "BASEDIR=" + base + "c\n");
    char *fits = kx::get_package_root("P126");
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(std::string(fits), root.at(base));
    free(fits);
    for (const char *refused : {"P127", "NOPKG", "../P126"})
        EXPECT_EQ(kx::get_package_root(refused), nullptr) << refused;
    EXPECT_TRUE(diag.has("get_package_root(): Got unexpected data from pkginfo\n"));
}

} // namespace
