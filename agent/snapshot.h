// What the agent answers from. A snapshot is a list of parts in OID order;
// a part holds the cells of one figure group, laid out flat (a 32-bit word
// per cell, texts in one pool), so that a table of a million terminals costs
// a few dozen bytes a row and is released in one go. Parts are built by the
// worker thread and never changed once published.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kxagent {

// One sub-identifier; the same width as net-snmp's `oid`.
using Subid = unsigned long;
using Oid = std::vector<Subid>;

// ASN.1 tags of the values served (those of net-snmp's asn1.h).
enum class Asn : unsigned char {
    Integer = 0x02,
    OctetString = 0x04,
    IpAddress = 0x40,
    Unsigned = 0x42,  // Gauge32 and Unsigned32
    TimeTicks = 0x43,
};

// A cell as served. `number` holds Integer32 in two's complement and an
// IpAddress in network order; `text` views into the part it came from.
struct Cell {
    Asn type = Asn::Integer;
    uint32_t number = 0;
    std::string_view text;
};

// How a part's rows are indexed: the one row of scalars (.0), positions
// from 1, or an IMPLIED OCTET STRING (a terminal ID).
enum class IndexKind { Scalar, Position, Text };

struct Column {
    Subid number;
    Asn type;
};

// The longest text index served (kxsMonTerminalId's size).
constexpr size_t kMaxIndexBytes = 100;
// A DisplayString holds at most 255 bytes.
constexpr size_t kDisplayMax = 255;
// The longest OID of a cell below the module's root: a table's prefix, the
// column and the longest text index.
constexpr size_t kMaxCellOid = 3 + 1 + kMaxIndexBytes;

class Part {
public:
    // Cells at prefix.column.index; `columns` in ascending order.
    Part(Oid prefix, IndexKind kind, std::vector<Column> columns);

    // Rows are added one at a time, each with every column in order. Text
    // indexes may come in any order; finish() sorts them.
    void reserve(size_t rows);
    void add_row(std::string_view textIndex = {});
    void put(uint32_t number);
    void put(std::string_view text, size_t limit = kDisplayMax);
    // Orders the rows of a text index (an ID given twice keeps its first
    // row) and gives back spare capacity.
    void finish();

    size_t rows() const { return columns_.empty() ? 0 : cells_.size() / columns_.size(); }
    std::string_view text_index(size_t row) const;
    // The same part with only the rows whose text index `keep` accepts.
    template <typename Keep>
    Part select(Keep keep) const;

    std::optional<Cell> find(const Oid &suffix) const;
    // The column and row (positions, not numbers) of the first cell after
    // `suffix` in OID order.
    std::optional<std::pair<size_t, size_t>> next(const Oid &suffix) const;
    // Row `row`'s cell of column `column`, and the OID of that cell;
    // nothing when the part has no such column.
    std::optional<std::pair<Oid, Cell>> at(Subid column, size_t row) const;

    size_t columns() const { return columns_.size(); }
    Cell cell(size_t column, size_t row) const;
    // Writes the OID of the cell at column position `column`, row `row` into
    // `out`, which has room for `room` sub-identifiers; its length, or 0
    // when it does not fit.
    size_t write_oid(size_t column, size_t row, Subid *out, size_t room) const;

private:
    Oid oid_of(size_t column, size_t row) const;
    size_t first_row_after(const Oid &suffix, size_t at) const;
    std::optional<size_t> row_of(const Oid &suffix, size_t at) const;
    uint32_t store(std::string_view text);
    std::string_view stored(uint32_t at) const;
    void copy_row(const Part &from, size_t row);

    Oid prefix_;
    IndexKind kind_;
    std::vector<Column> columns_;
    std::vector<uint32_t> cells_;    // row after row, a word per column
    std::vector<uint32_t> indexes_;  // Text: each row's index, as stored in the pool
    std::string pool_;               // texts, each after its length (7 bits a byte)
};

template <typename Keep>
Part Part::select(Keep keep) const
{
    Part kept(prefix_, kind_, columns_);
    for (size_t row = 0; row < rows(); ++row)
        if (keep(text_index(row)))
            kept.copy_row(*this, row);
    kept.finish();
    return kept;
}

// Where a cell lies in a snapshot: its part, and its column and row there.
struct Place {
    size_t part = 0;
    size_t column = 0;
    size_t row = 0;
};

// The parts of one moment, in OID order (a null part is empty).
struct Snapshot {
    std::vector<std::shared_ptr<const Part>> parts;

    std::optional<Cell> find(const Oid &suffix) const;
    // The place of the first cell after `suffix` in OID order: a search.
    std::optional<Place> next(const Oid &suffix) const;
    // The place of the cell that follows the one at `place`: a step, as a
    // walk goes from one cell to the next.
    std::optional<Place> after(const Place &place) const;
    Cell cell(const Place &place) const { return parts[place.part]->cell(place.column, place.row); }
    size_t write_oid(const Place &place, Subid *out, size_t room) const
    {
        return parts[place.part]->write_oid(place.column, place.row, out, room);
    }
};

// A scalar as a filler makes it, before the part is laid out.
struct Scalar {
    Subid number;
    Asn type;
    uint32_t value = 0;
    std::string text;
};
// The part of the scalars kxsSystem.number.0 (numbers ascending).
Part scalars(const std::vector<Scalar> &values);
Scalar text_scalar(Subid number, const char *text, size_t limit = kDisplayMax);

// The OID prefix of table `table`'s cells (kxsObjects.table.1), and the OID
// of a scalar of the system group (kxsObjects.1.number.0).
Oid table_prefix(Subid table);
Oid scalar_oid(Subid number);
// A dotted address as an IpAddress cell value; 0.0.0.0 when it is not one.
uint32_t ip_value(const char *dotted);

}  // namespace kxagent
