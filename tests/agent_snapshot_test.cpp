// The agent's snapshot in OID order: a walk that steps from cell to cell and
// a search from any OID both meet the cells as the OID order has them, over
// parts of every index kind, an empty part and a missing one.
#include "snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace kxagent;
// Each row its index (a text, or none for positions) and one number per column.
using Rows = std::vector<std::pair<std::string, std::vector<uint32_t>>>;

std::shared_ptr<const Part> table(const Oid &prefix, IndexKind kind,
                                  const std::vector<Subid> &numbers, const Rows &rows)
{
    std::vector<Column> columns;
    columns.reserve(numbers.size());
    for (Subid c : numbers)
        columns.push_back({c, Asn::Integer});
    Part part(prefix, kind, columns);
    for (const auto &[id, cells] : rows) {
        part.add_row(id);
        for (uint32_t cell : cells)
            part.put(cell);
    }
    part.finish();
    return std::make_shared<const Part>(std::move(part));
}

// The scalars (1.1.n.0) and the tables, with a missing part among them.
Snapshot make_snapshot()
{
    Snapshot snapshot;
    snapshot.parts = {
        std::make_shared<const Part>(scalars(
            {{1, Asn::Integer, 5, ""}, {2, Asn::Unsigned, 6, ""}, {4, Asn::TimeTicks, 7, ""}})),
        nullptr,
        table({1, 2, 1}, IndexKind::Position, {2, 3},
              {{"", {20, 30}}, {"", {21, 31}}, {"", {22, 32}}}),
        table({1, 3, 1}, IndexKind::Position, {2}, {}),
        // Unsorted IDs, IDs that are prefixes of others, one given twice (its first row kept).
        table({1, 6, 1}, IndexKind::Text, {2, 13},
              {{"b", {1, 2}}, {"ab", {3, 4}}, {"a", {5, 6}}, {"abc", {7, 8}}, {"a", {9, 9}}}),
        table({1, 7, 1}, IndexKind::Text, {2}, {{"z", {42}}}),
    };
    return snapshot;
}

// Every cell's OID and number as the OID order has them: a text index is its
// bytes, "a" before "ab" before "b".
const std::vector<std::pair<Oid, uint32_t>> kCells = {
    {{1, 1, 1, 0}, 5}, {{1, 1, 2, 0}, 6}, {{1, 1, 4, 0}, 7},
    {{1, 2, 1, 2, 1}, 20}, {{1, 2, 1, 2, 2}, 21}, {{1, 2, 1, 2, 3}, 22},
    {{1, 2, 1, 3, 1}, 30}, {{1, 2, 1, 3, 2}, 31}, {{1, 2, 1, 3, 3}, 32},
    {{1, 6, 1, 2, 97}, 5}, {{1, 6, 1, 2, 97, 98}, 3}, {{1, 6, 1, 2, 97, 98, 99}, 7},
    {{1, 6, 1, 2, 98}, 1}, {{1, 6, 1, 13, 97}, 6}, {{1, 6, 1, 13, 97, 98}, 4},
    {{1, 6, 1, 13, 97, 98, 99}, 8}, {{1, 6, 1, 13, 98}, 2}, {{1, 7, 1, 2, 122}, 42},
};

Oid oid_at(const Snapshot &snapshot, const Place &place)
{
    Oid oid(kMaxCellOid);
    oid.resize(snapshot.write_oid(place, oid.data(), oid.size()));
    return oid;
}

TEST(AgentSnapshot, AWalkAndASearchFromAnyOidMeetTheCellsInOidOrder)
{
    const Snapshot snapshot = make_snapshot();
    std::vector<std::pair<Oid, uint32_t>> walked;
    for (auto place = snapshot.next({}); place; place = snapshot.after(*place))
        walked.push_back({oid_at(snapshot, *place), snapshot.cell(*place).number});
    EXPECT_EQ(walked, kCells);
    // An OID that does not fit the room given is not written.
    auto first = snapshot.next({1, 6});
    ASSERT_TRUE(first);
    Subid small[4];
    EXPECT_EQ(snapshot.write_oid(*first, small, 4), 0u);

    // Every cell's OID, the OIDs just inside and before it, and OIDs that
    // no cell has: before the subtree, past a row, a column or a table, a
    // text index with a sub-identifier past a byte, and past everything.
    std::vector<Oid> asked = {{},           {0},           {1},         {1, 1, 3, 0},
                              {1, 2, 1, 2, 9}, {1, 2, 1, 4}, {1, 4},      {1, 6, 1, 2, 97, 300},
                              {1, 6, 1, 2, 1ul << 40},      {1, 6, 1, 14}, {1, 7, 1, 2, 122, 0},
                              {2}};
    for (const auto &[oid, value] : kCells) {
        asked.push_back(oid);
        asked.push_back(oid);
        asked.back().push_back(0);
        asked.push_back(Oid(oid.begin(), oid.end() - 1));
    }
    for (const Oid &from : asked) {
        auto want = std::upper_bound(kCells.begin(), kCells.end(), from,
                                     [](const Oid &a, const auto &cell) { return a < cell.first; });
        auto got = snapshot.next(from);
        SCOPED_TRACE("after " + ::testing::PrintToString(from));
        ASSERT_EQ(got.has_value(), want != kCells.end());
        if (!got)
            continue;
        EXPECT_EQ(oid_at(snapshot, *got), want->first);
        EXPECT_EQ(snapshot.cell(*got).number, want->second);
    }
}

}  // namespace
