// The simulated server's scenario: the failover group's hosts with their
// interfaces, daemons, terminals and sessions, read from a text file, and the
// replies that each host's daemons give.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kxsim {

struct Interface {
    std::string name;
    std::string ip, netmask, broadcast;  // dotted
    int lastPacket = 0;
    bool lan = false;
};

struct Host {
    std::string name;
    std::string address;  // 127.0.0.x: where its daemons listen
    bool trusted = false, offline = false, lanOk = false;
    bool down = false;  // listed by "gstatus", but its daemons do not listen
    int lastSeen = 0, timeOff = 0, period = 20;
    long startTime = 0;
    std::vector<Interface> interfaces;
    // The authentication manager.
    long amStartTime = 0;
    int desktops = 0;
    // The session manager: an error word, or the four figures.
    std::string smError;
    long smStartTime = 0;
    int sessions = 0, connected = 0, auth = 0;
    // Each terminal: its key=value lines, in the order written.
    std::vector<std::vector<std::string>> terminals;
    // What the replica tool prints on this host, one line each.
    std::vector<std::string> replicaLines;
    // Commands that its daemons answer late, and by how many milliseconds:
    // a member that is slow to answer.
    std::map<std::string, int> lateMs;
};

struct DhcpLine {
    std::string name;
    long available = 0;
};

// One user session of the served host, as its session processes leave it
// on disk: a display file, a session process file when it has a user, and an
// idle marker while it idles.
struct Session {
    std::string display;  // also the name of its files
    std::string token;
    std::string insertToken;  // the token unless given
    std::string type = "default";
    std::string uid;          // no session process file when empty
    long pid = 0;             // 0: the simulator's own
    bool idle = false;
};

struct Scenario {
    std::vector<Host> hosts;
    std::vector<Session> sessions;
    std::vector<DhcpLine> dhcp;  // the summary tool's lines
};

// Reads a scenario. On a bad line, returns nothing and puts "line N: why" in
// `error`.
std::optional<Scenario> parse_scenario(const std::string &text, std::string &error);

// Writes the scenario's session files under the product root `root`,
// making their directories. Returns "" or why it could not.
std::string write_sessions(const Scenario &scenario, const std::string &root);

// A scenario of `terminals` terminals spread evenly over `hosts` hosts
// (kxmember1 .. kxmemberM on 127.0.0.1 .. 127.0.0.M), as scenario text.
std::string generate_scenario(int terminals, int hosts);

// The replies of one host's daemons to each command.
std::string amstatus_reply(const Host &host);
std::string status_reply(const Host &host);
std::string gstatus_reply(const Scenario &scenario);
std::string smstatus_reply(const Host &host);

// The product's tools as ksh scripts: the DHCP summary tool, the replica
// tool (it prints the lines of the host named by KXSIM_HOST, this host's
// when unset) and the remote-command tool (it runs its command with
// KXSIM_HOST set to a host of the scenario).
std::string dhcp_tool(const Scenario &scenario);
std::string replica_tool(const Scenario &scenario);
std::string remote_command_tool(const Scenario &scenario);

}  // namespace kxsim
