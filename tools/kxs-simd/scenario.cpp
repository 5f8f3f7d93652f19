#include "scenario.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace kxsim {

namespace {

std::vector<std::string> split_words(const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string word;
    while (in >> word)
        words.push_back(word);
    return words;
}

bool is_loopback(const std::string &address)
{
    in_addr parsed{};
    return inet_pton(AF_INET, address.c_str(), &parsed) == 1 &&
           (ntohl(parsed.s_addr) >> 24) == 127;
}

bool to_number(const std::string &text, long &out)
{
    char *end = nullptr;
    errno = 0;
    long value = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || errno)
        return false;
    out = value;
    return true;
}

// "key value" options after the fixed words of a line.
class Options {
public:
    Options(const std::vector<std::string> &words, std::size_t from) : words_(words), at_(from) {}
    bool more() const { return at_ < words_.size(); }
    const std::string &next() { return words_[at_++]; }
    bool number(long &out) { return more() && to_number(next(), out); }

private:
    const std::vector<std::string> &words_;
    std::size_t at_;
};

std::string hex_address(const std::string &dotted)
{
    in_addr parsed{};
    inet_pton(AF_INET, dotted.c_str(), &parsed);
    char text[16];
    snprintf(text, sizeof text, "%08x", ntohl(parsed.s_addr));
    return text;
}

Host *find_host(Scenario &scenario, const std::string &name)
{
    for (Host &host : scenario.hosts)
        if (host.name == name)
            return &host;
    return nullptr;
}

std::string parse_host(Scenario &scenario, const std::vector<std::string> &w)
{
    if (w.size() < 3)
        return "host needs a name and an address";
    if (find_host(scenario, w[1]))
        return "host " + w[1] + " given twice";
    if (!is_loopback(w[2]))
        return "host address " + w[2] + " is not a loopback address";
    Host host;
    host.name = w[1];
    host.address = w[2];
    Options o(w, 3);
    while (o.more()) {
        const std::string key = o.next();
        long n = 0;
        if (key == "trusted")
            host.trusted = true;
        else if (key == "offline")
            host.offline = true;
        else if (key == "lan_ok")
            host.lanOk = true;
        else if (key == "down")
            host.down = true;
        else if (key == "lastseen" && o.number(n))
            host.lastSeen = static_cast<int>(n);
        else if (key == "timeoff" && o.number(n))
            host.timeOff = static_cast<int>(n);
        else if (key == "period" && o.number(n))
            host.period = static_cast<int>(n);
        else if (key == "starttime" && o.number(n))
            host.startTime = n;
        else
            return "bad host option " + key;
    }
    scenario.hosts.push_back(host);
    return "";
}

std::string parse_interface(Host &host, const std::vector<std::string> &w)
{
    if (w.size() < 6)
        return "interface needs host, name, address, netmask and broadcast";
    Interface entry{w[2], w[3], w[4], w[5]};
    for (const std::string *dotted : {&entry.ip, &entry.netmask, &entry.broadcast}) {
        in_addr parsed{};
        if (inet_pton(AF_INET, dotted->c_str(), &parsed) != 1)
            return "bad dotted address " + *dotted;
    }
    Options o(w, 6);
    while (o.more()) {
        const std::string key = o.next();
        long n = 0;
        if (key == "lan")
            entry.lan = true;
        else if (key == "lastpkt" && o.number(n))
            entry.lastPacket = static_cast<int>(n);
        else
            return "bad interface option " + key;
    }
    host.interfaces.push_back(entry);
    return "";
}

std::string parse_pairs(Host &host, const std::vector<std::string> &w, bool sessionManager)
{
    for (std::size_t i = 2; i < w.size(); ++i) {
        auto eq = w[i].find('=');
        long n = 0;
        if (sessionManager && w[i] == "error" && i + 1 < w.size()) {
            host.smError = w[++i];
            continue;
        }
        if (eq == std::string::npos || !to_number(w[i].substr(eq + 1), n))
            return "expected key=number, got " + w[i];
        const std::string key = w[i].substr(0, eq);
        if (sessionManager && key == "stime")
            host.smStartTime = n;
        else if (sessionManager && key == "sessions")
            host.sessions = static_cast<int>(n);
        else if (sessionManager && key == "connected")
            host.connected = static_cast<int>(n);
        else if (sessionManager && key == "auth")
            host.auth = static_cast<int>(n);
        else if (!sessionManager && key == "starttime")
            host.amStartTime = n;
        else if (!sessionManager && key == "desktops")
            host.desktops = static_cast<int>(n);
        else
            return "unknown key " + key;
    }
    return "";
}

std::string parse_terminal(Host &host, const std::vector<std::string> &w)
{
    std::vector<std::string> pairs;
    for (std::size_t i = 2; i < w.size(); ++i) {
        if (w[i].find('=') == std::string::npos)
            return "expected key=value, got " + w[i];
        pairs.push_back(w[i]);
    }
    host.terminals.push_back(pairs);
    return "";
}

// Where the session processes leave their files, under the product root.
constexpr const char *kDisplayDir = "/var/opt/ZARNkx/displays/";
constexpr const char *kSessionProcDir = "/tmp/ZARNkx/session_proc/";
constexpr const char *kIdleDir = "/var/opt/ZARNkx/idle/";
// The readers take a display file path of fewer than 100 characters.
constexpr std::size_t kDisplayNameMax = 99 - 25;

std::string parse_session(Scenario &scenario, const std::vector<std::string> &w)
{
    if (w.size() < 3)
        return "session needs a display and a token";
    Session session;
    session.display = w[1];
    session.token = session.insertToken = w[2];
    if (session.display[0] == '.' || session.display.find('/') != std::string::npos ||
        session.display.size() > kDisplayNameMax)
        return "session display " + session.display + " cannot name a file";
    for (std::size_t i = 3; i < w.size(); ++i) {
        auto eq = w[i].find('=');
        const std::string key = w[i].substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : w[i].substr(eq + 1);
        if (w[i] == "idle")
            session.idle = true;
        else if (key == "uid" && !value.empty())
            session.uid = value;
        else if (key == "insert" && !value.empty())
            session.insertToken = value;
        else if (key == "type" && !value.empty())
            session.type = value;
        else if (key != "pid" || !to_number(value, session.pid) || session.pid <= 0)
            return "bad session option " + w[i];
    }
    scenario.sessions.push_back(session);
    return "";
}

bool write_file(const std::filesystem::path &path, const std::string &contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    return static_cast<bool>(out.flush());
}

std::string parse_dhcp(Scenario &scenario, const std::vector<std::string> &w)
{
    long available = 0;
    if (w.size() != 3 || !to_number(w[2], available))
        return "dhcp needs a name and a number";
    scenario.dhcp.push_back({w[1], available});
    return "";
}

std::string parse_replica(Host &host, const std::vector<std::string> &w)
{
    std::string line;
    for (std::size_t i = 2; i < w.size(); ++i)
        line += (i > 2 ? " " : "") + w[i];
    if (line.empty())
        return "replica needs the text of a line";
    host.replicaLines.push_back(line);
    return "";
}

// Longer than any deadline of the library's clients.
constexpr long kMaxLateMs = 60000;

std::string parse_late(Host &host, const std::vector<std::string> &w)
{
    long ms = 0;
    if (w.size() != 4 || !to_number(w[3], ms) || ms < 0 || ms > kMaxLateMs)
        return "late needs a host, a command and 0 to " + std::to_string(kMaxLateMs) +
               " milliseconds";
    host.lateMs[w[2]] = static_cast<int>(ms);
    return "";
}

// One word for the shell, whatever it holds.
std::string quoted(const std::string &text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string parse_line(Scenario &scenario, const std::vector<std::string> &w)
{
    const std::string &kind = w[0];
    if (kind == "host")
        return parse_host(scenario, w);
    if (kind == "session")
        return parse_session(scenario, w);
    if (kind == "dhcp")
        return parse_dhcp(scenario, w);
    if (w.size() < 2)
        return kind + " needs a host name";
    Host *host = find_host(scenario, w[1]);
    if (!host)
        return "unknown host " + w[1] + " (declare it with a host line first)";
    if (kind == "interface")
        return parse_interface(*host, w);
    if (kind == "sessionmanager")
        return parse_pairs(*host, w, true);
    if (kind == "authmanager")
        return parse_pairs(*host, w, false);
    if (kind == "terminal")
        return parse_terminal(*host, w);
    if (kind == "replica")
        return parse_replica(*host, w);
    if (kind == "late")
        return parse_late(*host, w);
    return "unknown line kind " + kind;
}

}  // namespace

std::optional<Scenario> parse_scenario(const std::string &text, std::string &error)
{
    Scenario scenario;
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        auto words = split_words(line);
        if (words.empty() || words[0][0] == '#')
            continue;
        std::string why = parse_line(scenario, words);
        if (!why.empty()) {
            error = "line " + std::to_string(number) + ": " + why;
            return std::nullopt;
        }
    }
    return scenario;
}

std::string write_sessions(const Scenario &scenario, const std::string &root)
{
    namespace fs = std::filesystem;
    const fs::path displays = root + kDisplayDir, procs = root + kSessionProcDir,
                   idle = root + kIdleDir;
    std::error_code ec;
    for (const fs::path &dir : {displays, procs, idle})
        if (fs::create_directories(dir, ec); ec)
            return "cannot make " + dir.string() + ": " + ec.message();
    for (const Session &s : scenario.sessions) {
        const long pid = s.pid > 0 ? s.pid : static_cast<long>(getpid());
        // The display file first: a session process file older than it is stale.
        bool written = write_file(displays / s.display,
                                  "TOKEN=" + s.token + "\nINSERT_TOKEN=" + s.insertToken +
                                      "\nDISPLAY=" + s.display + "\nTOKEN_SET=" + s.token +
                                      "\nSESSION_TYPE=" + s.type + "\n");
        if (written && !s.uid.empty())
            written = write_file(procs / s.display, "XID=" + s.display + "\nuid=" + s.uid +
                                                        "\npid=" + std::to_string(pid) +
                                                        "\nprogram=Xsession\n");
        if (written && s.idle)
            written = write_file(idle / (s.display + ".pid"), std::to_string(pid) + "\n");
        if (!written)
            return "cannot write the files of session " + s.display;
    }
    return "";
}

std::string generate_scenario(int terminals, int hosts)
{
    std::ostringstream out;
    out << "# " << terminals << " terminals over " << hosts << " hosts\n";
    for (int h = 1; h <= hosts; ++h) {
        std::string name = "kxmember" + std::to_string(h);
        out << "host " << name << " 127.0.0." << h << " trusted lan_ok lastseen " << h
            << " period 20 starttime 1700000000\n"
            << "interface " << name << " lo 127.0.0." << h << " 255.0.0.0 127.255.255.255 lan\n"
            << "authmanager " << name << " starttime=1700000100 desktops=" << terminals / hosts
            << "\n"
            << "sessionmanager " << name << " stime=1700000050 sessions=" << terminals / hosts
            << " connected=" << terminals / hosts << " auth=0\n";
    }
    // Identifiers in a scrambled order, so that the client's ordering works.
    for (int t = 0; t < terminals; ++t) {
        unsigned id = static_cast<unsigned>((t * 2654435761u) % 0xffffffu);
        char terminalId[32];
        snprintf(terminalId, sizeof terminalId, "P1.0800%06X", id);
        out << "terminal kxmember" << 1 + t % hosts << " terminalId=" << terminalId
            << " terminalCID=" << terminalId << " tokenName=Payflex.50" << t
            << " terminalIPA=10.0." << (t / 250) % 250 << "." << 1 + t % 250
            << " firmware=4.2 terminalConnectTime=" << 100 + t % 900
            << " terminalPackets=" << (t % 7 == 0 ? 0 : 1000 + t)
            << " terminalLostPackets=" << t % 13 << "\n";
    }
    return out.str();
}

std::string amstatus_reply(const Host &host)
{
    return "starttime=" + std::to_string(host.amStartTime) +
           "\ndesktops=" + std::to_string(host.desktops) + "\n";
}

std::string status_reply(const Host &host)
{
    std::string reply;
    for (const auto &terminal : host.terminals) {
        reply += "begin\n";
        for (const auto &pair : terminal)
            reply += pair + "\n";
        reply += "end\n";
    }
    return reply;
}

std::string gstatus_reply(const Scenario &scenario)
{
    std::ostringstream out;
    for (const Host &host : scenario.hosts) {
        out << "host " << host.name << " lastseen " << host.lastSeen << " timeoff "
            << host.timeOff << " addr " << hex_address(host.address) << " numifs "
            << host.interfaces.size() << " period " << host.period << " starttime "
            << host.startTime << (host.trusted ? " TRUSTED" : "")
            << (host.offline ? " OFFLINE" : "") << (host.lanOk ? " LAN_OK" : "") << "\n";
        for (const Interface &entry : host.interfaces)
            out << "interface " << entry.name << " ip " << hex_address(entry.ip) << " netmask "
                << hex_address(entry.netmask) << " broadcast " << hex_address(entry.broadcast)
                << " lastpkt " << entry.lastPacket << (entry.lan ? " LAN" : "") << "\n";
    }
    return out.str();
}

std::string smstatus_reply(const Host &host)
{
    if (!host.smError.empty())
        return "ERR/smstatus " + host.smError + "\n";
    return "OK/smstatus stime=" + std::to_string(host.smStartTime) +
           " sessions=" + std::to_string(host.sessions) +
           " connected=" + std::to_string(host.connected) + " auth=" + std::to_string(host.auth) +
           "\n";
}

std::string dhcp_tool(const Scenario &scenario)
{
    std::string script = "#!/bin/ksh\n# The DHCP summary of a kxs-simd scenario.\n";
    for (const DhcpLine &line : scenario.dhcp)
        script += "printf '%s\\t%s\\n' " + quoted(line.name) + " " +
                  quoted(std::to_string(line.available)) + "\n";
    return script;
}

std::string replica_tool(const Scenario &scenario)
{
    std::string script = "#!/bin/ksh\n# The replica list of a kxs-simd scenario's host.\n"
                         "host=${KXSIM_HOST:-$(hostname)}\ncase $host in\n";
    for (const Host &host : scenario.hosts) {
        script += quoted(host.name) + ")";
        for (const std::string &line : host.replicaLines)
            script += " printf '%s\\n' " + quoted(line) + ";";
        script += " ;;\n";
    }
    return script + "*) print -u2 \"kxreplica: no host $host\"; exit 1 ;;\nesac\n";
}

std::string remote_command_tool(const Scenario &scenario)
{
    std::string hosts;
    for (const Host &host : scenario.hosts)
        hosts += (hosts.empty() ? "" : "|") + quoted(host.name);
    if (hosts.empty())
        hosts = "''";
    return "#!/bin/ksh\n# Runs a command on a kxs-simd scenario's host: here, as that host.\n"
           "[ $# -ge 2 ] || { print -u2 'usage: kxrcmd HOST COMMAND...'; exit 2; }\n"
           "host=$1; shift\ncase $host in\n" +
           hosts +
           ") ;;\n*) print -u2 \"kxrcmd: unknown host $host\"; exit 1 ;;\nesac\n"
           "KXSIM_HOST=$host exec \"$@\"\n";
}

}  // namespace kxsim
