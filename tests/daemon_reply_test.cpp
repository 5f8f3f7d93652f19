// Line reassembly, record-block framing and the one-line status parsers,
// fed with the bytes a daemon would send.
#include "diagnostics_capture.h"
#include "kxsutil.h"
#include "ping.h"
#include "session_mgr.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr kx::DaemonClient kTestClient{"test_client", "b", false, false};

std::vector<std::string> assemble(const std::vector<std::string> &reads)
{
    std::vector<std::string> lines;
    kx::LineAssembler assembler(kTestClient);
    for (std::string chunk : reads)
        assembler.feed(chunk.data(), chunk.size(), [&](std::string_view line) {
            lines.emplace_back(line);
            return true;
        });
    return lines;
}

std::vector<std::string> closed_blocks(const std::vector<std::string> &lines)
{
    std::vector<std::string> blocks;
    std::string block;
    for (const auto &line : lines)
        if (kx::frame_record_line(block, line.c_str()))
            blocks.push_back(block);
    return blocks;
}

TEST(LineAssembly, JoinsALineSplitOverReadsAndDropsAnUnterminatedTail)
{
    EXPECT_EQ(assemble({"key=va", "lue\nsecond\nthi", "rd\nno feed"}),
              (std::vector<std::string>{"key=value", "second", "third"}));
    EXPECT_EQ(assemble({"a\n\n", "\nb\r\n"}), (std::vector<std::string>{"a", "", "", "b\r"}));
}

TEST(LineAssembly, ALineEndsAtItsFirstNulWhetherWholeInOneReadOrJoined)
{
    using namespace std::string_literals;
    // Whole in one read, then joined over two reads.
    EXPECT_EQ(assemble({"begin\0junk\nkey=1\n"s}), (std::vector<std::string>{"begin", "key=1"}));
    EXPECT_EQ(assemble({"ab\0c"s, "d\nnext\n"}), (std::vector<std::string>{"ab", "next"}));
    // The view and the C string agree.
    std::string read = "x\0y\nplain\n"s;
    kx::LineAssembler assembler(kTestClient);
    assembler.feed(read.data(), read.size(), [](std::string_view line) {
        EXPECT_EQ(line.size(), std::strlen(line.data()));
        return true;
    });
}

TEST(LineAssembly, DropsAnOverlongLineWholeAndGoesOn)
{
    kxtest::DiagnosticsCapture diagnostics;
    std::string huge(10 * 1024 * 1024, 'x');
    std::vector<std::string> reads;
    for (std::size_t at = 0; at < huge.size(); at += 511)
        reads.push_back(huge.substr(at, 511));
    reads.push_back("\nafter\n");
    EXPECT_EQ(assemble(reads), (std::vector<std::string>{"after"}));
    EXPECT_TRUE(diagnostics.has("test_client(): dropped a reply line longer than 511 bytes\n"));

    // 511 bytes is still a line.
    std::string longest(511, 'y');
    EXPECT_EQ(assemble({longest.substr(0, 300), longest.substr(300) + "\n"}),
              (std::vector<std::string>{longest}));
}

TEST(RecordFraming, BlocksOpenOnlyOnAnExactBeginAndCloseOnEnd)
{
    EXPECT_EQ(closed_blocks({"junk", "begin", "a=1", "b=2", "end", "stray", "begin", "c=3", "end",
                             "after=last"}),
              (std::vector<std::string>{"a=1\nb=2\n", "c=3\n"}));
    // "begin" with a carriage return opens nothing: the lines run on.
    EXPECT_EQ(closed_blocks({"begin", "a=1", "begin\r", "b=2", "end"}),
              (std::vector<std::string>{"a=1\nbegin\r\nb=2\n"}));
    // "end" without "begin" hands over what came so far; a second "end"
    // hands the same block again.
    EXPECT_EQ(closed_blocks({"x=1", "end", "end"}), (std::vector<std::string>{"x=1\n", "x=1\n"}));
    EXPECT_EQ(closed_blocks({"BEGIN", "a=1", "End"}), (std::vector<std::string>{}));
}

TEST(RecordFraming, ABlockNeverGrowsPastItsLimit)
{
    std::string block;
    std::string line(100, 'k');
    for (int i = 0; i < 1000; ++i)
        kx::frame_record_line(block, line.c_str());
    EXPECT_LE(block.size(), kx::kMaxBlockLength);
    EXPECT_EQ(block.size() % 101, 0u);  // only whole lines
}

struct SmStatusRecord {
    kx::SMStatus *rec = kx::allocate_smstatus();
    ~SmStatusRecord() { kx::free_smstatus(rec); }
    void parse(const char *line) { kx::parse_smstatus_line(&rec, line); }
};

TEST(SmStatusLine, SuccessLineFillsTheFourFiguresWithKeysInAnyCase)
{
    SmStatusRecord s;
    s.parse("OK/smstatus STIME=1000 sessions=3 Connected=2 auth=1 other=9 junk");
    EXPECT_EQ(s.rec->starttime, 1000);
    EXPECT_EQ(s.rec->sessions, 3);
    EXPECT_EQ(s.rec->connected, 2);
    EXPECT_EQ(s.rec->auth, 1);
    EXPECT_EQ(s.rec->error, nullptr);
    s.parse("OK/smstatus sessions=7 sessions=8 auth=");
    EXPECT_EQ(s.rec->sessions, 8);
    EXPECT_EQ(s.rec->auth, 1);
}

TEST(SmStatusLine, OnlyTheExactFirstWordCounts)
{
    SmStatusRecord s;
    s.parse("OK/smstatus");
    s.parse("ok/smstatus stime=5");
    s.parse("stime=5 OK/smstatus");
    EXPECT_EQ(s.rec->starttime, 0);
    s.parse("ERR/smstatus busy try later");
    ASSERT_NE(s.rec->error, nullptr);
    EXPECT_STREQ(s.rec->error, "busy");
    s.parse("ERR/smstatus again");
    EXPECT_STREQ(s.rec->error, "again");
    EXPECT_EQ(s.rec->starttime, 0);
}

TEST(SmStatusLine, WordsBeyondTheHundredthAreIgnored)
{
    SmStatusRecord s;
    std::string line = "OK/smstatus";
    for (int i = 0; i < 98; ++i)
        line += " x";
    line += " stime=42";  // word 99: held
    line += " sessions=5";  // word 100: beyond the table
    for (int i = 0; i < 120; ++i)
        line += " y";
    s.parse(line.c_str());
    EXPECT_EQ(s.rec->starttime, 42);
    EXPECT_EQ(s.rec->sessions, 0);
}

TEST(AmStatusLine, ReadsStartTimeInAnyBaseAndDesktops)
{
    kxtest::DiagnosticsCapture diagnostics;
    kx::set_gdebug("*");
    kx::AMStatus status{};
    EXPECT_EQ(kx::_parse_amstatus_line("starttime=0x10", &status), 1);
    EXPECT_EQ(kx::_parse_amstatus_line("desktops = 7\n", &status), 1);
    EXPECT_EQ(status.starttime, 16u);
    EXPECT_EQ(status.desktops, 7);
    EXPECT_EQ(kx::_parse_amstatus_line("StartTime=010", &status), 1);
    EXPECT_EQ(status.starttime, 8u);
    EXPECT_EQ(kx::_parse_amstatus_line("starttime=", &status), 1);
    EXPECT_EQ(status.starttime, 8u);
    EXPECT_TRUE(diagnostics.has("(s) got starttime |(nil)|\n"));
    EXPECT_EQ(kx::_parse_amstatus_line("colour=blue", &status), 0);
    EXPECT_TRUE(diagnostics.has("(s) unknown key |colour| value |blue|\n"));
    EXPECT_EQ(kx::_parse_amstatus_line("# starttime=5", &status), 0);
    EXPECT_EQ(kx::_parse_amstatus_line("no pair here", &status), 0);
    EXPECT_EQ(status.starttime, 8u);
    kx::set_gdebug(nullptr);
}

TEST(PingProbe, NullAndEmptyHostsRunNoCommand)
{
    EXPECT_EQ(kx::ping_host(nullptr), 0);
    EXPECT_EQ(kx::ping_host(""), EINVAL);
}

}  // namespace
