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
        // clang-format off
        {"M\xfcller", "\"M\\u00fcller\"", "M\xc3\xbcller"},                           // Latin-1
        {"M\xc3\xbcller", "\"M\xc3\xbcller\"", "M\xc3\xbcller"},                      // UTF-8 kept
        {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\"", "\xf0\x9f\x98\x80"},              // four bytes kept
        {"\xc0\xaf", "\"\\u00c0\\u00af\"", "\xc3\x80\xc2\xaf"},                        // overlong
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\"", "\xc3\xad\xc2\xa0?"},            // a surrogate
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\"", "\xc3\xb4???"},       // past U+10FFFF
        {"ab\xe2\x82", "\"ab\\u00e2\\u0082\"", "ab\xc3\xa2?"},                          // cut short
        {"\"\\\n\t\x1b\x7f", "\"\\\"\\\\\\n\\t\\u001b\\u007f\"", "\"\\????"},
        {"\xc2\x9b" "2J", "\"\xc2\x9b" "2J\"", "?2J"},                                  // C1 CSI
        // clang-format on
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
    EXPECT_EQ(kxsmon::when(0, 100, false), "-");
    EXPECT_EQ(kxsmon::when(40, 100, false), "1 min ago");
    EXPECT_EQ(kxsmon::when(160, 100, false), "in the future");
    EXPECT_TRUE(std::regex_match(kxsmon::when(1796846891, 0, true),
                                 std::regex(R"(2026-12-\d\d \d\d:\d\d:\d\d [+-]\d{4})")))
        << kxsmon::when(1796846891, 0, true);
}

// Columns on a terminal: a wide character takes two, a combining one none,
// whatever the locale; a cut never splits a character.
TEST(CliOutput, DisplayColumnsAndCuts)
{
    const struct {
        const char *text;
        std::size_t columns;
        std::size_t cutTo;
        const char *cut;
    } cases[] = {
        // clang-format off
        {"floor 2", 7, 5, "floo\u2026"},
        {"Mu\xcc\x88ller", 6, 4, "Mu\xcc\x88l\u2026"},              // u and a combining diaeresis
        {"\xe6\xbc\xa2\xe5\xad\x97" "desk", 8, 4, "\xe6\xbc\xa2\u2026"},  // two wide characters
        {"\xf0\x9f\x98\x80!", 3, 3, "\xf0\x9f\x98\x80!"},              // fits
        {"a\xff", 2, 1, "\u2026"},                                    // a stray byte takes one
        // clang-format on
    };
    for (const auto &c : cases) {
        EXPECT_EQ(kxsmon::display_width(c.text), c.columns) << c.text;
        EXPECT_EQ(kxsmon::cut_to_width(c.text, c.cutTo), c.cut) << c.text;
        EXPECT_LE(kxsmon::display_width(kxsmon::cut_to_width(c.text, c.cutTo)), c.cutTo) << c.text;
    }
}

// Each column starts at the same screen column on every line, wide and
// combining characters included; a table too wide cuts its cuttable
// columns, the last first, and long lines wrap below where their text began.
TEST(CliOutput, TablesAndLinesWithinTheWidth)
{
    kxsmon::Table table({"NAME", "~WHERE", ">N", "~NOTE"});
    table.row({"\xe6\xbc\xa2\xe5\xad\x97", "Mu\xcc\x88nchen", "1", "a note long enough to be cut"});
    table.row({"ab", "-", "22", "short"});
    EXPECT_EQ(table.str(), "  NAME  WHERE     N  NOTE\n"
                           "  \xe6\xbc\xa2\xe5\xad\x97  Mu\xcc\x88nchen   1  a note long enough to be cut\n"
                           "  ab    -        22  short\n");
    EXPECT_EQ(table.str(30), "  NAME  WHERE     N  NOTE\n"
                             "  \xe6\xbc\xa2\xe5\xad\x97  Mu\xcc\x88nchen   1  a note l\u2026\n"
                             "  ab    -        22  short\n");
    EXPECT_EQ(table.str(26), "  NAME  WHERE    N  NOTE\n"
                             "  \xe6\xbc\xa2\xe5\xad\x97  Mu\xcc\x88nch\u2026   1  a not\u2026\n"
                             "  ab    -       22  short\n");

    EXPECT_EQ(kxsmon::wrap_lines("  unknown: authentication manager on kxtest-host:7010 did not answer\nshort\n", 40),
              "  unknown: authentication manager on\n"
              "           kxtest-host:7010 did not\n"
              "           answer\nshort\n");
    EXPECT_EQ(kxsmon::wrap_lines("  Total   7 sessions of many users\n", 20), "  Total   7 sessions\n          of many\n          users\n");
    EXPECT_EQ(kxsmon::wrap_lines("  " + std::string(30, 'x'), 20), "  " + std::string(18, 'x') + "\n    " + std::string(12, 'x'));
    EXPECT_EQ(kxsmon::wrap_lines("  " + std::string(30, 'x'), 0), "  " + std::string(30, 'x'));
    // Indented past the width: continued at half of it, not past the width.
    EXPECT_EQ(kxsmon::wrap_lines(std::string(30, ' ') + "deep text", 20), "\n" + std::string(10, ' ') + "deep text");
}

// A partial section keeps its figures and says what is missing; an unknown
// one has none (no made-up zero) and says why, with the section's own text
// when the library gives none. Only the library can say "partial" today, so
// this is where its forms are checked.
TEST(CliOutput, SectionsNotFullyKnownInEveryForm)
{
    using namespace kxsmon;
    const Section monitored = {"monitored", "Monitored terminals", "", false, nullptr};
    const Section users = {"users", "Users", "", false, nullptr};
    const Section desktops = {"desktops", "Desktops", "", false, nullptr};
    Prom prom;
    prom.gauge("kxsmon_monitored_terminals", "Terminals.");
    prom.sample("kxsmon_monitored_terminals", 1);
    Report report;
    report.started = true;
    report.now = 7;
    report.sections = {&monitored, &users, &desktops};
    report.results.push_back(partial({KXS_EPARTIAL, "kxmember2:7010 did not answer"},
                                     known("  1 monitored\n", Json::array().push(Json::number(1)), prom)));
    report.results.push_back(unknown({KXS_ETIMEDOUT, "kxtest-host:7010 did not answer"}, "not counted"));
    report.results.push_back(unknown({}, "not counted"));

    EXPECT_EQ(render(Format::Text, report),
              "Monitored terminals\n  partial: kxmember2:7010 did not answer\n  1 monitored\n\n"
              "Users\n  unknown: kxtest-host:7010 did not answer\n\nDesktops\n  unknown: not counted\n");
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
    "users": {
      "state": "unknown",
      "code": 1,
      "text": "kxtest-host:7010 did not answer"
    },
    "desktops": {
      "state": "unknown",
      "code": null,
      "text": "not counted"
    }
  },
  "monitored": [
    1
  ],
  "users": null,
  "desktops": null
}
)");
    const std::string metrics = render(Format::Prom, report);
    for (const char *line : {"kxsmon_up 1\n", "kxsmon_monitored_terminals 1\n", "# TYPE kxsmon_build_info gauge\n",
                             "kxsmon_query_ok{query=\"monitored\"} 0\n",
                             "kxsmon_query_partial{query=\"monitored\"} 1\n",
                             "kxsmon_query_ok{query=\"users\"} 0\n", "kxsmon_query_partial{query=\"users\"} 0\n"})
        EXPECT_NE(metrics.find(line), std::string::npos) << line;
    EXPECT_EQ(metrics.find("kxsmon_users"), std::string::npos);
}

// The keys of a flat JSON object, in order.
std::vector<std::string> keys_of(const std::string &object)
{
    std::vector<std::string> keys;
    const std::regex member(R"re(\n  "(\w+)": )re");
    for (std::sregex_iterator i(object.begin(), object.end(), member), end; i != end; ++i)
        keys.push_back((*i)[1]);
    return keys;
}

// The keys that the report's schema requires of the objects under `name`.
std::vector<std::string> required_by_schema(const std::string &schema, const std::string &name)
{
    std::smatch found;
    std::vector<std::string> keys;
    if (std::regex_search(
            schema, found,
            std::regex("\"" + name + R"re(": \{[\s\S]*?"required": \[([^\]]*)\])re"))) {
        const std::string list = found[1];
        const std::regex key(R"re("(\w+)")re");
        for (std::sregex_iterator i(list.begin(), list.end(), key), end; i != end; ++i)
            keys.push_back((*i)[1]);
    }
    return keys;
}

struct Described {
    const char *section;  // the schema's name of the record's objects
    std::string json;     // the command's object of a sample record
    std::vector<const void *> fields;
};

template <class Record, std::size_t N>
Described described(const char *section, const Record &sample,
                    const kxfigures::Field<Record> *const (&fields)[N])
{
    return {section, kxsmon::json_record(sample, fields).dump(),
            std::vector<const void *>(std::begin(fields), std::end(fields))};
}

// Every field of a record shows in the command's JSON object of it, under
// the keys the report's schema requires and in their order; every column
// the agent serves from the library reads one of these fields (none a
// reader of its own), and every field is served. So a field added to the
// description shows in both, and neither can drift from it.
TEST(CliOutput, OneDescriptionOfTheFiguresForTheReportAndTheAgent)
{
    std::ifstream in(KXS_REPORT_SCHEMA);
    const std::string schema((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    ASSERT_FALSE(schema.empty()) << KXS_REPORT_SCHEMA;
    char name[] = "kxauthd", text[] = "192.168.10.5", mask[] = "255.255.255.0", lan[] = "LAN";
    char role[] = "offline secondary";
    const KXSDaemon daemon{name, 1, 1700000000, 1700000100, 2, name};
    const KXSInterface link{name, text, mask, 1, 300, lan};
    const KXSDHCPEntry network{text, 37};
    const KXSFOHost member{name, role, 1};
    const KXSDTU terminal{name, text, KXS_DTU_OWNED, 300, 100, 25.0F, name, name, name, name, name};
    const KXSVersion version{name, name};
    const Described records[] = {
        described("daemons", daemon, kxfigures::daemons::all),
        described("interfaces", link, kxfigures::interfaces::all),
        described("dhcp", network, kxfigures::dhcp::all),
        described("group", member, kxfigures::members::all),
        described("terminals", terminal, kxfigures::terminals::all),
        described("version", version, kxfigures::version::all),
    };
    std::set<const void *> all;
    for (const Described &r : records) {
        EXPECT_EQ(keys_of(r.json), required_by_schema(schema, r.section))
            << r.section << ": " << r.json;
        all.insert(r.fields.begin(), r.fields.end());
    }
#ifdef KXS_AGENT_FIGURES
    for (const auto *f : kxfigures::texts::all)
        all.insert(f);
    for (const auto *f : kxfigures::queries::all)
        all.insert(f);
    std::set<const void *> served;
    for (const kxagent::Figure &f : kxagent::figures()) {
        if (f.source == kxagent::kAgent)
            continue;  // the agent's own: its sources, the limit it stores
        EXPECT_TRUE(f.field && all.count(f.field) && !f.own)
            << f.name << " reads no described field";
        served.insert(f.field);
    }
    EXPECT_EQ(served, all) << "a described field that the agent does not serve";
#endif
}

// What a record gives that is no figure, or out of range, the report and
// the agent take alike: a count below zero is none (null; a Gauge32 has only
// 0 for it), a loss its bound, a state the library should not give what its
// States take it for.
TEST(CliOutput, OddFiguresTakenAlikeByTheReportAndTheAgent)
{
    namespace f = kxfigures;
    char name[] = "kxauthd", offline[] = "offline secondary", none[] = "";
    const KXSDaemon daemon{name, 7, 0, 0, -1, name};
    const KXSDHCPEntry network{name, -5};
    const KXSFOHost member{name, offline, 0};
    const KXSInterface link{name, name, name, 1, 0, none};
    const KXSDTU lossy{name, name, KXS_DTU_OWNED, 1, 3, 150.0F, name, name, name, name, name};
    const KXSDTU absent{name, nullptr, KXS_DTU_ABSENT, 0, 0, 0.0F, name, name, name, name, name};
    const std::string daemons = kxsmon::json_record(daemon, f::daemons::all).dump();
    const std::string members = kxsmon::json_record(member, f::members::all).dump();
    const struct {
        std::string json;    // the command's object of the record
        const char *member;  // one of its members, as printed
        const char *column;  // the agent's object of the same field
        const void *record;
        uint32_t served;
    } cases[] = {
        {daemons, "\"instances\": null", "kxsDaemonInstances", &daemon, 0},
        {daemons, "\"status\": -1", "kxsDaemonStatus", &daemon, UINT32_MAX},
        {kxsmon::json_record(network, f::dhcp::all).dump(), "\"available\": null",
         "kxsDhcpAvailable", &network, 0},
        {members, "\"status\": 2", "kxsFailoverStatus", &member, 2},
        {members, "\"role\": \"offline secondary\"", "kxsFailoverOffline", &member, kxagent::kTrue},
        {kxsmon::json_record(link, f::interfaces::all).dump(), "\"type\": \"\"", "kxsInterfaceLan",
         &link, kxagent::kFalse},
        {kxsmon::json_record(lossy, f::terminals::all).dump(), "\"lossPercent\": 100.00",
         "kxsMonLoss", &lossy, 10000},
        {kxsmon::json_record(absent, f::terminals::all).dump(), "\"lossPercent\": null",
         "kxsExcLoss", &absent, 0},
        {kxsmon::json_record(absent, f::terminals::all).dump(), "\"terminalPackets\": null",
         "kxsMonPackets", &absent, 0},
    };
    for (const auto &c : cases) {
        EXPECT_NE(c.json.find(c.member), std::string::npos) << c.member << " in " << c.json;
#ifdef KXS_AGENT_FIGURES
        const auto &all = kxagent::figures();
        const auto named = [&](const kxagent::Figure &g) { return g.name == c.column; };
        const auto column = std::find_if(all.begin(), all.end(), named);
        ASSERT_NE(column, all.end()) << c.column;
        EXPECT_EQ(column->read(c.record).number, c.served) << c.column;
#endif
    }
}

}  // namespace
