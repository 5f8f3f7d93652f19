#include "auth_mgr.h"

#include "kxerrno.h"
#include "ping.h"
#include "utils.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <strings.h>
#include <vector>

namespace kx {

namespace {

constexpr DaemonClient kClient{"getAuthMgrRecords", "b",    false, false, kAuthMgrService,
                               kAuthMgrFallbackPort, true,  Opener::Plain};
constexpr const char *kSelectionStart = "~terminalCID~terminalId~tokenName~firmware~";

enum class Action { Copy, ReplaceTerminal, FirstTerminal, PrimaryFlag, XTokenFlag, Index };

struct KeyRule {
    const char *key;
    Action action;
    char *KeyValuesNode::*field;
};

// In the order of comparison: the first row whose key matches is used.
constexpr KeyRule kKeyTable[] = {
    {"tokenName", Action::Copy, &KeyValuesNode::token_name},
    {"MultiheadPrimary", Action::PrimaryFlag, nullptr},
    {"MultiheadGroupName", Action::Copy, &KeyValuesNode::MHgroup_name},
    {"MultiheadTerminalIndex", Action::Index, nullptr},
    {"LocalName", Action::Copy, &KeyValuesNode::local_name},
    {"annotation.x_token", Action::XTokenFlag, nullptr},
    {"firmware", Action::Copy, &KeyValuesNode::firmware},
    {"boot", Action::Copy, &KeyValuesNode::boot},
    {"terminalCID", Action::ReplaceTerminal, &KeyValuesNode::terminal_CID},
    {"terminalId", Action::FirstTerminal, &KeyValuesNode::terminal_CID},
    {"terminalModel", Action::Copy, &KeyValuesNode::model},
    {"connected", Action::Copy, &KeyValuesNode::connected},
    {"createTime", Action::Copy, &KeyValuesNode::create_time},
    {"connectTime", Action::Copy, &KeyValuesNode::connect_time},
    {"terminalIPA", Action::Copy, &KeyValuesNode::terminal_IPA},
    {"terminalPort", Action::Copy, &KeyValuesNode::terminal_port},
    {"GlobalName", Action::Copy, &KeyValuesNode::global_name},
    {"ModuleName", Action::Copy, &KeyValuesNode::module_name},
    {"SessionManagerId", Action::Copy, &KeyValuesNode::session_mgr_id},
    {"ServiceInitCommand", Action::Copy, &KeyValuesNode::service_init_cmd},
    {"clientCreated", Action::Copy, &KeyValuesNode::client_created},
    {"controller", Action::Copy, &KeyValuesNode::controller},
    {"lifetime", Action::Copy, &KeyValuesNode::lifetime},
    {"terminalPackets", Action::Copy, &KeyValuesNode::terminal_packets},
    {"terminalLostPackets", Action::Copy, &KeyValuesNode::terminal_lost_packets},
    {"terminalConnectTime", Action::Copy, &KeyValuesNode::terminal_conn_time},
    {"terminalIdleTime", Action::Copy, &KeyValuesNode::terminal_idle_time},
    {"terminalBytes", Action::Copy, &KeyValuesNode::terminal_bytes},
    {"terminalLatency", Action::Copy, &KeyValuesNode::terminal_latency},
    {"encryptUpType", Action::Copy, &KeyValuesNode::enc_up_type},
    {"encryptDownType", Action::Copy, &KeyValuesNode::enc_down_type},
    {"authenticateUpType", Action::Copy, &KeyValuesNode::auth_up_type},
    {"authenticateDownType", Action::Copy, &KeyValuesNode::auth_down_type},
    {"securityMode", Action::Copy, &KeyValuesNode::security_mode},
};

// Every owned text of a record, for its release.
constexpr char *KeyValuesNode::*kTextFields[] = {
    &KeyValuesNode::terminal_CID,      &KeyValuesNode::model,
    &KeyValuesNode::firmware,          &KeyValuesNode::boot,
    &KeyValuesNode::connected,         &KeyValuesNode::MHgroup_name,
    &KeyValuesNode::create_time,       &KeyValuesNode::connect_time,
    &KeyValuesNode::terminal_IPA,      &KeyValuesNode::terminal_port,
    &KeyValuesNode::local_name,        &KeyValuesNode::global_name,
    &KeyValuesNode::module_name,       &KeyValuesNode::session_mgr_id,
    &KeyValuesNode::service_init_cmd,  &KeyValuesNode::token_name,
    &KeyValuesNode::client_created,    &KeyValuesNode::controller,
    &KeyValuesNode::lifetime,          &KeyValuesNode::terminal_packets,
    &KeyValuesNode::terminal_lost_packets, &KeyValuesNode::terminal_conn_time,
    &KeyValuesNode::terminal_idle_time, &KeyValuesNode::terminal_bytes,
    &KeyValuesNode::terminal_latency,  &KeyValuesNode::enc_up_type,
    &KeyValuesNode::enc_down_type,     &KeyValuesNode::auth_up_type,
    &KeyValuesNode::auth_down_type,    &KeyValuesNode::security_mode,
};

constexpr std::size_t kTextCount = std::size(kTextFields);

std::size_t text_slot(char *KeyValuesNode::*field)
{
    std::size_t slot = 0;
    while (slot < kTextCount && kTextFields[slot] != field)
        ++slot;
    return slot;
}

// What one block says, as views into the block, before the record is laid
// out in one allocation.
struct RecordFields {
    std::optional<std::string_view> texts[kTextCount];
    uint32_t flag = 0;
    int32_t index = -1;
};

bool same_key(std::string_view key, const char *name)
{
    return key.size() == std::strlen(name) && strncasecmp(key.data(), name, key.size()) == 0;
}

void apply_key(RecordFields &fields, std::string_view key, std::string_view value)
{
    for (const KeyRule &rule : kKeyTable) {
        if (!same_key(key, rule.key))
            continue;
        switch (rule.action) {
        case Action::Copy:
        case Action::ReplaceTerminal:
            fields.texts[text_slot(rule.field)] = value;
            break;
        case Action::FirstTerminal:
            if (!fields.texts[text_slot(rule.field)])
                fields.texts[text_slot(rule.field)] = value;
            break;
        case Action::PrimaryFlag:
            if (value == "false")
                fields.flag |= kSecondaryHead;
            break;
        case Action::XTokenFlag:
            fields.flag |= kXToken;
            break;
        case Action::Index:
            fields.index = text_to_int32(std::string(value).c_str());
            break;
        }
        return;
    }
}

// Whether `key` is one of the "~"-separated names of `selection`.
bool selected(std::string_view selection, std::string_view key)
{
    for (std::size_t at = selection.find(key); at != std::string_view::npos;
         at = selection.find(key, at + 1))
        if (at > 0 && selection[at - 1] == '~' && at + key.size() < selection.size() &&
            selection[at + key.size()] == '~')
            return true;
    return false;
}

void parse_record_line(RecordFields &fields, std::string_view line, std::string_view selection)
{
    std::string_view key, value;
    // Block texts are C strings: no NUL to look for.
    if (split_key_and_value_without_nul(line, key, value) && !key.empty() && !value.empty() &&
        selected(selection, key))
        apply_key(fields, key, value);
}

// The record and its texts in one allocation: released by one free().
KeyValuesNode *make_record(const RecordFields &fields)
{
    std::size_t bytes = sizeof(KeyValuesNode);
    for (const auto &text : fields.texts)
        bytes += text ? text->size() + 1 : 0;
    auto *node = static_cast<KeyValuesNode *>(safe_malloc(bytes));
    *node = KeyValuesNode{};
    char *at = reinterpret_cast<char *>(node + 1);
    for (std::size_t i = 0; i < kTextCount; ++i) {
        if (!fields.texts[i])
            continue;
        node->*kTextFields[i] = place_text(at, *fields.texts[i]);
    }
    node->flag = fields.flag;
    node->MHterm_index = fields.index;
    return node;
}

const char *sort_key(const KeyValuesNode *node, int mode)
{
    const char *key = mode == kSortByTerminal ? node->terminal_CID : node->token_name;
    return key ? key : "";
}

std::string make_selection(const char *const *fieldNames)
{
    std::string selection = kSelectionStart;
    for (const char *const *name = fieldNames; name && *name; ++name) {
        selection += *name;
        selection += '~';
    }
    return selection;
}

// One closed block as a record, or nullptr when it lacks a terminal
// identifier or a token name, or fails the filter.
KeyValuesNode *build_record(const char *blockText, const char *selection, const char *filter)
{
    RecordFields fields;
    std::string_view text(blockText ? blockText : "");
    while (!text.empty()) {
        std::size_t feed = text.find('\n');
        parse_record_line(fields, text.substr(0, feed), selection);
        text = feed == std::string_view::npos ? std::string_view() : text.substr(feed + 1);
    }
    const auto &terminal = fields.texts[text_slot(&KeyValuesNode::terminal_CID)];
    if (!terminal || !fields.texts[text_slot(&KeyValuesNode::token_name)])
        return nullptr;
    // The filter holds the identifiers wanted: the record's must lie in it.
    if (filter && std::string_view(filter).find(*terminal) == std::string_view::npos)
        return nullptr;
    return make_record(fields);
}

void parse_record_into(std::vector<KeyValuesNode *> &records, const char *blockText,
                       const char *selection, const char *filter)
{
    if (KeyValuesNode *node = build_record(blockText, selection, filter))
        records.push_back(node);
}

// Links the records of *list and then `records` in the order of `mode`: a
// stable sort, so equal keys keep their order of arrival, as the insertion
// of add_to_KeyValuesNode_list would leave them, in O(n log n).
void link_sorted(KeyValuesNode **list, std::vector<KeyValuesNode *> &records, int mode)
{
    std::vector<KeyValuesNode *> all;
    for (KeyValuesNode *node = *list; node; node = node->next)
        all.push_back(node);
    all.insert(all.end(), records.begin(), records.end());
    auto before = [mode](const KeyValuesNode *a, const KeyValuesNode *b) {
        return std::strcmp(sort_key(a, mode), sort_key(b, mode)) < 0;
    };
    std::stable_sort(all.begin(), all.end(), before);
    KeyValuesNode *head = nullptr;
    for (auto at = all.rbegin(); at != all.rend(); ++at) {
        (*at)->next = head;
        head = *at;
    }
    *list = head;
}

}  // namespace

int parse_record(KeyValuesNode **list, const char *blockText, int mode, const char *selection,
                 const char *filter)
{
    if (KeyValuesNode *node = build_record(blockText, selection, filter))
        add_to_KeyValuesNode_list(list, node, mode);
    return 0;
}

void add_to_KeyValuesNode_list(KeyValuesNode **list, KeyValuesNode *node, int mode)
{
    const char *key = sort_key(node, mode);
    if (!*list || std::strcmp(key, sort_key(*list, mode)) < 0) {
        node->next = *list;
        *list = node;
        return;
    }
    KeyValuesNode *after = *list;
    while (after->next && std::strcmp(sort_key(after->next, mode), key) <= 0)
        after = after->next;
    node->next = after->next;
    after->next = node;
}

void free_KeyValuesNode(KeyValuesNode *node)
{
    free(node);  // its texts live in the same allocation
}

void kx_free_KeyValuesNode_list(KeyValuesNode *head)
{
    while (head) {
        KeyValuesNode *next = head->next;
        free_KeyValuesNode(head);
        head = next;
    }
}

int getAuthMgrRecords(const char *host, int mode, const char *filter,
                      const char *const *fieldNames, KeyValuesNode **list, const char *command)
{
    if (!list)
        return KX_EINVAL;
    const std::string selection = make_selection(fieldNames);
    RecordFramer framer(kClient.name);
    std::vector<KeyValuesNode *> records;
    ReplyShape shape;
    Outcome outcome;
    try {
        outcome = ask_daemon(kClient, host, command ? command : "", [&](std::string_view line) {
            shape.line(line);
            if (const char *block = framer.line(line))
                parse_record_into(records, block, selection.c_str(), filter);
            return true;
        });
    } catch (...) {  // memory ran out: nothing half made is kept
        for (KeyValuesNode *node : records)
            free_KeyValuesNode(node);
        throw;
    }
    if (int error = outcome_error(outcome))
        return error;
    if (outcome == Outcome::Complete && !shape.holds_blocks()) {
        note_reply_fault(kClient.service, kClient.fallbackPort, host, "sent no record blocks");
        outcome = Outcome::ReadError;
    }
    if (outcome != Outcome::Complete) {  // a reply cut short is not a list
        for (KeyValuesNode *node : records)
            free_KeyValuesNode(node);
        kx_free_KeyValuesNode_list(*list);
        *list = nullptr;
        return -1;
    }
    link_sorted(list, records, mode);
    return 0;
}

int kx_getAuthMgrRecords(const char *host, int mode, const char *filter,
                         const char *const *fieldNames, KeyValuesNode **list)
{
    return getAuthMgrRecords(host ? host : "127.0.0.1", mode, filter, fieldNames, list,
                             "status\n");
}

}  // namespace kx
