// Version from the package record, patches from the product's patch lister.
#include "diagnostics_capture.h"
#include "kxsinit.h"
#include "kxssystem.h"
#include "utils.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <string>

using kxtest::DiagnosticsCapture;
using kxtest::TestRoot;

namespace {

constexpr const char *kRecord = "/var/sadm/pkg/ZARNkxo/pkginfo";
constexpr const char *kLister = "/opt/ZARNkx/lib/kxspatches";

std::string owned(char *text)
{
    std::string out = text ? text : "<null>";
    free(text);
    return out;
}

struct Parsed {
    std::string version, installDate;
};
Parsed parse(const char *output)
{
    char *v, *d;
    kx::parse_package_info(output, &v, &d);
    return {owned(v), owned(d)};
}

TEST(Version, ReadsVersionAndDateFromThePackageRecord)
{
    TestRoot root;
    root.write(kRecord, "PKG=ZARNkxo\nVERSION=4.2,REV=2026.11.20\nINSTDATE=Nov 21 2026 14:31\nBASEDIR=/opt\n");
    KXSVersion *v = kxs_version(nullptr);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v->version, "4.2,REV=2026.11.20");
    EXPECT_STREQ(v->installDate, "Nov 21 2026 14:31");  // time of day kept whole
    kxs_freeVersion(nullptr, v);
    kxs_freeVersion(nullptr, nullptr);
}

TEST(Version, RecordsWithoutTheValuesGiveNothing)
{
    TestRoot root;
    DiagnosticsCapture diag;
    EXPECT_EQ(kxs_version(nullptr), nullptr);  // not installed
    EXPECT_TRUE(diag.has("getPackageInfo(): Got unexpected data from pkginfo for ZARNkxo\n"));

    root.write(kRecord, "PKG=ZARNkxo\nBASEDIR=/opt\n");
    diag.clear();
    EXPECT_EQ(kxs_version(nullptr), nullptr);
    EXPECT_TRUE(diag.has("getPackageInfo(): Got unexpected data from pkginfo for ZARNkxo\n"));

    root.write(kRecord, "VERSION=3.1\n");
    KXSVersion *v = kxs_version(nullptr);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v->version, "3.1");
    EXPECT_EQ(v->installDate, nullptr);
    kxs_freeVersion(nullptr, v);
}

TEST(Version, ToolLinesAreParsedByTheirFirstColon)
{
    EXPECT_EQ(parse("  version :  3.1  \n").version, "3.1");
    EXPECT_EQ(parse("VERSION:\nINSTDATE: x\n").version, "<null>");
    EXPECT_EQ(parse("INSTDATE: 14:31:07\n").installDate, "14:31:07");
    EXPECT_EQ(parse("VERSION: 1\nVERSION: 2\n").version, "2");
    EXPECT_EQ(parse(" : 9\nno colon\nVERSION 5\n").version, "<null>");
}

class Patches : public ::testing::Test {
protected:
    void SetUp() override { root.write(kRecord, "PKG=ZARNkxo\nBASEDIR=/opt\nVERSION=1\n"); }
    void lister(const std::string &body) { root.write(kLister, "#!/bin/ksh\n" + body, 0755); }
    TestRoot root;
};

TEST_F(Patches, LinesAreJoinedInOrder)
{
    lister("print 128711-02\nprint 128712-01\nprint -n 129004-05\n");
    EXPECT_EQ(owned(kxs_patches(nullptr)), "128711-02, 128712-01, 129004-05");
}

TEST_F(Patches, ListerGetsTheLookupKey)
{
    lister("print \"key=$1\"\n");
    EXPECT_EQ(owned(kx::getPatches(nullptr)), "key=kestrel");
}

TEST_F(Patches, ManyAndLongLinesAreJoinedWithoutLoss)
{
    lister("i=0\nwhile (( i < 300 )); do print \"patch-$i\"; (( i += 1 )); done\n"
           "print " + std::string(400, 'L') + "\n");
    std::string expected;
    for (int i = 0; i < 300; ++i)
        expected += "patch-" + std::to_string(i) + ", ";
    expected += std::string(400, 'L');
    EXPECT_EQ(owned(kxs_patches(nullptr)), expected);
}

TEST_F(Patches, EmptyOutputIsTheEmptyText)
{
    lister("exit 0\n");
    EXPECT_EQ(owned(kx::getPatches("kestrel")), "");
}

TEST_F(Patches, FailingListerGivesTheEmptyText)
{
    DiagnosticsCapture diag;
    lister("print 1234-01\nexit 1\n");
    EXPECT_EQ(owned(kx::getPatches("kestrel")), "<null>");
    EXPECT_TRUE(diag.has("getPatches(): Could not get patches for kestrel, 1\n"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(owned(kxs_patches(nullptr)), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "kxs_patches: getPatches returned NULL for kestrel\n");
}

TEST_F(Patches, MissingListerOrPackageGivesTheEmptyText)
{
    EXPECT_EQ(owned(kx::getPatches("kestrel")), "<null>");  // ksh: not found, 127
    root.write(kRecord, "VERSION=1\n");                      // no install root
    EXPECT_EQ(owned(kx::getPatches("kestrel")), "<null>");
}

TEST_F(Patches, RootWithShellCharactersStaysOneWord)
{
    // A product root holding blanks and quotes must not break the command.
    TestRoot outer;
    std::string odd = outer.path() + "/it's a $(root)";
    std::filesystem::create_directories(odd + "/var/sadm/pkg/ZARNkxo");
    ASSERT_EQ(kx::set_root(odd.c_str()), 0);
    std::filesystem::create_directories(odd + "/opt/ZARNkx/lib");
    FILE *f = fopen((odd + kRecord).c_str(), "w");
    fputs("BASEDIR=/opt\n", f);
    fclose(f);
    f = fopen((odd + kLister).c_str(), "w");
    fputs("#!/bin/ksh\nprint odd-ok\n", f);
    fclose(f);
    chmod((odd + kLister).c_str(), 0755);
    EXPECT_EQ(owned(kx::getPatches("kestrel")), "odd-ok");
}

}  // namespace
