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

constexpr kx::DaemonClient kTestClient{"test_client", "b", false, false, "svc", 1, false,
                                       kx::Opener::Plain};

Lines assemble(const Lines &reads)
{
    Lines lines;
    kx::LineAssembler assembler(kTestClient.name);
    for (std::string chunk : reads)
        assembler.feed(chunk.data(), chunk.size(), [&](std::string_view line) {
            EXPECT_EQ(line.size(), std::strlen(line.data()));  // the view and the C string agree
            lines.emplace_back(line);
            return true;
        });
    return lines;
}

TEST(LineAssembly, JoinsReadsCutsAtFeedsAndDropsWhatCannotBeALine)
{
    const std::string longest(511, 'y');
    const struct {
        Lines reads, lines;
    } cases[] = {
        {{"key=va", "lue\nsecond\nthi", "rd\nno feed"}, {"key=value", "second", "third"}},
        {{"a\n\n", "\nb\r\n"}, {"a", "", "", "b\r"}},
        {{"begin\0junk\nkey=1\n"s}, {"begin", "key=1"}},  // a line ends at its first NUL
        {{"ab\0c"s, "d\nnext\n"}, {"ab", "next"}},
        {{longest.substr(0, 300), longest.substr(300) + "\n"}, {longest}},
        {{longest + "z", "z\nafter\n"}, {"after"}},  // 513 bytes: dropped whole
    };
    for (const auto &c : cases)
        EXPECT_EQ(assemble(c.reads), c.lines) << c.reads.front();
}

// The texts of the blocks that the framing closes, as a record builder
// sees them when `lines` arrive as bytes.
struct BlockTexts {
    explicit BlockTexts(Lines *into) : closed(into) {}
    Lines *closed;
    std::string text;
    void open() { text.clear(); }
    void line(std::string_view line) { text.append(line).push_back('\n'); }
    void close() { closed->push_back(text); }
};

Lines closed_blocks(const Lines &lines)
{
    Lines blocks;
    kx::BlockReply<BlockTexts> reply("reply", &blocks);
    kxtest::feed_bytes(reply, kxtest::reply_bytes(lines));
    return blocks;
}

// The record cap follows the byte bound of a reply.
TEST(RecordFraming, BlocksOpenOnAnExactBeginAreHandedOverOnceAndStayWithinTheBound)
{
    Lines many, firstTen;  // 25 records, of which a bound of 10 records' bytes keeps 10
    for (int i = 0; i < 25; ++i) {
        many.insert(many.end(), {"begin", "k=" + std::to_string(i), "end"});
        if (i < 10)
            firstTen.push_back("k=" + std::to_string(i) + "\n");
    }
    const struct {
        Lines lines, blocks;
        std::size_t maxBytes = 0;  // 0: the default bound
    } cases[] = {
        {{"junk", "begin", "a=1", "b=2", "end", "stray", "begin", "c=3", "end", "after=last"},
         {"a=1\nb=2\n", "c=3\n"}},
        {{"begin", "a=1", "begin\r", "b=2", "end"}, {"a=1\nbegin\r\nb=2\n"}},
        {{"x=1", "end"}, {"x=1\n"}},  // "end" with no "begin" hands over what came
        {{"BEGIN", "a=1", "End"}, {}},
        // A run of "end" lines hands its block over once, also with lines
        // between them; the next "begin" starts afresh.
        {{"begin", "x=1", "end", "end", "y=2", "end", "begin", "z=3", "end"}, {"x=1\n", "z=3\n"}},
        {many, firstTen, 10 * kx::kMinRecordBytes},
    };
    for (const auto &c : cases) {
        kx::ReplyLimits limits;
        if (c.maxBytes)
            limits.maxBytes = c.maxBytes;
        kx::set_reply_limits(limits);
        EXPECT_EQ(closed_blocks(c.lines), c.blocks) << c.lines.front() << " " << c.maxBytes;
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
        {{"OK/smstatus STIME=1000 sessions=3 Connected=2 auth=1 other=9 junk"}, 1000, 3, 1, nullptr},
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
