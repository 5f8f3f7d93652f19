#include "described.h"

#include <string_view>

namespace kxsmon {

using kxfigures::Kind;

Json json_value(Kind kind, const kxfigures::Value &value)
{
    switch (kind) {
    case Kind::Count:
    case Kind::Time:
    case Kind::Ticks:
        return value.known ? Json::number(value.number) : Json();
    case Kind::Percent:
        return value.known ? Json::decimal(value.percent) : Json();
    case Kind::State:
        return Json::text(value.named->word);
    case Kind::List: {
        Json items = Json::array();
        for (const std::string &item : list_items(value.text))
            items.push(Json::text(item));
        return items;
    }
    case Kind::Text:
    case Kind::Address:
    case Kind::Netmask:
    case Kind::Role:
    case Kind::Mark:
    case Kind::LocalDate:
        break;
    }
    return Json::text(value.text);
}

void set_member(Json &object, const char *key, Kind kind, const kxfigures::Value &value)
{
    object.set(key, json_value(kind, value));
    if (kind == Kind::State)
        object.set("status", Json::number(value.number));
}

std::vector<std::string> list_items(const char *joined)
{
    std::vector<std::string> items;
    const std::string_view all = joined ? joined : "";
    std::size_t start = 0;
    while (!all.empty()) {
        const std::size_t end = all.find(", ", start);
        items.emplace_back(all.substr(start, end - start));
        if (end == std::string_view::npos)
            break;
        start = end + 2;
    }
    return items;
}

std::string count_text(const kxfigures::Value &count)
{
    return count.known ? std::to_string(count.number) : "-";
}

}  // namespace kxsmon
