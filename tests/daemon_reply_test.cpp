// Line reassembly, record-block framing, the one-line status parsers and
// the reading of reply figures, fed with the bytes a daemon would send.
#include "diagnostics_capture.h"
#include "kxsutil.h"
#include "exchange.h"
#include "scripted_transport.h"
#include "session_mgr.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using kxtest::Lines;

// The texts of the blocks that the framing closes, as a record builder
// sees them when `reads` arrive.
struct BlockTexts {
    Lines closed;
    std::string text;
    void open() { text.clear(); }
    void line(std::string_view line)
    {
        EXPECT_EQ(line.size(), std::strlen(line.data()));  // the view and the C string agree
        text.append(line).push_back('\n');
    }
    void close() { closed.push_back(text); }
};

Lines closed_blocks(const Lines &reads)
{
    kx::BlockReply<BlockTexts> reply("reply");
    for (std::string chunk : reads)
        reply.bytes(chunk.data(), chunk.size());
    return reply.block().closed;
}

// Lines end at a feed or their first NUL, a block opens on an exact "begin",
// and the record cap follows the byte bound of a reply.
TEST(ReplyFraming, LinesAreJoinedAndBlocksHandedOverOnceWithinTheBound)
{
    const std::string longest(511, 'y');
    std::string many;  // 25 records, of which a bound of 10 records' bytes keeps 10
    Lines firstTen;
    for (int i = 0; i < 25; ++i) {
        many += "begin\nk=" + std::to_string(i) + "\nend\n";
        if (i < 10)
            firstTen.push_back("k=" + std::to_string(i) + "\n");
    }
    const struct {
        Lines reads, blocks;
        std::size_t maxBytes = 0;  // 0: the default bound
    } cases[] = {
        // The "end" that has no feed never closes the second block.
        {{"begin\nkey=va", "lue\nsecond\nthi", "rd\nend\nbegin\nx=1\nend"},
         {"key=value\nsecond\nthird\n"}},
        {{"a\n\n", "\nb\r\nend\n"}, {"a\n\n\nb\r\n"}},  // "end" with no "begin": what came
        {{"begin\0junk\nab\0c"s, "d\nnext\nend\n"}, {"ab\nnext\n"}},
        // 511 bytes make a line, 512 are dropped whole.
        {{longest.substr(0, 300), longest.substr(300) + "\n" + longest + "z", "z\nafter\nend\n"},
         {longest + "\nafter\n"}},
        {{"junk\nbegin\na=1\nb=2\nend\nstray\nbegin\nc=3\nend\nafter=last\n"},
         {"a=1\nb=2\n", "c=3\n"}},
        {{"begin\na=1\nbegin\r\nBEGIN\nEnd\nb=2\nend\n"}, {"a=1\nbegin\r\nBEGIN\nEnd\nb=2\n"}},
        // A run of "end" lines, also with lines between, hands a block over once.
        {{"begin\nx=1\nend\nend\ny=2\nend\nbegin\nz=3\nend\n"}, {"x=1\n", "z=3\n"}},
        {{many}, firstTen, 10 * kx::kMinRecordBytes},
    };
    for (const auto &c : cases) {
        kx::ReplyLimits limits;
        if (c.maxBytes)
            limits.maxBytes = c.maxBytes;
        kx::set_reply_limits(limits);
        EXPECT_EQ(closed_blocks(c.reads), c.blocks) << c.reads.front() << " " << c.maxBytes;
    }
    kx::set_reply_limits(kx::ReplyLimits{});
}

TEST(ReplyFigures, ReadAsA32BitStrtoulOrAtoiWouldWithoutWrappingRound)
{
    const struct {
        const char *text;
        uint32_t asUnsigned;
        int32_t asSigned;
    } cases[] = {
        {"0x10", 16u, 0},
        {"010", 8u, 10},
        {" +12abc", 12u, 12},
        {"4294967295", UINT32_MAX, INT32_MAX},
        {"4294967296", UINT32_MAX, INT32_MAX},
        {"99999999999999999999999", UINT32_MAX, INT32_MAX},
        {"-1", UINT32_MAX, -1},
        {"-5", 4294967291u, -5},
        {"-4294967296", UINT32_MAX, INT32_MIN},
        {"x", 0u, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(kx::text_to_uint32(c.text), c.asUnsigned) << c.text;
        EXPECT_EQ(kx::text_to_int32(c.text), c.asSigned) << c.text;
    }
}

TEST(StatusLines, SessionManagerLineFillsItsRecord)
{
    const struct {
        Lines lines;
        int starttime, sessions, auth;
        const char *error;
    } cases[] = {
        {{"OK/smstatus STIME=1000 sessions=3 Connected=2 auth=1 x=9 junk"}, 1000, 3, 1, nullptr},
        {{"OK/smstatus sessions=7 sessions=8 auth="}, 0, 8, 0, nullptr},
        {{"OK/smstatus", "ok/smstatus stime=5", "stime=5 OK/smstatus"}, 0, 0, 0, nullptr},
        {{"ERR/smstatus busy try later", "ERR/smstatus again"}, 0, 0, 0, "again"},
        {{"OK/smstatus stime=4294967296 sessions=-9999999999"}, INT32_MAX, INT32_MIN, 0, nullptr},
    };
    for (const auto &c : cases) {
        kx::SMStatus *rec = kx::allocate_smstatus();
        for (const std::string &line : c.lines)
            kx::parse_smstatus_line(&rec, line.c_str());
        EXPECT_EQ(rec->starttime, c.starttime) << c.lines[0];
        EXPECT_EQ(rec->sessions, c.sessions) << c.lines[0];
        EXPECT_EQ(rec->auth, c.auth) << c.lines[0];
        EXPECT_STREQ(rec->error, c.error) << c.lines[0];
        kx::free_smstatus(rec);
    }
}

TEST(StatusLines, AuthenticationManagerLinesSetKnownKeysOnly)
{
    kxtest::DiagnosticsCapture diagnostics;
    const struct {
        const char *line;
        int known;
        uint32_t starttime;
        int desktops;
    } steps[] = {
        {"starttime=0x10", 1, 16u, 0},   {"desktops = 7\n", 1, 16u, 7},
        {"StartTime=010", 1, 8u, 7},     {"starttime=", 1, 8u, 7},
        {"colour=blue", 0, 8u, 7},       {"# starttime=5", 0, 8u, 7},
        {"no pair here", 0, 8u, 7},      {"starttime=4294967296", 1, UINT32_MAX, 7},
    };
    kx::AMStatus status{};
    for (const auto &s : steps) {
        EXPECT_EQ(kx::_parse_amstatus_line(s.line, &status), s.known) << s.line;
        EXPECT_EQ(status.starttime, s.starttime) << s.line;
        EXPECT_EQ(status.desktops, s.desktops) << s.line;
    }
}

}  // namespace
