#include "snapshot.h"

#include <algorithm>
#include <limits>
#include <numeric>

#include <arpa/inet.h>

namespace kxagent {

namespace {

// `suffix` from `at` on against an index of bytes, each byte a
// sub-identifier: below zero, zero or above zero as it sorts before, equal
// to or after the index.
int compare_index(const Oid &suffix, size_t at, std::string_view index)
{
    const size_t length = suffix.size() - at;
    for (size_t i = 0; i < std::min(length, index.size()); ++i) {
        const Subid byte = static_cast<unsigned char>(index[i]);
        if (suffix[at + i] != byte)
            return suffix[at + i] < byte ? -1 : 1;
    }
    return length < index.size() ? -1 : length > index.size() ? 1 : 0;
}

// Every object lies below kxsObjects, the first arc of the module.
constexpr Subid kObjects = 1;
constexpr Subid kEntry = 1;

}  // namespace

Part::Part(Oid prefix, IndexKind kind, std::vector<Column> columns)
    : prefix_(std::move(prefix)), kind_(kind), columns_(std::move(columns)), pool_(1, '\0')
{
    // Offset 0 of the pool is the empty text.
}

void Part::reserve(size_t rows)
{
    cells_.reserve(rows * columns_.size());
    if (kind_ == IndexKind::Text)
        indexes_.reserve(rows);
}

void Part::add_row(std::string_view textIndex)
{
    if (kind_ == IndexKind::Text)
        indexes_.push_back(store(textIndex));
}

void Part::put(uint32_t number)
{
    cells_.push_back(number);
}

void Part::put(std::string_view text, size_t limit)
{
    text = text.substr(0, limit);
    // Neighbouring rows often repeat a text (the server, the model): the
    // row above's copy serves again.
    const size_t width = columns_.size();
    if (cells_.size() >= width && stored(cells_[cells_.size() - width]) == text) {
        cells_.push_back(cells_[cells_.size() - width]);
        return;
    }
    cells_.push_back(store(text));
}

uint32_t Part::store(std::string_view text)
{
    if (text.empty() || pool_.size() + text.size() + 8 > std::numeric_limits<uint32_t>::max())
        return 0;
    const auto at = static_cast<uint32_t>(pool_.size());
    for (size_t length = text.size();; length >>= 7) {
        const auto low = static_cast<unsigned char>(length & 0x7f);
        if (length < 0x80) {
            pool_.push_back(static_cast<char>(low));
            break;
        }
        pool_.push_back(static_cast<char>(low | 0x80));
    }
    pool_.append(text);
    return at;
}

std::string_view Part::stored(uint32_t at) const
{
    size_t length = 0;
    size_t i = at;
    for (int shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(pool_[i++]);
        length |= static_cast<size_t>(byte & 0x7f) << shift;
        if (!(byte & 0x80))
            break;
    }
    return std::string_view(pool_).substr(i, length);
}

std::string_view Part::text_index(size_t row) const
{
    return kind_ == IndexKind::Text ? stored(indexes_[row]) : std::string_view();
}

void Part::finish()
{
    const size_t width = columns_.size();
    if (kind_ == IndexKind::Text && width > 0) {
        std::vector<size_t> order(rows());
        std::iota(order.begin(), order.end(), size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return text_index(a) < text_index(b); });
        std::vector<uint32_t> cells, indexes;
        cells.reserve(cells_.size());
        indexes.reserve(indexes_.size());
        for (size_t i = 0; i < order.size(); ++i) {
            if (i > 0 && text_index(order[i]) == text_index(order[i - 1]))
                continue;
            indexes.push_back(indexes_[order[i]]);
            cells.insert(cells.end(), cells_.begin() + static_cast<long>(order[i] * width),
                         cells_.begin() + static_cast<long>((order[i] + 1) * width));
        }
        cells_ = std::move(cells);
        indexes_ = std::move(indexes);
    }
    if (pool_.capacity() > pool_.size() + pool_.size() / 4)
        pool_.shrink_to_fit();
}

void Part::copy_row(const Part &from, size_t row)
{
    add_row(from.text_index(row));
    const size_t width = columns_.size();
    for (size_t column = 0; column < width; ++column) {
        const uint32_t word = from.cells_[row * width + column];
        if (columns_[column].type == Asn::OctetString)
            put(from.stored(word), std::string_view::npos);
        else
            put(word);
    }
}

Cell Part::cell(size_t column, size_t row) const
{
    const uint32_t word = cells_[row * columns_.size() + column];
    const Asn type = columns_[column].type;
    if (type == Asn::OctetString)
        return {type, 0, stored(word)};
    return {type, word, {}};
}

Oid Part::oid_of(size_t column, size_t row) const
{
    Oid oid(prefix_.size() + 1 + std::max<size_t>(text_index(row).size(), 1));
    oid.resize(write_oid(column, row, oid.data(), oid.size()));
    return oid;
}

size_t Part::write_oid(size_t column, size_t row, Subid *out, size_t room) const
{
    const std::string_view text = text_index(row);
    const size_t index = kind_ == IndexKind::Text ? text.size() : 1;
    const size_t length = prefix_.size() + 1 + index;
    if (length > room)
        return 0;
    Subid *at = std::copy(prefix_.begin(), prefix_.end(), out);
    *at++ = columns_[column].number;
    switch (kind_) {
    case IndexKind::Scalar:
        *at = 0;
        break;
    case IndexKind::Position:
        *at = row + 1;
        break;
    case IndexKind::Text:
        for (unsigned char c : text)
            *at++ = c;
        break;
    }
    return length;
}

// The first row whose index sorts after the index in `suffix` from `at`.
size_t Part::first_row_after(const Oid &suffix, size_t at) const
{
    const bool none = at >= suffix.size();
    switch (kind_) {
    case IndexKind::Scalar:
        return none ? 0 : rows();
    case IndexKind::Position:
        // Row r is index r + 1, which sorts after {k, ...} exactly when r >= k.
        return none ? 0 : static_cast<size_t>(std::min<Subid>(suffix[at], rows()));
    case IndexKind::Text:
        break;
    }
    size_t low = 0, high = rows();
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (compare_index(suffix, at, text_index(middle)) < 0)
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

std::optional<size_t> Part::row_of(const Oid &suffix, size_t at) const
{
    switch (kind_) {
    case IndexKind::Scalar:
        if (suffix.size() == at + 1 && suffix[at] == 0)
            return 0;
        return std::nullopt;
    case IndexKind::Position:
        if (suffix.size() == at + 1 && suffix[at] >= 1 && suffix[at] <= rows())
            return static_cast<size_t>(suffix[at] - 1);
        return std::nullopt;
    case IndexKind::Text:
        break;
    }
    const size_t after = first_row_after(suffix, at);
    if (after > 0 && compare_index(suffix, at, text_index(after - 1)) == 0)
        return after - 1;
    return std::nullopt;
}

std::optional<Cell> Part::find(const Oid &suffix) const
{
    const size_t p = prefix_.size();
    if (rows() == 0 || suffix.size() <= p || !std::equal(prefix_.begin(), prefix_.end(), suffix.begin()))
        return std::nullopt;
    auto column = std::find_if(columns_.begin(), columns_.end(),
                               [&](const Column &c) { return c.number == suffix[p]; });
    if (column == columns_.end())
        return std::nullopt;
    auto row = row_of(suffix, p + 1);
    if (!row)
        return std::nullopt;
    return cell(static_cast<size_t>(column - columns_.begin()), *row);
}

std::optional<std::pair<size_t, size_t>> Part::next(const Oid &suffix) const
{
    if (rows() == 0)
        return std::nullopt;
    const size_t p = prefix_.size();
    const auto differs = std::mismatch(prefix_.begin(), prefix_.begin() + static_cast<long>(std::min(p, suffix.size())),
                                       suffix.begin());
    size_t column = 0, row = 0;
    if (differs.first != prefix_.begin() + static_cast<long>(std::min(p, suffix.size()))) {
        if (*differs.second > *differs.first)
            return std::nullopt;  // past the part
    } else if (suffix.size() > p) {
        const Subid asked = suffix[p];
        column = static_cast<size_t>(
            std::lower_bound(columns_.begin(), columns_.end(), asked,
                             [](const Column &c, Subid n) { return c.number < n; }) -
            columns_.begin());
        if (column < columns_.size() && columns_[column].number == asked) {
            row = first_row_after(suffix, p + 1);
            if (row == rows()) {
                ++column;
                row = 0;
            }
        }
        if (column == columns_.size())
            return std::nullopt;
    }
    return std::make_pair(column, row);
}

std::optional<std::pair<Oid, Cell>> Part::at(Subid column, size_t row) const
{
    auto found = std::find_if(columns_.begin(), columns_.end(),
                              [&](const Column &c) { return c.number == column; });
    if (found == columns_.end() || row >= rows())
        return std::nullopt;
    const auto index = static_cast<size_t>(found - columns_.begin());
    return std::make_pair(oid_of(index, row), cell(index, row));
}

std::optional<Cell> Snapshot::find(const Oid &suffix) const
{
    for (const auto &part : parts)
        if (part)
            if (auto found = part->find(suffix))
                return found;
    return std::nullopt;
}

std::optional<Place> Snapshot::next(const Oid &suffix) const
{
    // The parts do not overlap and come in OID order: the first that has a
    // cell after `suffix` has the next one.
    for (size_t at = 0; at < parts.size(); ++at)
        if (parts[at])
            if (auto found = parts[at]->next(suffix))
                return Place{at, found->first, found->second};
    return std::nullopt;
}

std::optional<Place> Snapshot::after(const Place &place) const
{
    // Within a part, cells go column by column, each column row by row.
    const Part &part = *parts[place.part];
    if (place.row + 1 < part.rows())
        return Place{place.part, place.column, place.row + 1};
    if (place.column + 1 < part.columns())
        return Place{place.part, place.column + 1, 0};
    for (size_t at = place.part + 1; at < parts.size(); ++at)
        if (parts[at] && parts[at]->rows() > 0)
            return Place{at, 0, 0};
    return std::nullopt;
}

Part scalars(const std::vector<Scalar> &values)
{
    std::vector<Column> columns;
    columns.reserve(values.size());
    for (const Scalar &s : values)
        columns.push_back({s.number, s.type});
    Part part({kObjects, 1}, IndexKind::Scalar, std::move(columns));
    part.add_row();
    for (const Scalar &s : values) {
        if (s.type == Asn::OctetString)
            part.put(s.text, std::string_view::npos);
        else
            part.put(s.value);
    }
    part.finish();
    return part;
}

Scalar text_scalar(Subid number, const char *text, size_t limit)
{
    std::string_view view = text ? text : "";
    return {number, Asn::OctetString, 0, std::string(view.substr(0, limit))};
}

Oid table_prefix(Subid table)
{
    return {kObjects, table, kEntry};
}

Oid scalar_oid(Subid number)
{
    return {kObjects, 1, number, 0};
}

uint32_t ip_value(const char *dotted)
{
    in_addr address{};
    if (!dotted || inet_pton(AF_INET, dotted, &address) != 1)
        address.s_addr = 0;
    return address.s_addr;
}

}  // namespace kxagent
