#include "output.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <locale.h>

namespace kxsmon {
namespace {

// Length of the well-formed UTF-8 sequence starting `text` (1 to 4), or 0
// when it is not one: overlong forms, surrogates and values past U+10FFFF
// are not.
std::size_t utf8_sequence(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
    if (length == 0 || lead > 0xf4 || lead == 0xc0 || lead == 0xc1 || text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(i) & 0xc0) != 0x80)
            return 0;
    const unsigned char second = byte(1);
    if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second >= 0xa0) ||
        (lead == 0xf0 && second < 0x90) || (lead == 0xf4 && second >= 0x90))
        return 0;
    return length;
}

// The code point of the well-formed sequence of `length` bytes at `text`.
char32_t code_point(std::string_view text, std::size_t length)
{
    const auto lead = static_cast<unsigned char>(text[0]);
    char32_t code = length == 1 ? lead : lead & (0x7fu >> length);
    for (std::size_t i = 1; i < length; ++i)
        code = code << 6 | (static_cast<unsigned char>(text[i]) & 0x3fu);
    return code;
}

// wcwidth answers by the calling thread's locale: the widths of UTF-8 text
// are asked under C.UTF-8, set for this thread alone while they are asked.
class Utf8Widths {
public:
    Utf8Widths() : previous_(utf8() ? uselocale(utf8()) : nullptr) {}
    ~Utf8Widths()
    {
        if (previous_)
            uselocale(previous_);
    }
    Utf8Widths(const Utf8Widths &) = delete;
    Utf8Widths &operator=(const Utf8Widths &) = delete;

    // Columns of one character: a control or unknown one takes one, as '?'
    // would; a character where no UTF-8 locale is to be had, one.
    static std::size_t of(char32_t code)
    {
        const int w = utf8() ? wcwidth(static_cast<wchar_t>(code)) : 1;
        return w < 0 ? 1 : static_cast<std::size_t>(w);
    }

private:
    static locale_t utf8()
    {
        static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        return locale;
    }
    locale_t previous_;
};

// Calls `each(bytes, columns)` for every character of `text`; false from
// `each` stops the walk.
template <class Each>
void each_character(std::string_view text, Each &&each)
{
    const Utf8Widths widths;
    while (!text.empty()) {
        const std::size_t length = utf8_sequence(text);
        const std::size_t bytes = length ? length : 1;
        if (!each(text.substr(0, bytes), length ? Utf8Widths::of(code_point(text, length)) : 1))
            return;
        text.remove_prefix(bytes);
    }
}

// A byte that is not part of any UTF-8 sequence, read as Latin-1 and written
// as UTF-8.
void append_latin1(std::string &out, unsigned char byte)
{
    out += static_cast<char>(0xc0 | (byte >> 6));
    out += static_cast<char>(0x80 | (byte & 0x3f));
}

std::string plural(uint32_t n, const char *unit)
{
    return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
}

}  // namespace

// ---- text ------------------------------------------------------------------

std::string printable(const char *text)
{
    std::string_view rest = text ? text : "";
    std::string out;
    while (!rest.empty()) {
        const auto lead = static_cast<unsigned char>(rest[0]);
        const std::size_t length = utf8_sequence(rest);
        // A stray byte is read as Latin-1, as JSON reads it. C1 controls
        // count: a terminal takes U+009B for the escape sequence's CSI.
        const unsigned code = length == 2 ? (lead & 0x1fu) << 6 | (rest[1] & 0x3fu)
                              : length <= 1 ? lead
                                            : 0x800;
        if (code < 0x20 || (code >= 0x7f && code < 0xa0)) {
            out += '?';
        } else if (length == 0) {
            append_latin1(out, lead);
        } else {
            out.append(rest.substr(0, length));
        }
        rest.remove_prefix(length ? length : 1);
    }
    return out;
}

std::string duration_words(uint32_t seconds)
{
    const uint32_t days = seconds / 86400;
    std::string out = days ? plural(days, "day") + ", " : "";
    return out + plural(seconds / 3600 % 24, "hour") + ", " + plural(seconds / 60 % 60, "minute");
}

std::string age(uint32_t seconds)
{
    const auto two = [](uint32_t big, const char *bigUnit, uint32_t small, const char *smallUnit) {
        return std::to_string(big) + " " + bigUnit +
               (small ? " " + std::to_string(small) + " " + smallUnit : "");
    };
    if (seconds >= 86400)
        return two(seconds / 86400, "d", seconds / 3600 % 24, "h");
    if (seconds >= 3600)
        return two(seconds / 3600, "h", seconds / 60 % 60, "min");
    if (seconds >= 60)
        return two(seconds / 60, "min", seconds % 60, "s");
    return std::to_string(seconds) + " s";
}

std::string when(uint32_t epochSeconds, time_t now, bool full)
{
    if (epochSeconds == 0)
        return "-";
    const time_t t = epochSeconds;
    if (full) {
        tm parts{};
        char local[48] = "?";
        if (localtime_r(&t, &parts))
            strftime(local, sizeof local, "%Y-%m-%d %H:%M:%S %z", &parts);
        return local;
    }
    if (now >= t)
        return age(static_cast<uint32_t>(std::min<time_t>(now - t, UINT32_MAX))) + " ago";
    return "in the future";
}

std::size_t display_width(std::string_view text)
{
    std::size_t columns = 0;
    each_character(text, [&](std::string_view, std::size_t w) {
        columns += w;
        return true;
    });
    return columns;
}

std::string cut_to_width(std::string_view text, std::size_t width)
{
    if (display_width(text) <= width)
        return std::string(text);
    static constexpr std::string_view kEllipsis = "\u2026";
    std::string out;
    std::size_t columns = 0;
    each_character(text, [&](std::string_view bytes, std::size_t w) {
        if (columns + w + 1 > width)
            return false;
        out.append(bytes);
        columns += w;
        return true;
    });
    return width ? out.append(kEllipsis) : out;
}

namespace {

// Where a continued line's text starts: after the line's first ": " or gap
// of two blanks past its indentation, when that lies within half the width;
// never past half the width, however deep the line's own indentation.
std::size_t hanging_indent(std::string_view line, std::size_t width)
{
    const std::size_t indent = std::min(line.find_first_not_of(' '), line.size());
    const std::size_t colon = line.find(": ", indent);
    const std::size_t gap = line.find("  ", indent);
    std::size_t start = std::min(colon == std::string_view::npos ? colon : colon + 2,
                                 gap == std::string_view::npos ? gap : line.find_first_not_of(' ', gap));
    if (start == std::string_view::npos || display_width(line.substr(0, start)) > width / 2)
        start = indent + 2;
    return std::min(display_width(line.substr(0, std::min(start, line.size()))), width / 2);
}

// One line broken at blanks into lines of at most `width` columns, without
// a final line feed; a word longer than a line is cut where the line ends.
std::string wrap_line(std::string_view line, std::size_t width)
{
    const std::size_t hang = hanging_indent(line, width);
    std::string out;
    std::string current;
    std::size_t columns = 0;
    std::size_t blank = std::string::npos;  // the last blank in `current` to break at
    each_character(line, [&](std::string_view bytes, std::size_t w) {
        const bool isBlank = bytes == " ";
        if (columns + w > width && columns > hang) {
            if (isBlank)
                blank = current.size();
            std::string rest;
            if (blank != std::string::npos) {
                rest = current.substr(std::min(blank + 1, current.size()));
                current.erase(blank);
            }
            out.append(current.substr(0, current.find_last_not_of(' ') + 1)).append("\n");
            current = std::string(hang, ' ') + rest;
            columns = display_width(current);
            blank = std::string::npos;
        }
        if (isBlank && !out.empty() && columns == hang)
            return true;  // a continued line starts with its text
        if (isBlank && columns > hang)
            blank = current.size();
        current.append(bytes);
        columns += w;
        return true;
    });
    return out + current;
}

}  // namespace

std::string wrap_lines(std::string_view text, std::size_t width)
{
    if (width == 0)
        return std::string(text);
    std::string out;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        out += display_width(line) <= width ? std::string(line) : wrap_line(line, width);
        if (end < text.size())
            out += '\n';
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return out;
}

Table::Table(std::vector<std::string> columns)
{
    for (std::string &name : columns) {
        const bool right = !name.empty() && name[0] == '>';
        const bool cuttable = !name.empty() && name[0] == '~';
        right_.push_back(right);
        cuttable_.push_back(cuttable);
        columns_.push_back(right || cuttable ? name.substr(1) : name);
    }
}

void Table::row(std::vector<std::string> cells)
{
    cells.resize(columns_.size());
    rows_.push_back(std::move(cells));
}

// Each column as wide as its widest cell; then, while the table is wider
// than `width`, the cuttable columns narrowed, the last one first, down to
// their heading (at least 6 columns).
std::vector<std::size_t> Table::widths(std::size_t width, std::size_t indent) const
{
    std::vector<std::size_t> widths;
    for (const std::string &name : columns_)
        widths.push_back(display_width(name));
    for (const auto &cells : rows_)
        for (std::size_t i = 0; i < cells.size(); ++i)
            widths[i] = std::max(widths[i], display_width(cells[i]));
    std::size_t total = indent + 2 * (widths.size() - 1);
    for (std::size_t w : widths)
        total += w;
    for (std::size_t i = widths.size(); width && total > width && i-- > 0;) {
        if (!cuttable_[i])
            continue;
        const std::size_t least = std::max<std::size_t>(display_width(columns_[i]), 6);
        const std::size_t cut = std::min(total - width, widths[i] > least ? widths[i] - least : 0);
        widths[i] -= cut;
        total -= cut;
    }
    return widths;
}

std::string Table::str(std::size_t width, const std::string &indent) const
{
    const std::vector<std::size_t> columns = widths(width, indent.size());
    std::string out;
    const auto line = [&](const std::vector<std::string> &cells) {
        std::string text = indent;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            const std::string cell = cuttable_[i] ? cut_to_width(cells[i], columns[i]) : cells[i];
            const std::string pad(columns[i] - std::min(columns[i], display_width(cell)), ' ');
            const bool last = i + 1 == cells.size();
            text += right_[i] ? pad + cell : cell + (last ? "" : pad);
            if (!last)
                text += "  ";
        }
        out += text.substr(0, text.find_last_not_of(' ') + 1) + "\n";  // an empty last cell leaves no blanks
    };
    line(columns_);
    for (const auto &cells : rows_)
        line(cells);
    return out;
}

std::string fields(const std::vector<std::pair<std::string, std::string>> &rows)
{
    std::size_t width = 0;
    for (const auto &[label, value] : rows)
        width = std::max(width, display_width(label));
    std::string out;
    for (const auto &[label, value] : rows) {
        out.append("  ").append(label).append(width - display_width(label) + 2, ' ');
        out.append(value).append("\n");
    }
    return out;
}

// ---- JSON ------------------------------------------------------------------

std::string json_quote(std::string_view text)
{
    std::string out = "\"";
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text[0]);
        std::size_t length = utf8_sequence(text);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f || length == 0) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);  // a stray byte read as Latin-1
            out += escaped;
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length ? length : 1);
    }
    return out + "\"";
}

Json Json::number(int64_t value)
{
    Json j;
    j.scalar_ = std::to_string(value);
    return j;
}

Json Json::decimal(double value)
{
    Json j;
    if (std::isfinite(value)) {
        char digits[64];
        snprintf(digits, sizeof digits, "%.2f", value);
        j.scalar_ = digits;
    }
    return j;
}

Json Json::boolean(bool value)
{
    Json j;
    j.scalar_ = value ? "true" : "false";
    return j;
}

Json Json::text(const char *value)
{
    Json j;
    if (value)
        j.scalar_ = json_quote(value);
    return j;
}

Json Json::array()
{
    Json j;
    j.kind_ = Kind::Array;
    return j;
}

Json Json::object()
{
    Json j;
    j.kind_ = Kind::Object;
    return j;
}

Json &Json::push(Json value)
{
    members_.emplace_back(std::string(), std::move(value));
    return *this;
}

Json &Json::set(const std::string &key, Json value)
{
    members_.emplace_back(key, std::move(value));
    return *this;
}

std::string Json::dump(int indent) const
{
    if (kind_ == Kind::Scalar)
        return scalar_;
    const bool object = kind_ == Kind::Object;
    if (members_.empty())
        return object ? "{}" : "[]";
    const std::string inner(static_cast<std::size_t>(indent) + 2, ' ');
    std::string out = object ? "{" : "[";
    for (std::size_t i = 0; i < members_.size(); ++i) {
        out += (i ? ",\n" : "\n") + inner;
        if (object)
            out += json_quote(members_[i].first) + ": ";
        out += members_[i].second.dump(indent + 2);
    }
    return out + "\n" + std::string(static_cast<std::size_t>(indent), ' ') + (object ? "}" : "]");
}

// ---- Prometheus ------------------------------------------------------------

namespace {

// A label value: UTF-8 (stray bytes read as Latin-1), with \, " and line
// feeds escaped as the exposition format wants.
std::string label_value(std::string_view text)
{
    std::string out;
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text[0]);
        std::size_t length = utf8_sequence(text);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (length == 0) {
            append_latin1(out, c);
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length ? length : 1);
    }
    return out;
}

}  // namespace

void Prom::gauge(const std::string &name, const std::string &help)
{
    text_ += "# HELP " + name + " " + help + "\n# TYPE " + name + " gauge\n";
}

void Prom::counter(const std::string &name, const std::string &help)
{
    text_ += "# HELP " + name + " " + help + "\n# TYPE " + name + " counter\n";
}

void Prom::sample(const std::string &name, const Labels &labels, int64_t value)
{
    if (series(name, labels))
        text_ += std::to_string(value) + "\n";
}

void Prom::sample_real(const std::string &name, const Labels &labels, double value)
{
    if (!series(name, labels))
        return;
    char digits[64];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text_.append(digits, end).append("\n");
}

bool Prom::series(const std::string &name, const Labels &labels)
{
    std::string line = name;
    for (std::size_t i = 0; i < labels.size(); ++i)
        line += (i ? ",": "{") + labels[i].first + "=\"" + label_value(labels[i].second) + "\"";
    line += labels.empty() ? " " : "} ";
    if (!written_.insert(line).second)
        return false;
    text_ += line;
    return true;
}

void Prom::states(const std::string &name, Labels labels, const std::vector<std::string> &states,
                  const std::string &current, const std::string &key)
{
    labels.emplace_back(key, "");
    for (const std::string &state : states) {
        labels.back().second = state;
        sample(name, labels, state == current ? 1 : 0);
    }
}

}  // namespace kxsmon
