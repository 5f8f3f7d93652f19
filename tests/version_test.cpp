// Version from the package record, patches from the product's patch lister.
#include "kxsinit.h"
#include "kxssystem.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using kxtest::TestRoot;

namespace {

constexpr const char *kRecord = "/var/sadm/pkg/ZARNkxo/pkginfo";
constexpr const char *kLister = "/opt/ZARNkx/lib/kxspatches";

std::string text(const char *value)
{
    return value ? value : "<null>";
}

using kxtest::owned;

TEST(Version, ComesFromThePackageRecordOrTheToolsLines)
{
    struct Case {
        const char *record, *expected;
    } const cases[] = {
        {"PKG=ZARNkxo\nVERSION=4.2,REV=2026.11.20\nINSTDATE=Nov 21 2026 14:31\nBASEDIR=/opt\n",
         "4.2,REV=2026.11.20|Nov 21 2026 14:31"},  // the time of day kept whole
        {"PKG=ZARNkxo\nBASEDIR=/opt\n", "<none>"},  // installed, but the record holds neither
        {"VERSION=3.1\n", "3.1|<null>"},
    };
    for (const Case &c : cases) {
        TestRoot root;
        root.write(kRecord, c.record);
        KXSVersion *v = kxs_version(nullptr);
        EXPECT_EQ(v ? text(v->version) + "|" + text(v->installDate) : "<none>", c.expected);
        kxs_freeVersion(nullptr, v);
    }
    // The package tool's lines, parsed by their first colon.
    auto parse = [](const char *output) {
        char *v, *d;
        kx::parse_package_info(output, &v, &d);
        return owned(v) + "|" + owned(d);
    };
    EXPECT_EQ(parse("  version :  3.1  \n"), "3.1|<null>");
    EXPECT_EQ(parse("VERSION:\nINSTDATE: 14:31:07\n"), "<null>|14:31:07");
    EXPECT_EQ(parse("VERSION: 1\nVERSION: 2\n"), "2|<null>");
    EXPECT_EQ(parse(" : 9\nno colon\nVERSION 5\n"), "<null>|<null>");
}

TEST(Patches, ListerOutputAndExitCodeDecide)
{
    std::string many, manyJoined;
    for (int i = 0; i < 300; ++i)
        many += "print p" + std::to_string(i) + "\n", manyJoined += "p" + std::to_string(i) + ", ";
    struct Case {
        std::string name, lister, expected;
    } const cases[] = {
        {"lines joined in order", "print 128711-02\nprint 128712-01\nprint -n 129004-05\n",
         "128711-02, 128712-01, 129004-05"},
        {"the lookup key as argument", "print \"key=$1\"\n", "key=kestrel"},
        {"many and long lines", many + "print " + std::string(400, 'L') + "\n",
         manyJoined + std::string(400, 'L')},
        {"no output", "exit 0\n", ""},
        {"failing lister", "print 1234-01\nexit 1\n", "<null>"},
        {"no lister", "", "<null>"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TestRoot root;  // under a directory whose name must stay one word for the shell
        const std::string odd = "/it's a $(root)";
        root.write(odd + kRecord, "PKG=ZARNkxo\nBASEDIR=/opt\nVERSION=1\n");
        if (!c.lister.empty())
            root.write(odd + kLister, "#!/bin/ksh\n" + c.lister, 0755);
        ASSERT_EQ(kx::set_root(root.at(odd).c_str()), 0);
        EXPECT_EQ(owned(kx::getPatches(nullptr)), c.expected);
        EXPECT_EQ(owned(kxs_patches(nullptr)), c.expected == "<null>" ? "" : c.expected);
    }
}

}  // namespace
