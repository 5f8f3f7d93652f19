#include "auth_mgr.h"

#include "kxerrno.h"
#include "exchange.h"
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

// A reply cut short is no list: its records are released.
constexpr DaemonClient kClient{"getAuthMgrRecords", "b",  false, false, kAuthMgrService,
                               kAuthMgrFallbackPort, true, Opener::Plain, false};
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

// What one block says so far, before the record is laid out in one
// allocation: the values of its selected keys copied as the lines come (a
// block stays within kMaxBlockLength, so they stay small).
class RecordFields {
public:
    void set_text(std::size_t slot, std::string_view value)
    {
        texts_[slot] = Span{values_.size(), value.size()};
        values_.append(value);
    }
    bool has_text(std::size_t slot) const { return texts_[slot].has_value(); }
    // Empty again for the next block, its buffer kept.
    void clear()
    {
        values_.clear();
        for (auto &text : texts_)
            text.reset();
        flag = 0;
        index = -1;
    }
    std::optional<std::string_view> text(std::size_t slot) const
    {
        if (!texts_[slot])
            return std::nullopt;
        return std::string_view(values_).substr(texts_[slot]->at, texts_[slot]->length);
    }
    uint32_t flag = 0;
    int32_t index = -1;

private:
    struct Span {
        std::size_t at, length;
    };
    std::string values_;
    std::optional<Span> texts_[kTextCount];
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
            fields.set_text(text_slot(rule.field), value);
            break;
        case Action::FirstTerminal:
            if (!fields.has_text(text_slot(rule.field)))
                fields.set_text(text_slot(rule.field), value);
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
    // Reply lines and block texts end at their first NUL: none to look for.
    if (split_key_and_value_without_nul(line, key, value) && !key.empty() && !value.empty() &&
        selected(selection, key))
        apply_key(fields, key, value);
}

// The record and its texts in one allocation: released by one free().
KeyValuesNode *make_record(const RecordFields &fields)
{
    std::size_t bytes = sizeof(KeyValuesNode);
    for (std::size_t i = 0; i < kTextCount; ++i)
        bytes += fields.has_text(i) ? fields.text(i)->size() + 1 : 0;
    auto *node = static_cast<KeyValuesNode *>(safe_malloc(bytes));
    *node = KeyValuesNode{};
    char *at = reinterpret_cast<char *>(node + 1);
    for (std::size_t i = 0; i < kTextCount; ++i) {
        if (fields.has_text(i))
            node->*kTextFields[i] = place_text(at, *fields.text(i));
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

// One record block, parsed line by line as the lines come; closed, it is a
// record unless it lacks a terminal identifier or a token name, or fails the
// filter (which holds the identifiers wanted: the record's must lie in it).
class RecordBlock {
public:
    RecordBlock(std::string_view selection, const char *filter)
        : selection_(selection), filter_(filter)
    {
    }
    void open() { fields_.clear(); }
    void line(std::string_view line) { parse_record_line(fields_, line, selection_); }
    // A block text: its lines, split at line feeds.
    void lines(std::string_view text)
    {
        while (!text.empty()) {
            std::size_t feed = text.find('\n');
            line(text.substr(0, feed));
            text = feed == std::string_view::npos ? std::string_view() : text.substr(feed + 1);
        }
    }
    // The record of the block, or nullptr; the next block starts afresh.
    KeyValuesNode *take()
    {
        const auto terminal = fields_.text(text_slot(&KeyValuesNode::terminal_CID));
        KeyValuesNode *node = nullptr;
        if (terminal && fields_.has_text(text_slot(&KeyValuesNode::token_name)) &&
            (!filter_ || std::string_view(filter_).find(*terminal) != std::string_view::npos))
            node = make_record(fields_);
        open();
        return node;
    }

private:
    std::string_view selection_;
    const char *filter_;
    RecordFields fields_;
};

// The records of a reply, in arrival order; released unless handed over.
class ReplyRecords {
public:
    ReplyRecords(std::string_view selection, const char *filter) : block_(selection, filter) {}
    ~ReplyRecords()
    {
        for (KeyValuesNode *node : records_)
            free_KeyValuesNode(node);
    }
    ReplyRecords(const ReplyRecords &) = delete;
    ReplyRecords &operator=(const ReplyRecords &) = delete;

    void open() { block_.open(); }
    void line(std::string_view line) { block_.line(line); }
    void close()
    {
        if (KeyValuesNode *node = block_.take()) {
            try {
                records_.push_back(node);
            } catch (...) {  // memory ran out
                free_KeyValuesNode(node);
                throw;
            }
        }
    }
    std::vector<KeyValuesNode *> &records() { return records_; }

private:
    RecordBlock block_;
    std::vector<KeyValuesNode *> records_;
};

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
    RecordBlock block(selection ? selection : "", filter);
    block.lines(blockText ? blockText : "");
    if (KeyValuesNode *node = block.take())
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
    BlockReply<ReplyRecords> reply(kClient.name, selection, filter);
    const Outcome outcome = ask_daemon(kClient, host, command ? command : "", reply);
    if (outcome == Outcome::Complete && !reply.holds_blocks())
        note_reply_fault(kClient.service, kClient.fallbackPort, host, "sent no record blocks");
    const int result = client_result(kClient, outcome, reply.holds_blocks());
    if (result == -1) {  // no list: what came is released, and the list emptied
        kx_free_KeyValuesNode_list(*list);
        *list = nullptr;
    }
    if (result == 0) {
        link_sorted(list, reply.block().records(), mode);
        reply.block().records().clear();  // the list holds them now
    }
    return result;
}

int kx_getAuthMgrRecords(const char *host, int mode, const char *filter,
                         const char *const *fieldNames, KeyValuesNode **list)
{
    return getAuthMgrRecords(host ? host : "127.0.0.1", mode, filter, fieldNames, list,
                             "status\n");
}

}  // namespace kx
