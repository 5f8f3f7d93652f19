// What the agent answers from: the figures of the latest gathering, keyed by
// their OID below the module's root. Built by the worker thread, read by the
// SNMP thread; a published snapshot is never changed.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
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

struct Value {
    Asn type = Asn::Integer;
    int64_t number = 0;  // Integer, Unsigned, TimeTicks; IpAddress in network order
    std::string text;    // OctetString

    static Value integer(int32_t n) { return {Asn::Integer, n, {}}; }
    static Value gauge(uint32_t n) { return {Asn::Unsigned, n, {}}; }
    static Value ticks(uint32_t n) { return {Asn::TimeTicks, n, {}}; }
    // A text cut to `limit` bytes (DisplayString holds 255); NULL is empty.
    static Value string(const char *s, size_t limit = 255);
    // Dotted text as an IpAddress; 0.0.0.0 when it is not one.
    static Value ip(const char *dotted);
    bool operator==(const Value &) const = default;
};

// OID suffix -> value, in OID order (lexicographic on sub-identifiers).
using Rows = std::map<Oid, Value>;

// The OID of column `column` of table `table` (kxsObjects.table.1.column),
// row `index`.
Oid table_cell(Subid table, Subid column, const Oid &index);
// A scalar of the system group: kxsObjects.1.number.0
Oid system_scalar(Subid number);
// An IMPLIED OCTET STRING index; empty when `id` cannot be one (empty, or
// longer than kMaxIndexBytes).
Oid text_index(std::string_view id);
constexpr size_t kMaxIndexBytes = 100;

// True when `oid` starts with `prefix`.
bool has_prefix(const Oid &oid, const Oid &prefix);

}  // namespace kxagent
