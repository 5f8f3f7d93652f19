// The agent's snapshot in OID order: a walk that steps from cell to cell and
// a search from any OID both meet the cells as the OID order has them, over
// parts of every index kind, an empty part and a missing one.
#include "snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace kxagent;

// A table's rows as given: each row its index (a text, or none for
// positions) and one number per column.
struct Table {
    Oid prefix;
    IndexKind kind;
    std::vector<Subid> columns;
    std::vector<std::pair<std::string, std::vector<uint32_t>>> rows;
};

const std::vector<Table> &tables()
{
    static const std::vector<Table> all = {
        {{1, 2, 1}, IndexKind::Position, {2, 3}, {{"", {20, 30}}, {"", {21, 31}}, {"", {22, 32}}}},
        {{1, 3, 1}, IndexKind::Position, {2}, {}},
        // Unsorted IDs, IDs that are prefixes of others, and one given twice
        // (its first row is kept).
        {{1, 6, 1},
         IndexKind::Text,
         {2, 13},
         {{"b", {1, 2}}, {"ab", {3, 4}}, {"a", {5, 6}}, {"abc", {7, 8}}, {"a", {9, 9}}}},
        {{1, 7, 1}, IndexKind::Text, {2}, {{"z", {42}}}},
    };
    return all;
}

// The snapshot of the scalars (1.1.n.0) and the tables, with a missing
// part among them; and every cell's OID and number as the OID order has them.
Snapshot snapshot_of(std::vector<std::pair<Oid, uint32_t>> &expected)
{
    Snapshot snapshot;
    snapshot.parts.push_back(std::make_shared<const Part>(
        scalars({{1, Asn::Integer, 5, ""}, {2, Asn::Unsigned, 6, ""}, {4, Asn::TimeTicks, 7, ""}})));
    for (const auto &[number, value] : {std::pair<Subid, uint32_t>{1, 5}, {2, 6}, {4, 7}})
        expected.push_back({{1, 1, number, 0}, value});
    snapshot.parts.push_back(nullptr);
    for (const Table &t : tables()) {
        std::vector<Column> columns;
        for (Subid c : t.columns)
            columns.push_back({c, Asn::Integer});
        Part part(t.prefix, t.kind, columns);
        std::vector<std::string> seen;
        for (size_t row = 0; row < t.rows.size(); ++row) {
            const auto &[id, cells] = t.rows[row];
            part.add_row(id);
            for (uint32_t cell : cells)
                part.put(cell);
            if (std::find(seen.begin(), seen.end(), id) != seen.end() && !id.empty())
                continue;
            seen.push_back(id);
            for (size_t c = 0; c < t.columns.size(); ++c) {
                Oid oid = t.prefix;
                oid.push_back(t.columns[c]);
                if (t.kind == IndexKind::Position)
                    oid.push_back(row + 1);
                else
                    oid.insert(oid.end(), id.begin(), id.end());
                expected.push_back({oid, cells[c]});
            }
        }
        part.finish();
        snapshot.parts.push_back(std::make_shared<const Part>(std::move(part)));
    }
    std::sort(expected.begin(), expected.end());
    return snapshot;
}

Oid oid_at(const Snapshot &snapshot, const Place &place)
{
    Oid oid(kMaxCellOid);
    oid.resize(snapshot.write_oid(place, oid.data(), oid.size()));
    return oid;
}

TEST(AgentSnapshot, AWalkStepsThroughEveryCellInOidOrder)
{
    std::vector<std::pair<Oid, uint32_t>> expected;
    const Snapshot snapshot = snapshot_of(expected);
    std::vector<std::pair<Oid, uint32_t>> walked;
    for (auto place = snapshot.next({}); place; place = snapshot.after(*place))
        walked.push_back({oid_at(snapshot, *place), snapshot.cell(*place).number});
    EXPECT_EQ(walked, expected);
    // An OID that does not fit the room given is not written.
    auto first = snapshot.next({1, 6});
    ASSERT_TRUE(first);
    Subid small[4];
    EXPECT_EQ(snapshot.write_oid(*first, small, 4), 0u);
}

TEST(AgentSnapshot, ASearchFromAnyOidFindsTheFirstCellAfterIt)
{
    std::vector<std::pair<Oid, uint32_t>> expected;
    const Snapshot snapshot = snapshot_of(expected);
    // Every cell's OID, the OIDs just inside and before it, and OIDs that
    // no cell has: before the subtree, past a row, a column or a table, a
    // text index with a sub-identifier past a byte, and past everything.
    std::vector<Oid> asked = {{},           {0},           {1},         {1, 1, 3, 0},
                              {1, 2, 1, 2, 9}, {1, 2, 1, 4}, {1, 4},      {1, 6, 1, 2, 97, 300},
                              {1, 6, 1, 2, 1ul << 40},      {1, 6, 1, 14}, {1, 7, 1, 2, 122, 0},
                              {2}};
    for (const auto &[oid, value] : expected) {
        asked.push_back(oid);
        asked.push_back(oid);
        asked.back().push_back(0);
        asked.push_back(Oid(oid.begin(), oid.end() - 1));
    }
    for (const Oid &from : asked) {
        auto want = std::upper_bound(expected.begin(), expected.end(), from,
                                     [](const Oid &a, const auto &cell) { return a < cell.first; });
        auto got = snapshot.next(from);
        std::string shown;
        for (Subid s : from)
            shown += "." + std::to_string(s);
        if (want == expected.end()) {
            EXPECT_FALSE(got) << "after " << shown;
            continue;
        }
        ASSERT_TRUE(got) << "after " << shown;
        EXPECT_EQ(oid_at(snapshot, *got), want->first) << "after " << shown;
        EXPECT_EQ(snapshot.cell(*got).number, want->second) << "after " << shown;
    }
}

}  // namespace
