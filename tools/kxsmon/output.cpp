#include "output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

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

// Characters on screen: continuation bytes take no column.
std::size_t columns_of(const std::string &text)
{
    return static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; }));
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

std::string when(uint32_t epochSeconds, time_t now)
{
    if (epochSeconds == 0)
        return "-";
    const time_t t = epochSeconds;
    tm parts{};
    char local[32] = "?";
    if (localtime_r(&t, &parts))
        strftime(local, sizeof local, "%Y-%m-%d %H:%M:%S", &parts);
    std::string out = std::to_string(epochSeconds) + " (" + local + ", ";
    if (now >= t)
        return out + age(static_cast<uint32_t>(std::min<time_t>(now - t, UINT32_MAX))) + " ago)";
    return out + "in the future)";
}

Table::Table(std::vector<std::string> columns)
{
    for (std::string &name : columns) {
        const bool right = !name.empty() && name[0] == '>';
        right_.push_back(right);
        columns_.push_back(right ? name.substr(1) : name);
    }
}

void Table::row(std::vector<std::string> cells)
{
    cells.resize(columns_.size());
    rows_.push_back(std::move(cells));
}

std::string Table::str(const std::string &indent) const
{
    std::vector<std::size_t> widths;
    for (const std::string &name : columns_)
        widths.push_back(columns_of(name));
    for (const auto &cells : rows_)
        for (std::size_t i = 0; i < cells.size(); ++i)
            widths[i] = std::max(widths[i], columns_of(cells[i]));
    std::string out;
    const auto line = [&](const std::vector<std::string> &cells) {
        std::string text = indent;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            const std::string pad(widths[i] - columns_of(cells[i]), ' ');
            const bool last = i + 1 == cells.size();
            text += right_[i] ? pad + cells[i] : cells[i] + (last ? "" : pad);
            if (!last)
                text += "  ";
        }
        out += text + "\n";
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
        width = std::max(width, columns_of(label));
    std::string out;
    for (const auto &[label, value] : rows) {
        out.append("  ").append(label).append(width - columns_of(label) + 2, ' ');
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

void Prom::sample(const std::string &name, const Labels &labels, int64_t value)
{
    text_ += name;
    for (std::size_t i = 0; i < labels.size(); ++i)
        text_ += (i ? ",": "{") + labels[i].first + "=\"" + label_value(labels[i].second) + "\"";
    text_ += (labels.empty() ? " " : "} ") + std::to_string(value) + "\n";
}

void Prom::states(const std::string &name, Labels labels, const std::vector<std::string> &states,
                  const std::string &current)
{
    labels.emplace_back("state", "");
    for (const std::string &state : states) {
        labels.back().second = state;
        sample(name, labels, state == current ? 1 : 0);
    }
}

}  // namespace kxsmon
