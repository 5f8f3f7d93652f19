// The authentication manager's status records ("status"): one record per
// terminal, with the keys that the caller selects, in a sorted list.
#pragma once

#include <cstdint>

namespace kx {

// A record and its texts are one allocation: free_KeyValuesNode releases
// both, and a text is never released or replaced on its own.
struct KeyValuesNode {
    char *terminal_CID;          // "terminalCID", else "terminalId"
    char *model;                 // "terminalModel"
    char *firmware;              // "firmware"
    char *boot;                  // "boot"
    char *connected;             // "connected"
    char *MHgroup_name;          // "MultiheadGroupName"
    int32_t MHterm_index;        // "MultiheadTerminalIndex"; -1 when absent
    uint32_t flag;               // kSecondaryHead | kXToken
    char *create_time;           // "createTime"
    char *connect_time;          // "connectTime"
    char *terminal_IPA;          // "terminalIPA"
    char *terminal_port;         // "terminalPort"
    char *local_name;            // "LocalName"
    char *global_name;           // "GlobalName"
    char *module_name;           // "ModuleName"
    char *session_mgr_id;        // "SessionManagerId"
    char *service_init_cmd;      // "ServiceInitCommand"
    char *token_name;            // "tokenName"
    char *client_created;        // "clientCreated"
    char *controller;            // "controller"
    char *lifetime;              // "lifetime"
    char *terminal_packets;      // "terminalPackets"
    char *terminal_lost_packets; // "terminalLostPackets"
    char *terminal_conn_time;    // "terminalConnectTime"
    char *terminal_idle_time;    // "terminalIdleTime"
    char *terminal_bytes;        // "terminalBytes"
    char *terminal_latency;      // "terminalLatency"
    char *enc_up_type;           // "encryptUpType"
    char *enc_down_type;         // "encryptDownType"
    char *auth_up_type;          // "authenticateUpType"
    char *auth_down_type;        // "authenticateDownType"
    char *security_mode;         // "securityMode"
    KeyValuesNode *next;
};

// Bits of KeyValuesNode::flag.
constexpr uint32_t kSecondaryHead = 1;  // "MultiheadPrimary" was "false"
constexpr uint32_t kXToken = 2;         // the record carried "annotation.x_token"

// Sort modes: by terminal_CID, or (any other mode) by token_name.
constexpr int kSortByTerminal = 1;
constexpr int kSortByToken = 2;

// Asks the authentication manager on `host` ("127.0.0.1" when NULL) with
// "status" and inserts its records into *list (NULL on entry). `fieldNames`
// is a NULL-terminated list of the keys wanted besides terminalCID,
// terminalId, tokenName and firmware. Returns the client result
// (exchange.h): 0, KX_EUNREACHABLE, KX_ESOCKET, KX_ESOCKWRITE,
// KX_EAMTIMEOUT, or -1 after a reply cut short or without record blocks
// (the list then empty).
int kx_getAuthMgrRecords(const char *host, int mode, const char *filter,
                         const char *const *fieldNames, KeyValuesNode **list);
int getAuthMgrRecords(const char *host, int mode, const char *filter,
                      const char *const *fieldNames, KeyValuesNode **list, const char *command);

// Parses one closed record block and inserts its record, or drops it when it
// lacks a terminal identifier or a token name, or fails the filter. Returns 0.
int parse_record(KeyValuesNode **list, const char *blockText, int mode, const char *selection,
                 const char *filter);
// Inserts `node` after every record whose key is smaller or equal.
void add_to_KeyValuesNode_list(KeyValuesNode **list, KeyValuesNode *node, int mode);
void free_KeyValuesNode(KeyValuesNode *node);
void kx_free_KeyValuesNode_list(KeyValuesNode *head);

}  // namespace kx
