// The three forms a section is printed in: readable text, one JSON document,
// and the Prometheus text exposition format.
#pragma once

#include <cstdint>
#include <ctime>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kxsmon {

// ---- text ------------------------------------------------------------------

// A text fit for a terminal: control characters, C1 ones included (an escape
// sequence planted in a contact, say), shown as '?'; bytes that are not
// UTF-8 read as Latin-1.
std::string printable(const char *text);
// "3 days, 4 hours, 12 minutes" (an up time; minutes always shown).
std::string duration_words(uint32_t seconds);
// "2 d 3 h", "3 h 12 min", "12 min 5 s", "45 s": how long ago, roughly.
std::string age(uint32_t seconds);
// A time as its age, "2 d 3 h ago" (or "in the future"), or with `full` as
// local time with its zone, "2026-12-04 09:15:00 +0100"; "-" for none (0).
std::string when(uint32_t epochSeconds, time_t now, bool full);

// Columns that a text takes on a terminal: each character's wcwidth (wide
// ones take two, combining ones none), the text read as UTF-8 whatever the
// locale; a byte that is no UTF-8 takes one.
std::size_t display_width(std::string_view text);
// `text` within `width` columns: cut at a character, "…" in place of the rest.
std::string cut_to_width(std::string_view text, std::size_t width);
// Every line of `text` within `width` columns (0: as they are), broken at
// blanks; a continued line is indented to where its text after the first
// ": " or gap of two blanks began, else two blanks more than the line.
std::string wrap_lines(std::string_view text, std::size_t width);

// Rows printed with every column as wide as its widest cell.
class Table {
public:
    // A column whose name starts with '>' is aligned to the right; one that
    // starts with '~' may be cut to make the table fit.
    explicit Table(std::vector<std::string> columns);
    void row(std::vector<std::string> cells);
    // The table within `width` columns (0: no bound), cutting the cells of
    // the columns that may be cut, the last such column first.
    std::string str(std::size_t width = 0, const std::string &indent = "  ") const;

private:
    std::vector<std::size_t> widths(std::size_t width, std::size_t indent) const;

    std::vector<std::string> columns_;
    std::vector<bool> right_;
    std::vector<bool> cuttable_;
    std::vector<std::vector<std::string>> rows_;
};

// "  label   value" lines, the values lined up.
std::string fields(const std::vector<std::pair<std::string, std::string>> &rows);

// ---- JSON ------------------------------------------------------------------

// A JSON value whose object keys keep the order they were set in.
class Json {
public:
    Json() = default;  // null
    static Json number(int64_t value);
    static Json boolean(bool value);
    // A fraction with two decimals; null when it is not finite.
    static Json decimal(double value);
    // A text; NULL gives null. Bytes that are not UTF-8 are read as Latin-1
    // and escaped ("M\xfcller" gives "M\u00fcller"), so the document parses.
    static Json text(const char *value);
    static Json text(const std::string &value) { return text(value.c_str()); }
    static Json array();
    static Json object();

    Json &push(Json value);                          // arrays
    Json &set(const std::string &key, Json value);   // objects
    std::string dump(int indent = 0) const;

private:
    enum class Kind { Scalar, Array, Object };
    Kind kind_ = Kind::Scalar;
    std::string scalar_ = "null";
    std::vector<std::pair<std::string, Json>> members_;  // keys empty in arrays
};

// A string literal for JSON, quotes included.
std::string json_quote(std::string_view text);

// ---- Prometheus ------------------------------------------------------------

using Labels = std::vector<std::pair<std::string, std::string>>;

// Metric families, each with its HELP and TYPE lines once, samples after.
class Prom {
public:
    void gauge(const std::string &name, const std::string &help);
    // A counter's name ends in "_total".
    void counter(const std::string &name, const std::string &help);
    void sample(const std::string &name, const Labels &labels, int64_t value);
    void sample(const std::string &name, int64_t value) { sample(name, {}, value); }
    // A sample that need not be whole (seconds, ratios), in the fewest
    // digits that read back as the same double.
    void sample_real(const std::string &name, const Labels &labels, double value);
    // One sample of family `name` for each of `states`, in the label `key`:
    // 1 for `current`, 0 for the others.
    void states(const std::string &name, Labels labels, const std::vector<std::string> &states,
                const std::string &current, const std::string &key = "state");
    const std::string &str() const { return text_; }

private:
    // The name and labels of a sample, up to its value; false for a series
    // already written (a terminal listed twice), which is then left out, as
    // a collector refuses a file with a repeated series.
    bool series(const std::string &name, const Labels &labels);

    std::string text_;
    std::set<std::string> written_;
};

}  // namespace kxsmon
