// The services file: blocks, keywords, diagnostics and the growth of the
// services array.
#include "diagnostics_capture.h"
#include "kxsinit.h"
#include "kxsservices.h"
#include "test_root.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using kxtest::DiagnosticsCapture;
using kxtest::TestRoot;

namespace {

constexpr const char *kServices = "/etc/opt/ZARNkx/kxsservices.cfg";

class Services : public ::testing::Test {
protected:
    void TearDown() override
    {
        kx::kxs_freeServices(&handle);
        kx::set_gdebug(nullptr);
    }
    // Reads `text` as the services file into a fresh handle.
    int load(const std::string &text)
    {
        kx::kxs_freeServices(&handle);
        root.write(kServices, text);
        diag.clear();
        return kx::kxs_initServices(&handle);
    }
    std::vector<KXSService *> services() const
    {
        std::vector<KXSService *> out;
        for (KXSService **s = handle.services; s && *s; ++s)
            out.push_back(*s);
        return out;
    }
    std::string missing(const char *what, int line) const
    {
        return "kxs_initServices(): \"" + std::string(what) + "\" missing before line " +
               std::to_string(line) + "\n";
    }

    TestRoot root;
    DiagnosticsCapture diag;
    KXSHandle handle{};
};

TEST_F(Services, MissingFileFails)
{
    EXPECT_EQ(kx::kxs_initServices(&handle), 0);
    EXPECT_TRUE(diag.has("kxs_initServices(): Could not open file " + root.at(kServices) + "\n"));
}

TEST_F(Services, EmptyAndCommentOnlyFilesHaveNoServices)
{
    EXPECT_EQ(load(""), 1);
    EXPECT_EQ(load("# nothing\n\n#begin\n"), 1);
    EXPECT_EQ(handle.services, nullptr);
    EXPECT_TRUE(diag.lines().empty());
}

TEST_F(Services, BlockFillsEveryField)
{
    ASSERT_EQ(load("begin\n"
                   "Name = kxauthd\n"
                   "PROCNAME=kxauthd.bin\n"
                   "argexp=-d 7010\n"
                   "netname=kxauthd-cb\n"
                   "adminconf=admin.auth.port\n"
                   "check=KXSCREVENTD\n"
                   "port=7010x\n"
                   "critical=TRUE\n"
                   "netcommand=status\n"
                   "description=Auth = manager\n"
                   "end\n"),
              1);
    auto all = services();
    ASSERT_EQ(all.size(), 1u);
    KXSService *s = all[0];
    EXPECT_STREQ(s->name, "kxauthd");
    EXPECT_STREQ(s->procname, "kxauthd.bin");
    EXPECT_STREQ(s->argexp, "-d 7010");
    EXPECT_STREQ(s->netname, "kxauthd-cb");
    EXPECT_STREQ(s->adminconf, "admin.auth.port");
    EXPECT_EQ(s->check, kx::_check_kxscreventd);
    EXPECT_EQ(s->port, 7010);
    EXPECT_EQ(s->flags, KXS_SVC_CRITICAL);
    EXPECT_STREQ(s->netcommand, "status");
    EXPECT_STREQ(s->description, "Auth = manager");
    EXPECT_EQ(s->state, KXS_SVC_UNKNOWN);
    EXPECT_EQ(s->prevState, KXS_SVC_UNKNOWN);
    EXPECT_EQ(s->instances, 0);
    EXPECT_TRUE(diag.lines().empty()) << diag.all();
}

TEST_F(Services, DefaultsAndSharedProcessName)
{
    ASSERT_EQ(load("begin\nname=kxsessiond\nport=abc\ncritical=yes\ncritical=\nend\n"), 1);
    KXSService *s = services().at(0);
    EXPECT_EQ(s->procname, s->name);  // the same string, released once
    EXPECT_EQ(s->argexp, nullptr);
    EXPECT_EQ(s->port, 0);
    EXPECT_EQ(s->flags, 0u);
    EXPECT_EQ(s->check, nullptr);
}

TEST_F(Services, LaterValuesWinButCriticalStays)
{
    ASSERT_EQ(load("begin\nname=a\nname=b\ncritical=true\ncritical=false\nport=1\nport=2\nend\n"), 1);
    KXSService *s = services().at(0);
    EXPECT_STREQ(s->name, "b");
    EXPECT_EQ(s->flags, KXS_SVC_CRITICAL);
    EXPECT_EQ(s->port, 2);
}

TEST_F(Services, InvalidKeywordsAndChecksAreReported)
{
    ASSERT_EQ(load("begin\nname=x\nColour=red\ncheck=DTLOGIN\ncheck=bogus\nnoequals\n=novalue\nend\n"), 1);
    EXPECT_TRUE(diag.has("kxs_initServices(): invalid keyword \"Colour\" at line 3\n"));
    EXPECT_TRUE(diag.has("kxs_initServices(): invalid \"check\" = \"bogus\" at line 5\n"));
    EXPECT_EQ(diag.lines().size(), 2u) << diag.all();
    EXPECT_EQ(services().at(0)->check, kx::_check_dtlogin);  // the bogus value changed nothing
}

TEST_F(Services, KeywordLinesOutsideBlocksOpenOne)
{
    ASSERT_EQ(load("name=first\nend\n"), 1);
    EXPECT_TRUE(diag.has(missing("begin", 1)));
    ASSERT_EQ(services().size(), 1u);

    ASSERT_EQ(load("# c\n begin\nname=x\nend\n"), 1);
    EXPECT_TRUE(diag.has(missing("begin", 2)));  // " begin" is not an opener
    EXPECT_EQ(diag.lines().size(), 1u) << diag.all();
    EXPECT_STREQ(services().at(0)->name, "x");
}

TEST_F(Services, MissingEndIsReportedAndBothBlocksKept)
{
    ASSERT_EQ(load("begin\nname=one\nbegin\nname=two\nend\nend\n"), 1);
    EXPECT_TRUE(diag.has(missing("end", 3)));
    auto all = services();
    ASSERT_EQ(all.size(), 2u);  // the second "end" adds nothing
    EXPECT_STREQ(all[0]->name, "one");
    EXPECT_STREQ(all[1]->name, "two");

    ASSERT_EQ(load("begin\nname=last\n"), 1);
    EXPECT_TRUE(diag.has("kxs_initServices(): \"end\" missing at end of file\n"));
    EXPECT_EQ(services().size(), 1u);
}

TEST_F(Services, NamelessBlocksVanishSilently)
{
    ASSERT_EQ(load("begin\nport=5\nend\nbegin\nport=6\nbegin\nname=kept\nend\n"), 1);
    EXPECT_TRUE(diag.lines().empty()) << diag.all();
    ASSERT_EQ(services().size(), 1u);
    EXPECT_EQ(services()[0]->port, 0);
}

TEST_F(Services, CarriageReturnLinesFormOneImplicitBlock)
{
    ASSERT_EQ(load("begin\r\nname=a\r\nport=7\r\nend\r\n"), 1);
    EXPECT_TRUE(diag.has(missing("begin", 1)));
    EXPECT_TRUE(diag.has("kxs_initServices(): \"end\" missing at end of file\n"));
    auto all = services();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_STREQ(all[0]->name, "a\r");
    EXPECT_EQ(all[0]->port, 7);
}

TEST_F(Services, LongLinesAreReadInPiecesAndCounted)
{
    // 600 characters: a 511-character piece and the rest, two lines.
    std::string longDescription = "description=" + std::string(588, 'd');
    ASSERT_EQ(load("begin\nname=x\n" + longDescription + "\nbogus=1\nend\n"), 1);
    // The second piece is a keyword line without "=": skipped silently.
    EXPECT_TRUE(diag.has("kxs_initServices(): invalid keyword \"bogus\" at line 5\n")) << diag.all();
    EXPECT_EQ(strlen(services().at(0)->description), 511u - 12u);
}

TEST_F(Services, TracesEveryKeywordWhenEnabled)
{
    kx::set_gdebug("s");
    ASSERT_EQ(load("begin\nname=x\nport=\nend\n"), 1);
    EXPECT_TRUE(diag.has("(s) opening " + root.at(kServices) + "\n"));
    EXPECT_TRUE(diag.has("(s) got name |x|\n"));
    EXPECT_TRUE(diag.has("(s) got port |(nil)|\n"));
}

TEST_F(Services, ArrayGrowsByDoublingAndStaysTerminated)
{
    std::string file;
    for (int i = 1; i <= 40; ++i) {
        file += "begin\nname=s" + std::to_string(i) + "\nend\n";
    }
    for (int count : {8, 9, 18, 19, 40}) {
        std::string part;
        for (int i = 1; i <= count; ++i)
            part += "begin\nname=s" + std::to_string(i) + "\nend\n";
        ASSERT_EQ(load(part), 1);
        ASSERT_EQ(services().size(), static_cast<size_t>(count));
        int expected = count < 9 ? 10 : count < 19 ? 20 : count < 39 ? 40 : 80;
        EXPECT_EQ(handle.maxServices, expected) << count;
        EXPECT_LE(count, handle.maxServices - 1);
        EXPECT_EQ(handle.services[count], nullptr);
        EXPECT_STREQ(handle.services[count - 1]->name, ("s" + std::to_string(count)).c_str());
    }
}

TEST_F(Services, AddServiceIgnoresMissingArguments)
{
    kx::kxs_addService(nullptr, "x", nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr);
    kx::kxs_addService(&handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr,
                       nullptr);
    EXPECT_EQ(handle.services, nullptr);
    kx::kxs_freeServices(nullptr);
}

TEST_F(Services, ScreenEventDaemonCheckExcludesTheService)
{
    ASSERT_EQ(load("begin\nname=kxscreventd\ncheck=kxscreventd\nend\n"), 1);
    KXSService *s = services().at(0);
    s->check(&handle, s);
    EXPECT_TRUE(s->flags & KXS_SVC_EXCLUDED);
}

}  // namespace
