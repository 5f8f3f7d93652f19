// A record's figures as the description of its fields gives them: the JSON
// object, each member in the description's order, and the shared forms of a
// value in the text report.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "fields.h"
#include "output.h"

namespace kxsmon {

// A value as JSON: null when it is not known (or a text the record lacks).
Json json_value(kxfigures::Kind kind, const kxfigures::Value &value);
// Sets the member `key` of `object` to `value`; a state's number goes
// beside its word as "status".
void set_member(Json &object, const char *key, kxfigures::Kind kind, const kxfigures::Value &value);

template <class Record, std::size_t N>
Json json_record(const Record &record, const kxfigures::Field<Record> *const (&fields)[N])
{
    Json object = Json::object();
    for (const kxfigures::Field<Record> *field : fields)
        set_member(object, field->key, field->kind, field->read(record));
    return object;
}

// The records of a NULL-terminated list (NULL: none), one object each.
template <class Record, std::size_t N>
Json json_records(Record *const *list, const kxfigures::Field<Record> *const (&fields)[N])
{
    Json out = Json::array();
    for (Record *const *r = list; r && *r; ++r)
        out.push(json_record(**r, fields));
    return out;
}

// A list's items (none for NULL or "").
std::vector<std::string> list_items(const char *joined);
// A count in a text column: "-" when it is not known.
std::string count_text(const kxfigures::Value &count);
// A state's or role's word.
inline std::string word_of(const kxfigures::Value &value)
{
    return value.named->word;
}

}  // namespace kxsmon
