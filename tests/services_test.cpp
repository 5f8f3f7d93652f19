// The services file: blocks, keywords, diagnostics and the services array.
#include "diagnostics_capture.h"
#include "kxsinit.h"
#include "kxsservices.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace std::string_literals;

namespace {

// The services of `h` in file order, each with the fields that are set.
std::string describe(const kx::Handle &h)
{
    std::string out;
    for (const auto &v : h.services) {
        out += (out.empty() ? "" : "; ") + std::string(v->name);
        const std::pair<const char *, const char *> texts[] = {
            {"proc", v->procname != v->name ? v->procname : nullptr}, {"arg", v->argexp},
            {"net", v->netname}, {"conf", v->adminconf}, {"cmd", v->netcommand},
            {"desc", v->description}};
        for (const auto &[tag, value] : texts)
            out += value ? std::string(" ") + tag + "=" + value : "";
        out += v->port ? " port=" + std::to_string(v->port) : "";
        out += v->flags == KXS_SVC_CRITICAL ? " critical" : v->flags ? " flags?" : "";
        out += v->check == kx::_check_dtlogin ? " dtlogin" : v->check ? " kxscreventd" : "";
        out += v->state != KXS_SVC_UNKNOWN || v->instances ? " state?" : "";
    }
    return out;
}

TEST(Services, FileIsReadBlockByBlock)
{
    const std::string longValue(588, 'd');  // "description=" and these: two pieces
    std::string many, manyNames;  // past the first sizes of the array
    for (int i = 1; i <= 40; ++i) {
        many += "begin\nname=s" + std::to_string(i) + "\nend\n";
        manyNames += (i > 1 ? "; s" : "s") + std::to_string(i);
    }
    const struct {
        std::string file, services;
        std::vector<std::string> diagnostics;  // a part of each line, in order
    } cases[] = {
        {"", "", {}},
        {"# nothing\n\n#begin\n", "", {}},
        {"begin\nName = kxauthd\nPROCNAME=kxauthd.bin\nargexp=-d 7010\nnetname=kxauthd-cb\n"
         "adminconf=admin.auth.port\ncheck=KXSCREVENTD\nport=7010x\ncritical=TRUE\n"
         "netcommand=status\ndescription=Auth = manager\nend\n",
         "kxauthd proc=kxauthd.bin arg=-d 7010 net=kxauthd-cb conf=admin.auth.port cmd=status "
         "desc=Auth = manager port=7010 critical kxscreventd", {}},
        {"begin\nname=a\nname=b\ncritical=true\ncritical=false\nport=1\nport=2\nport=abc\n"
         "port=99999999999\nend\n", "b port=2147483647 critical", {}},
        {"begin\nname=x\nColour=red\ncheck=DTLOGIN\ncheck=bogus\nnoequals\n=novalue\ncritical=yes\n"
         "critical=\nend\n", "x dtlogin", {"\"Colour\" at line 3", "\"bogus\" at line 5"}},
        {"name=first\nend\n# c\n begin\nname=x\nend\n", "first; x",
         {"\"begin\" missing before line 1", "\"begin\" missing before line 4"}},
        {"begin\nport=5\nend\nbegin\nport=6\nbegin\nname=one\nbegin\nname=two\nend\nend\n"
         "begin\nname=last\n", "one; two; last",
         {"\"end\" missing before line 8", "\"end\" missing at end"}},
        {"begin\r\nname=a\r\nport=7\r\nend\r\n", "a\r port=7",
         {"\"begin\" missing before line 1", "\"end\" missing at end"}},
        {"begin\nname=x\ndescription=" + longValue + "\nbogus=1\nend\n",
         "x desc=" + longValue.substr(0, 499), {"\"bogus\" at line 5"}},
        {"begin\nname=n\0ul\nport=3\nend\n"s, "n port=3", {}},
        {many, manyNames, {}},
    };
    kxtest::TestRoot root;
    for (const auto &c : cases) {
        root.write(kx::kServicesPath, c.file);
        kxtest::DiagnosticsCapture diag;
        kx::Handle handle;
        EXPECT_EQ(kx::kxs_initServices(&handle), 1) << c.file;
        EXPECT_EQ(describe(handle), c.services) << c.file;
        ASSERT_EQ(diag.lines().size(), c.diagnostics.size()) << c.file << diag.all();
        for (std::size_t i = 0; i < c.diagnostics.size(); ++i)
            EXPECT_NE(diag.lines()[i].text.find(c.diagnostics[i]), std::string::npos) << diag.all();
        kx::kxs_freeServices(&handle);
    }
    std::filesystem::remove(root.at(kx::kServicesPath));
    kx::Handle handle;
    EXPECT_EQ(kx::kxs_initServices(&handle), 0);
}

}  // namespace
