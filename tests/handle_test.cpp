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
#include <cstring>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

using kxtest::DiagnosticsCapture;
using kxtest::Handle;
using kxtest::TestRoot;

namespace {

constexpr uid_t kOtherUser = 65534;
constexpr const char *kServices = "/etc/opt/ZARNkx/kxsservices.cfg";

TEST(Handle, LifeCycleAndInstallRootFollowTheProductFiles)
{
    TestRoot root;
    DiagnosticsCapture diag;
    EXPECT_EQ(kxs_init(), nullptr);  // no services file
    root.lay_out_minimal_product();
    root.write("/etc/opt/ZARNkx/kxadmin.conf", "admin.server.name=localhost\n");
    Handle h(kxs_init());
    ASSERT_NE(h, nullptr);
    char name[128] = {};
    gethostname(name, sizeof name - 1);
    EXPECT_EQ(h->rep.hostname, name);
    EXPECT_EQ(h->rep.packageRoot, root.at("/opt"));
    EXPECT_EQ(h->rep.adminMode, 16);
    EXPECT_EQ(h->rep.connection, nullptr);  // the configuration is incomplete
    kxs_freeHandle(nullptr);

    // An install root that fits one read of the record; no other package's.
    std::string base = "/" + std::string(125 - root.path().size(), 'b');
    root.write("/var/sadm/pkg/P126/pkginfo", "PKG=P126\nBASEDIR=" + base + "\n");
    root.write("/var/sadm/pkg/P127/pkginfo", "BASEDIR=" + base + "c\n");
    EXPECT_EQ(kxtest::owned(kx::get_package_root("P126")), root.at(base));
    for (const char *refused : {"P127", "NOPKG", "../P126"})
        EXPECT_EQ(kx::get_package_root(refused), nullptr) << refused;
}

// Makes `dir` under the root (and `offered` below it) with this owner and mode.
void make_dir(const TestRoot &root, const char *dir, const char *offered, uid_t owner, mode_t mode)
{
    root.make_dir(offered);
    root.make_dir(dir);
    ASSERT_EQ(chown(root.at(dir).c_str(), owner, 0), 0);
    ASSERT_EQ(chmod(root.at(dir).c_str(), mode), 0);
}

TEST(Root, OnlyATrustedDirectoryIsAccepted)
{
    const struct {
        const char *made;  // made with `owner` and `mode` before `offered` is set
        uid_t owner;
        mode_t mode;
        const char *offered;  // under the test root when absolute
        int32_t result;
    } cases[] = {
        {nullptr, 0, 0, "relative/dir", -1},
        {nullptr, 0, 0, "/missing", -1},
        {"/o", kOtherUser, 0755, "/o", -1},
        {"/g", 0, 0775, "/g", -1},
        {"/s", 0, 01777, "/s", 0},  // sticky: others cannot replace what is in it
        {"/p", kOtherUser, 0755, "/p/inner", -1},  // a directory above counts too
        {"/q/var/opt/ZARNkx/snmp", kOtherUser, 0755, "/q", -1},  // and the one written to
        {nullptr, 0, 0, "/", 0},
    };
    for (const auto &c : cases) {
        TestRoot root;
        if (c.made)
            make_dir(root, c.made, c.offered, c.owner, c.mode);
        std::string dir = c.offered[0] == '/' ? root.at(c.offered) : c.offered;
        DiagnosticsCapture quiet;
        EXPECT_EQ(kxs_setRoot(dir.c_str()), c.result) << dir;
        EXPECT_EQ(kx::root(),
                  c.result == 0 ? dir.substr(0, dir.find_last_not_of('/') + 1) : root.path());
    }
    EXPECT_EQ(kxs_setRoot(nullptr), 0);
    EXPECT_EQ(kx::product_path("/etc/x"), "/etc/x");
}

enum class Plant { Link, Fifo, Oversized, ForeignDirectory };

void plant(const TestRoot &root, Plant what, const char *at)
{
    std::string path = root.at(at);
    unlink(path.c_str());
    if (what == Plant::Link) {
        ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0);  // endless if followed
    } else if (what == Plant::Fifo) {
        ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    } else if (what == Plant::Oversized) {
        root.write(at, std::string(kx::kConfigFileMax + 1, '#'));
    } else {
        make_dir(root, at, at, kOtherUser, 0755);
    }
}

TEST(Root, PlantedFilesAreRefusedPromptly)
{
    const struct {
        Plant what;
        const char *at;
        bool handle;  // whether kxs_init still gives one
        const char *diagnostic;
    } cases[] = {
        {Plant::Link, kServices, false, "kxsservices.cfg refused: it is a symbolic link"},
        {Plant::Oversized, kServices, false, "kxsservices.cfg refused: longer than 1048576 bytes"},
        {Plant::ForeignDirectory, "/etc/opt/ZARNkx", false, "ZARNkx is owned by another user"},
        {Plant::Fifo, kx::kContactPath, true, "kxssyscontact.data refused: not a regular file"},
        {Plant::Fifo, "/var/sadm/pkg/ZARNkxo/pkginfo", true, "pkginfo refused: not a regular file"},
        {Plant::Link, "/etc/opt/ZARNkx/kxadmin.conf", true,
         "kxadmin.conf refused: it is a symbolic"},
        {Plant::Link, kx::kMonitoredPath, true, "kxsmonitoreddtus.data refused: it is a symbolic"},
    };
    for (const auto &c : cases) {
        TestRoot root;
        root.lay_out_minimal_product();
        plant(root, c.what, c.at);
        DiagnosticsCapture diag;
        auto start = std::chrono::steady_clock::now();
        Handle h(kxs_init());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.at;
        EXPECT_EQ(h != nullptr, c.handle) << c.at;
        EXPECT_TRUE(diag.contains(c.diagnostic)) << c.at << ": " << diag.all();
        if (h) {  // what was refused is as if absent
            EXPECT_FALSE(h->rep.contact);
            EXPECT_EQ(h->rep.adminMode, 1);
            EXPECT_TRUE(h->rep.monitored.empty());
            EXPECT_EQ(h->rep.packageRoot.has_value(), strstr(c.at, "pkginfo") == nullptr) << c.at;
        }
    }
}

// An exception inside an exported function (memory exhausted in a container)
// must become its failure result, told: crossing a noexcept boundary would
// end the host process.
TEST(Diagnostics, CategoriesFollowTheOptionsLinesAreCutAndExceptionsAreTold)
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
    DiagnosticsCapture diag;
    kx::dlprintf("t", "traced\n");  // category off: nothing
    std::string big(5000, 'x');
    kx::dprintf("%s", big.c_str());
    kx::log_admin("tag", "%s", big.c_str());
    kx::set_gdebug(nullptr);
    auto exhausted = []() -> int32_t { throw std::bad_alloc(); };
    EXPECT_EQ(kx::c_boundary("kxs_example", -1, exhausted), -1);
    EXPECT_EQ(kx::c_boundary("kxs_example", -1, [] { return 7; }), 7);
    ASSERT_EQ(diag.lines().size(), 3u) << diag.all();
    EXPECT_EQ(diag.lines()[0].text, std::string(1023, 'x'));
    EXPECT_EQ(diag.lines()[1].priority, LOG_LOCAL1 | LOG_INFO);  // the administration log
    EXPECT_EQ(diag.lines()[1].text, "tag : " + std::string(1023, 'x'));
    EXPECT_TRUE(diag.contains("kxs_example(): failed: memory ran out")) << diag.all();
}

}  // namespace
