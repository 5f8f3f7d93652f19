// The CLI's printing helpers on texts a file or a daemon may hand it, the
// report's forms of sections that are not fully known, and the one
// description of the records' figures that the report and the agent share.
#include "described.h"
#include "output.h"
#include "report.h"
#ifdef KXS_AGENT_FIGURES
#include "figures.h"
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>

namespace {

// As JSON and as text for a terminal: well-formed UTF-8 whatever the bytes
// (a stray byte read as Latin-1), and no control character on the screen.
TEST(CliOutput, JsonAndTerminalTextsWhateverTheBytes)
{
    const struct {
        const char *input;
        const char *quoted;
        const char *printed;
    } cases[] = {
        {"M\xfcller", "\"M\\u00fcller\"", "M\xc3\xbcller"},                       // Latin-1
        {"M\xc3\xbcller", "\"M\xc3\xbcller\"", "M\xc3\xbcller"},                  // UTF-8 kept
        {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\"", "\xf0\x9f\x98\x80"},         // four bytes kept
        {"\xc0\xaf", "\"\\u00c0\\u00af\"", "\xc3\x80\xc2\xaf"},                   // overlong
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\"", "\xc3\xad\xc2\xa0?"},       // a surrogate
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\"", "\xc3\xb4???"},  // past U+10FFFF
        {"ab\xe2\x82", "\"ab\\u00e2\\u0082\"", "ab\xc3\xa2?"},                    // cut short
        {"\"\\\n\t\x1b\x7f", "\"\\\"\\\\\\n\\t\\u001b\\u007f\"", "\"\\????"},
        {"\xc2\x9b" "2J", "\"\xc2\x9b" "2J\"", "?2J"},                            // C1 CSI
    };
    for (const auto &c : cases) {
        EXPECT_EQ(kxsmon::json_quote(c.input), c.quoted) << c.input;
        EXPECT_EQ(kxsmon::printable(c.input), c.printed) << c.input;
    }
}

TEST(CliOutput, PrometheusLabelsValuesAndRepeatedSeries)
{
    kxsmon::Prom prom;
    prom.sample("m", {{"who", "a\"b\\c\nM\xfc"}}, 1);
    prom.counter("c_total", "Counted.");
    prom.sample_real("r", {}, 0.5);
    prom.sample_real("r", {{"t", "1"}}, 1.0 / 3);
    prom.sample_real("r", {{"t", "2"}}, 1796846891.25);
    prom.sample("m", {{"who", "x"}}, 2);
    prom.sample("m", {{"who", "x"}}, 3);  // a terminal listed twice: the first one stays
    EXPECT_EQ(prom.str(), "m{who=\"a\\\"b\\\\c\\nM\xc3\xbc\"} 1\n"
                          "# HELP c_total Counted.\n# TYPE c_total counter\n"
                          "r 0.5\nr{t=\"1\"} 0.3333333333333333\nr{t=\"2\"} 1796846891.25\n"
                          "m{who=\"x\"} 2\n");
}

TEST(CliOutput, Ages)
{
    const struct {
        uint32_t seconds;
        const char *age;
        const char *duration;
    } cases[] = {
        {59, "59 s", "0 hours, 0 minutes"},
        {3600, "1 h", "1 hour, 0 minutes"},
        {3 * 86400 + 4 * 3600 + 12 * 60 + 5, "3 d 4 h", "3 days, 4 hours, 12 minutes"},
        {UINT32_MAX, "49710 d 6 h", "49710 days, 6 hours, 28 minutes"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(kxsmon::age(c.seconds), c.age);
        EXPECT_EQ(kxsmon::duration_words(c.seconds), c.duration);
    }
    // None ("-") and the full form with its zone are the CLI test's.
    EXPECT_EQ(kxsmon::when(40, 100, false), "1 min ago");
    EXPECT_EQ(kxsmon::when(160, 100, false), "in the future");
}

// Columns on a terminal: a wide character takes two, a combining one none,
// whatever the locale; a cut never splits a character, a table too wide cuts
// its cuttable columns, the last first, and long lines wrap below where their
// text began. Unbounded (-l) is the CLI test's.
TEST(CliOutput, TextsTablesAndLinesWithinTheWidth)
{
    const struct {
        const char *text;
        std::size_t columns;
        std::size_t cutTo;
        const char *cut;
    } cases[] = {
        {"floor 2", 7, 5, "floo\u2026"},
        {"Mu\xcc\x88ller", 6, 4, "Mu\xcc\x88l\u2026"},              // u and a combining diaeresis
        {"\xe6\xbc\xa2\xe5\xad\x97" "desk", 8, 4, "\xe6\xbc\xa2\u2026"},  // two wide characters
        {"\xf0\x9f\x98\x80!", 3, 3, "\xf0\x9f\x98\x80!"},              // fits
        {"a\xff", 2, 1, "\u2026"},                                    // a stray byte takes one
    };
    for (const auto &c : cases) {
        EXPECT_EQ(kxsmon::display_width(c.text), c.columns) << c.text;
        EXPECT_EQ(kxsmon::cut_to_width(c.text, c.cutTo), c.cut) << c.text;
    }

    kxsmon::Table table({"NAME", "~WHERE", ">N", "~NOTE"});
    table.row({"\xe6\xbc\xa2\xe5\xad\x97", "Mu\xcc\x88nchen", "1", "a note long enough to be cut"});
    table.row({"ab", "-", "22", "short"});
    EXPECT_EQ(table.str(30), "  NAME  WHERE     N  NOTE\n"
                             "  \xe6\xbc\xa2\xe5\xad\x97  Mu\xcc\x88nchen   1  a note l\u2026\n"
                             "  ab    -        22  short\n");
    EXPECT_EQ(table.str(26), "  NAME  WHERE    N  NOTE\n"
                             "  \xe6\xbc\xa2\xe5\xad\x97  Mu\xcc\x88nch\u2026   1  a not\u2026\n"
                             "  ab    -       22  short\n");

    EXPECT_EQ(kxsmon::wrap_lines("  unknown: authentication manager on kxtest-host:7010"
                                 " did not answer\nshort\n", 40),
              "  unknown: authentication manager on\n"
              "           kxtest-host:7010 did not\n"
              "           answer\nshort\n");
    EXPECT_EQ(kxsmon::wrap_lines("  Total   7 sessions of many users\n", 20),
              "  Total   7 sessions\n          of many\n          users\n");
    EXPECT_EQ(kxsmon::wrap_lines("  " + std::string(30, 'x'), 20),
              "  " + std::string(18, 'x') + "\n    " + std::string(12, 'x'));
    // Indented past the width: continued at half of it, not past the width.
    EXPECT_EQ(kxsmon::wrap_lines(std::string(30, ' ') + "deep text", 20),
              "\n" + std::string(10, ' ') + "deep text");
}

// A partial section keeps its figures and says what is missing; an unknown
// one has none (no made-up zero) and says why, with the section's own text
// when the library gives none. Only the library can say "partial", so its
// forms are checked here; the library's reasons are the CLI test's.
TEST(CliOutput, SectionsNotFullyKnownInEveryForm)
{
    using namespace kxsmon;
    const Section monitored = {"monitored", "Monitored terminals", "", false, nullptr};
    const Section desktops = {"desktops", "Desktops", "", false, nullptr};
    Prom prom;
    prom.sample("kxsmon_monitored_terminals", 1);
    Report report;
    report.started = true;
    report.now = 7;
    report.sections = {&monitored, &desktops};
    report.results.push_back(partial({KXS_EPARTIAL, "kxmember2:7010 did not answer"},
                                     known("  1 monitored\n", Json::number(1), prom)));
    report.results.push_back(unknown({}, "not counted"));

    EXPECT_EQ(render(Format::Text, report),
              "Monitored terminals\n  partial: kxmember2:7010 did not answer\n  1 monitored\n\n"
              "Desktops\n  unknown: not counted\n");
    EXPECT_EQ(render(Format::Json, report),
              R"({
  "time": 7,
  "error": null,
  "errors": {
    "monitored": {
      "state": "partial",
      "code": 14,
      "text": "kxmember2:7010 did not answer"
    },
    "desktops": {
      "state": "unknown",
      "code": null,
      "text": "not counted"
    }
  },
  "monitored": 1,
  "desktops": null
}
)");
    const std::string metrics = render(Format::Prom, report);
    for (const char *line : {"kxsmon_monitored_terminals 1\n",
                             "kxsmon_query_ok{query=\"monitored\"} 0\n",
                             "kxsmon_query_partial{query=\"monitored\"} 1\n",
                             "kxsmon_query_partial{query=\"desktops\"} 0\n"})
        EXPECT_NE(metrics.find(line), std::string::npos) << line;
    EXPECT_EQ(metrics.find("kxsmon_desktops"), std::string::npos);
}

// The first group of every match of `pattern` in `text`, in order.
std::vector<std::string> captures(const std::string &text, const std::string &pattern)
{
    std::vector<std::string> found;
    const std::regex re(pattern);
    for (std::sregex_iterator i(text.begin(), text.end(), re), end; i != end; ++i)
        found.push_back((*i)[1]);
    return found;
}

// Every field of a record shows in the command's JSON object of it, under
// the keys the report's schema requires, in order; every column the agent
// serves from the library reads one of them (none a reader of its own), and
// every field is served, so neither can drift from the description. Odd
// values the two take alike: a count below zero is none (null; 0 in a
// Gauge32), a loss its bound, a state the library should not give what its
// States take it for.
TEST(CliOutput, OneDescriptionOfTheFiguresForTheReportAndTheAgent)
{
    namespace f = kxfigures;
    std::ifstream in(KXS_REPORT_SCHEMA);
    const std::string schema((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    ASSERT_FALSE(schema.empty()) << KXS_REPORT_SCHEMA;
    char name[] = "kxauthd", offline[] = "offline secondary", none[] = "";
    const KXSDaemon daemon{name, 7, 0, 0, -1, name};
    const KXSDHCPEntry network{name, -5};
    const KXSFOHost member{name, offline, 0};
    const KXSInterface link{name, name, name, 1, 0, none};
    const KXSDTU lossy{name, name, KXS_DTU_OWNED, 1, 3, 150.0F, name, name, name, name, name};
    const KXSDTU absent{name, nullptr, KXS_DTU_ABSENT, 0, 0, 0.0F, name, name, name, name, name};
    const KXSVersion version{name, name};
    std::set<const void *> all;
    // The command's object of `record`, with the keys `section` requires.
    const auto json = [&](const char *section, const auto &record, const auto &fields) {
        std::string object = kxsmon::json_record(record, fields).dump();
        const std::string required = std::string("\"") + section +
                                     R"re(": \{[\s\S]*?"required": \[([^\]]*)\])re";
        const std::vector<std::string> lists = captures(schema, required);
        EXPECT_EQ(captures(object, R"re(\n  "(\w+)": )re"),
                  captures(lists.empty() ? "" : lists[0], R"re("(\w+)")re"))
            << section << ": " << object;
        all.insert(std::begin(fields), std::end(fields));
        return object;
    };
    const std::string daemons = json("daemons", daemon, f::daemons::all);
    const std::string members = json("group", member, f::members::all);
    const std::string absents = json("terminals", absent, f::terminals::all);
    json("version", version, f::version::all);
    const struct {
        std::string json;    // the command's object of the record
        const char *member;  // one of its members, as printed
        const char *column;  // the agent's object of the same field
        const void *record;
        uint32_t served;
    } cases[] = {
        {daemons, "\"instances\": null", "kxsDaemonInstances", &daemon, 0},
        {daemons, "\"status\": -1", "kxsDaemonStatus", &daemon, UINT32_MAX},
        {json("dhcp", network, f::dhcp::all), "\"available\": null", "kxsDhcpAvailable", &network,
         0},
        {members, "\"status\": 2", "kxsFailoverStatus", &member, 2},
        {members, "\"role\": \"offline secondary\"", "kxsFailoverOffline", &member, kxagent::kTrue},
        {json("interfaces", link, f::interfaces::all), "\"type\": \"\"", "kxsInterfaceLan",
         &link, kxagent::kFalse},
        {json("terminals", lossy, f::terminals::all), "\"lossPercent\": 100.00", "kxsMonLoss",
         &lossy, 10000},
        {absents, "\"lossPercent\": null", "kxsExcLoss", &absent, 0},
        {absents, "\"terminalPackets\": null", "kxsMonPackets", &absent, 0},
    };
    for (const auto &c : cases) {
        EXPECT_NE(c.json.find(c.member), std::string::npos) << c.member << " in " << c.json;
#ifdef KXS_AGENT_FIGURES
        const auto column = std::ranges::find(kxagent::figures(), c.column, &kxagent::Figure::name);
        ASSERT_NE(column, kxagent::figures().end()) << c.column;
        EXPECT_EQ(column->read(c.record).number, c.served) << c.column;
#endif
    }
#ifdef KXS_AGENT_FIGURES
    all.insert(std::begin(f::texts::all), std::end(f::texts::all));
    all.insert(std::begin(f::queries::all), std::end(f::queries::all));
    std::set<const void *> served;
    for (const kxagent::Figure &g : kxagent::figures()) {
        if (g.source == kxagent::kAgent)
            continue;  // the agent's own: its sources, the limit it stores
        EXPECT_TRUE(g.field && all.count(g.field) && !g.own)
            << g.name << " reads no described field";
        served.insert(g.field);
    }
    EXPECT_EQ(served, all) << "a described field that the agent does not serve";
#endif
}

}  // namespace
