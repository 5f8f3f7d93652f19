// Version from the package record, patches from the product's patch lister.
#include "kxsinit.h"
#include "kxssystem.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

constexpr const char *kRecord = "/var/sadm/pkg/ZARNkxo/pkginfo";
constexpr const char *kLister = "/opt/ZARNkx/lib/kxspatches";

using kxtest::owned;

TEST(Version, ComesFromThePackageRecordOrTheToolsLines)
{
    auto text = [](const char *value) { return std::string(value ? value : "<null>"); };
    const std::pair<const char *, const char *> cases[] = {  // the record, what is read of it
        {"PKG=ZARNkxo\nVERSION=4.2,REV=2026.11.20\nINSTDATE=Nov 21 2026 14:31\nBASEDIR=/opt\n",
         "4.2,REV=2026.11.20|Nov 21 2026 14:31"},  // the time of day kept whole
        {"PKG=ZARNkxo\nBASEDIR=/opt\n", "<none>"},  // installed, but the record holds neither
        {"VERSION=3.1\n", "3.1|<null>"},
    };
    for (const auto &[record, expected] : cases) {
        kxtest::TestRoot root;
        root.write(kRecord, record);
        KXSVersion *v = kxs_version(nullptr);
        EXPECT_EQ(v ? text(v->version) + "|" + text(v->installDate) : "<none>", expected);
        kxs_freeVersion(nullptr, v);
    }
    // The package tool's lines, parsed by their first colon.
    auto parse = [](const char *output) {
        char *v = nullptr;
        char *d = nullptr;
        kx::parse_package_info(output, &v, &d);
        return owned(v) + "|" + owned(d);
    };
    EXPECT_EQ(parse("  version :  3.1  \nINSTDATE: 14:31:07\n"), "3.1|14:31:07");
    EXPECT_EQ(parse("VERSION: 1\nVERSION: 2\nINSTDATE:\n : 9\nno colon\nVERSION 5\n"), "2|<null>");
}

TEST(Patches, ListerOutputAndExitCodeDecide)
{
    std::string manyJoined;
    for (int i = 0; i < 300; ++i)
        manyJoined += "p" + std::to_string(i) + ", ";
    const std::string many = "i=0\nwhile [ $i -lt 300 ]; do print p$i; i=$((i + 1)); done\n";
    const std::tuple<std::string, std::string, std::string> cases[] = {  // lister, its patches
        {"many and long lines joined in order, the lookup key as argument",
         many + "print \"key=$1\"\nprint " + std::string(400, 'L') + "\nprint -n 129004-05\n",
         manyJoined + "key=kestrel, " + std::string(400, 'L') + ", 129004-05"},
        {"no output", "exit 0\n", ""},
        {"failing lister", "print 1234-01\nexit 1\n", "<null>"},
        {"no lister", "", "<null>"},
    };
    for (const auto &[name, lister, expected] : cases) {
        SCOPED_TRACE(name);
        kxtest::TestRoot root;  // under a directory whose name must stay one word for the shell
        const std::string odd = "/it's a $(root)";
        root.write(odd + kRecord, "PKG=ZARNkxo\nBASEDIR=/opt\nVERSION=1\n");
        if (!lister.empty())
            root.write(odd + kLister, "#!/bin/ksh\n" + lister, 0755);
        ASSERT_EQ(kx::set_root(root.at(odd).c_str()), 0);
        EXPECT_EQ(owned(kx::getPatches(nullptr)), expected);
        EXPECT_EQ(owned(kxs_patches(nullptr)), expected == "<null>" ? "" : expected);
    }
}

}  // namespace
