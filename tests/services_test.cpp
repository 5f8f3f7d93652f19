// The services file: blocks, keywords, diagnostics and the services array.
#include "diagnostics_capture.h"
#include "kxsinit.h"
#include "kxsservices.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <filesystem>

using kxtest::DiagnosticsCapture;
using namespace std::string_literals;

namespace {

// The services of `h` in file order, each with the fields that are set.
std::string describe(const KXSHandle &h)
{
    std::string out;
    auto field = [&out](const char *tag, const char *value) {
        if (value)
            out += std::string(" ") + tag + "=" + value;
    };
    for (KXSService **s = h.services; s && *s; ++s) {
        const KXSService *v = *s;
        out += (out.empty() ? "" : "; ") + std::string(v->name);
        field("proc", v->procname != v->name ? v->procname : nullptr);
        field("arg", v->argexp);
        field("net", v->netname);
        field("conf", v->adminconf);
        field("cmd", v->netcommand);
        field("desc", v->description);
        out += v->port ? " port=" + std::to_string(v->port) : "";
        out += v->flags == KXS_SVC_CRITICAL ? " critical" : v->flags ? " flags?" : "";
        out += v->check == kx::_check_dtlogin ? " dtlogin" : v->check ? " kxscreventd" : "";
        out += v->state != KXS_SVC_UNKNOWN || v->instances ? " state?" : "";
    }
    return out;
}

std::string missing(const char *what, int line)
{
    return "kxs_initServices(): \"" + std::string(what) + "\" missing " +
           (line ? "before line " + std::to_string(line) : std::string("at end of file")) + "\n";
}

std::string invalid(const char *what, int line)
{
    return "kxs_initServices(): invalid " + std::string(what) + " at line " + std::to_string(line) +
           "\n";
}

struct ServicesCase {
    std::string file, services;
    std::vector<std::string> diagnostics;
};

TEST(Services, FileIsReadBlockByBlock)
{
    const std::string longValue(588, 'd');  // "description=" and these: two pieces
    const ServicesCase cases[] = {
        {"", "", {}},
        {"# nothing\n\n#begin\n", "", {}},
        {"begin\nName = kxauthd\nPROCNAME=kxauthd.bin\nargexp=-d 7010\nnetname=kxauthd-cb\n"
         "adminconf=admin.auth.port\ncheck=KXSCREVENTD\nport=7010x\ncritical=TRUE\n"
         "netcommand=status\ndescription=Auth = manager\nend\n",
         "kxauthd proc=kxauthd.bin arg=-d 7010 net=kxauthd-cb conf=admin.auth.port cmd=status "
         "desc=Auth = manager port=7010 critical kxscreventd",
         {}},
        {"begin\nname=s\nport=abc\ncritical=yes\ncritical=\nport=99999999999\nend\n",
         "s port=2147483647",
         {}},
        {"begin\nname=a\nname=b\ncritical=true\ncritical=false\nport=1\nport=2\nend\n",
         "b port=2 critical",
         {}},
        {"begin\nname=x\nColour=red\ncheck=DTLOGIN\ncheck=bogus\nnoequals\n=novalue\nend\n",
         "x dtlogin",
         {invalid("keyword \"Colour\"", 3), invalid("\"check\" = \"bogus\"", 5)}},
        {"name=first\nend\n", "first", {missing("begin", 1)}},
        {"# c\n begin\nname=x\nend\n", "x", {missing("begin", 2)}},
        {"begin\nname=one\nbegin\nname=two\nend\nend\n", "one; two", {missing("end", 3)}},
        {"begin\nname=last\n", "last", {missing("end", 0)}},
        {"begin\nport=5\nend\nbegin\nport=6\nbegin\nname=kept\nend\n", "kept", {}},
        {"begin\r\nname=a\r\nport=7\r\nend\r\n",
         "a\r port=7",
         {missing("begin", 1), missing("end", 0)}},
        {"begin\nname=x\ndescription=" + longValue + "\nbogus=1\nend\n",
         "x desc=" + longValue.substr(0, 499),
         {invalid("keyword \"bogus\"", 5)}},
        {"begin\nname=n\0ul\nport=3\nend\n"s, "n port=3", {}},
    };
    kxtest::TestRoot root;
    for (const auto &c : cases) {
        root.write(kx::kServicesPath, c.file);
        DiagnosticsCapture diag;
        KXSHandle handle{};
        EXPECT_EQ(kx::kxs_initServices(&handle), 1) << c.file;
        EXPECT_EQ(describe(handle), c.services) << c.file;
        std::vector<std::string> seen;
        for (const auto &line : diag.lines())
            seen.push_back(line.text);
        EXPECT_EQ(seen, c.diagnostics) << c.file;
        kx::kxs_freeServices(&handle);
    }
}

TEST(Services, ArrayGrowsByDoublingAndStaysTerminated)
{
    kxtest::TestRoot root;
    KXSHandle handle{};
    for (int count : {8, 9, 18, 19, 40}) {
        std::string file;
        for (int i = 1; i <= count; ++i)
            file += "begin\nname=s" + std::to_string(i) + "\nend\n";
        root.write(kx::kServicesPath, file);
        ASSERT_EQ(kx::kxs_initServices(&handle), 1);
        EXPECT_EQ(handle.maxServices, count < 9 ? 10 : count < 19 ? 20 : count < 39 ? 40 : 80);
        EXPECT_EQ(handle.services[count], nullptr);
        EXPECT_STREQ(handle.services[count - 1]->name, ("s" + std::to_string(count)).c_str());
        kx::kxs_freeServices(&handle);
    }
    DiagnosticsCapture diag;
    std::filesystem::remove(root.at(kx::kServicesPath));
    EXPECT_EQ(kx::kxs_initServices(&handle), 0);
    EXPECT_TRUE(diag.contains("kxs_initServices(): Could not open file"));
}

}  // namespace
