// kxs-simd: a simulated thin-client server. It serves the authentication
// manager ("amstatus", "status", "gstatus") and the session manager
// ("smstatus") of every host of a scenario on the host's loopback address,
// in the foreground, until SIGTERM or SIGINT. SIGHUP reads the scenario
// again: the daemons answer from the new one, whose hosts must be those of
// the first (names, addresses, down) since the listeners stay. A host's
// "late" lines make its daemons answer those commands late.
//
//   kxs-simd [--am-port N] [--sm-port N] [--root DIR] SCENARIO
//   kxs-simd --generate TERMINALS HOSTS      (a scenario on standard output)
//
// With --root, it first writes the product's tools (the DHCP summary tool,
// the replica tool and the remote-command tool) as scripts under DIR, for a
// product installed under /opt (BASEDIR=/opt).
#include "scenario.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> gStop{false};    // lock-free: set by the signal handlers
std::atomic<bool> gReload{false};

// How often a serving thread looks whether it is to stop.
constexpr int kStopCheckMs = 100;

void on_stop(int)
{
    gStop = true;
}

void on_reload(int)
{
    gReload = true;
}

// The system's text for an error number, from the standard library's
// thread-safe catalogue rather than strerror.
std::string error_text(int err)
{
    return std::generic_category().message(err);
}

// One listening socket: a daemon of one host.
struct Listener {
    int fd = -1;
    std::size_t host = 0;  // in the scenario's hosts
    bool authManager = false;
    int port = 0;
};

// What the daemons answer from: a scenario and its replies, replaced whole
// by a reload.
struct Replies {
    explicit Replies(kxsim::Scenario s) : scenario(std::move(s)), gstatus(kxsim::gstatus_reply(scenario))
    {
        for (const auto &host : scenario.hosts)
            status.push_back(kxsim::status_reply(host));
    }
    kxsim::Scenario scenario;
    std::string gstatus;
    std::vector<std::string> status;
};

// Whether a reload can keep the listeners: the same hosts, listening alike.
bool same_hosts(const kxsim::Scenario &a, const kxsim::Scenario &b)
{
    if (a.hosts.size() != b.hosts.size())
        return false;
    for (std::size_t i = 0; i < a.hosts.size(); ++i)
        if (a.hosts[i].name != b.hosts[i].name || a.hosts[i].address != b.hosts[i].address ||
            a.hosts[i].down != b.hosts[i].down)
            return false;
    return true;
}

// How long a client may take to send its command line.
constexpr int kCommandWaitMs = 5000;

int listen_on(const std::string &address, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0 || listen(fd, 64) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads one command line (without its line feed); empty when none came.
std::string read_command(int connection)
{
    std::string line;
    while (line.size() < 256) {
        pollfd entry{connection, POLLIN, 0};
        if (poll(&entry, 1, kCommandWaitMs) <= 0)
            return "";
        char byte;
        if (read(connection, &byte, 1) != 1)
            return "";
        if (byte == '\n')
            return line;
        line.push_back(byte);
    }
    return "";
}

bool send_all(int connection, const std::string &bytes)
{
    std::size_t at = 0;
    while (at < bytes.size() && !gStop) {
        ssize_t sent = send(connection, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (sent < 0 && errno != EINTR)
            return false;
        if (sent > 0)
            at += static_cast<std::size_t>(sent);
    }
    return at == bytes.size();
}

// Sleeps `ms` milliseconds, or less when a stop signal comes meanwhile.
void wait_unless_stopped(int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (auto now = std::chrono::steady_clock::now(); now < until && !gStop;
         now = std::chrono::steady_clock::now())
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(until - now,
                                                          std::chrono::milliseconds(kStopCheckMs)));
}

bool read_file(const char *path, std::string &text)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

class Server {
public:
    explicit Server(kxsim::Scenario scenario)
        : replies_(std::make_shared<const Replies>(std::move(scenario)))
    {
    }

    bool open(int amPort, int smPort)
    {
        const auto &hosts = replies_->scenario.hosts;
        for (std::size_t i = 0; i < hosts.size(); ++i) {
            const kxsim::Host &host = hosts[i];
            for (bool am : {true, false}) {
                if (host.down)
                    continue;
                int port = am ? amPort : smPort;
                int fd = listen_on(host.address, port);
                if (fd < 0) {
                    fprintf(stderr, "kxs-simd: cannot listen on %s:%d - %s\n",
                            host.address.c_str(), port, error_text(errno).c_str());
                    return false;
                }
                listeners_.push_back({fd, i, am, port});
                fprintf(stderr, "kxs-simd: %s %s on %s:%d\n", host.name.c_str(),
                        am ? "authentication manager" : "session manager", host.address.c_str(),
                        port);
            }
        }
        return true;
    }

    // Serves until a stop signal arrives. Each listener has a thread of its
    // own, so that the members of a group answer at the same time as real
    // servers do; each serves its connections one at a time. The signals
    // stay blocked in every thread but while this one waits for them.
    void run(const sigset_t &waitMask, const std::string &path)
    {
        std::vector<std::thread> servers;
        for (const auto &l : listeners_)
            servers.emplace_back([this, &l] { serve_until_stopped(l); });
        while (!gStop) {
            ppoll(nullptr, 0, nullptr, &waitMask);  // returns on a signal
            if (gReload.exchange(false))
                reload(path);
        }
        for (auto &server : servers)
            server.join();
    }

    ~Server()
    {
        for (const auto &l : listeners_)
            close(l.fd);
    }

private:
    std::shared_ptr<const Replies> replies() const
    {
        std::lock_guard lock(mutex_);
        return replies_;
    }

    void reload(const std::string &path)
    {
        std::string text, error;
        if (!read_file(path.c_str(), text)) {
            fprintf(stderr, "kxs-simd: cannot read %s; the scenario is kept\n", path.c_str());
            return;
        }
        auto scenario = kxsim::parse_scenario(text, error);
        if (!scenario || !same_hosts(*scenario, replies()->scenario)) {
            fprintf(stderr, "kxs-simd: %s: %s; the scenario is kept\n", path.c_str(),
                    scenario ? "its hosts differ" : error.c_str());
            return;
        }
        auto next = std::make_shared<const Replies>(std::move(*scenario));
        std::lock_guard lock(mutex_);
        replies_ = std::move(next);
        fprintf(stderr, "kxs-simd: reloaded\n");
    }

    std::string reply_to(const Listener &l, const std::string &command) const
    {
        const auto now = replies();
        const kxsim::Host &host = now->scenario.hosts[l.host];
        if (l.authManager && command == "amstatus")
            return kxsim::amstatus_reply(host);
        if (l.authManager && command == "status")
            return now->status[l.host];
        if (l.authManager && command == "gstatus")
            return now->gstatus;
        if (!l.authManager && command == "smstatus")
            return kxsim::smstatus_reply(host);
        return "";
    }

    void serve_until_stopped(const Listener &l)
    {
        while (!gStop) {
            pollfd entry{l.fd, POLLIN, 0};
            if (poll(&entry, 1, kStopCheckMs) > 0 && (entry.revents & POLLIN))
                serve_one(l);
        }
    }

    // How late the host of `l` answers `command`, in milliseconds.
    int lateness(const Listener &l, const std::string &command) const
    {
        const auto &late = replies()->scenario.hosts[l.host].lateMs;
        const auto found = late.find(command);
        return found == late.end() ? 0 : found->second;
    }

    void serve_one(const Listener &l)
    {
        int connection = accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            return;
        std::string command = read_command(connection);
        const int lateMs = lateness(l, command);
        wait_unless_stopped(lateMs);
        std::string reply = reply_to(l, command);
        bool sent = send_all(connection, reply);
        const std::string late = lateMs ? " " + std::to_string(lateMs) + " ms late" : "";
        fprintf(stderr, "kxs-simd: %s:%d \"%s\" -> %zu bytes%s%s\n",
                replies()->scenario.hosts[l.host].address.c_str(), l.port, command.c_str(),
                reply.size(), late.c_str(), sent ? "" : " (cut short)");
        close(connection);
    }

    mutable std::mutex mutex_;
    std::shared_ptr<const Replies> replies_;  // under mutex_
    std::vector<Listener> listeners_;
};

// Writes the scenario's product tools under `root`; false after a message.
bool write_tools(const std::string &root, const kxsim::Scenario &scenario)
{
    namespace fs = std::filesystem;
    const std::string base = root + "/opt/ZARNkx";
    const struct {
        const char *path;
        std::string script;
    } tools[] = {
        {"/lib/kxsdhcpsum", kxsim::dhcp_tool(scenario)},
        {"/sbin/kxreplica", kxsim::replica_tool(scenario)},
        {"/lib/kxrcmd", kxsim::remote_command_tool(scenario)},
    };
    for (const auto &tool : tools) {
        const std::string file = base + tool.path;
        std::error_code ec;
        fs::create_directories(fs::path(file).parent_path(), ec);
        if (!ec)
            fs::permissions(fs::path(file).parent_path(), fs::perms::group_write | fs::perms::others_write,
                            fs::perm_options::remove, ec);
        std::ofstream out(file, std::ios::trunc);
        out << tool.script;
        out.close();
        // The library runs only tools that no other user could have changed.
        if (ec || !out || chmod(file.c_str(), 0755) != 0) {
            fprintf(stderr, "kxs-simd: cannot write %s\n", file.c_str());
            return false;
        }
        fprintf(stderr, "kxs-simd: wrote %s\n", file.c_str());
    }
    return true;
}

int usage()
{
    fprintf(stderr, "usage: kxs-simd [--am-port N] [--sm-port N] [--root DIR] SCENARIO\n"
                    "       kxs-simd --generate TERMINALS HOSTS\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "--generate") {
        int terminals = atoi(args[1].c_str());
        int hosts = atoi(args[2].c_str());
        if (terminals < 0 || hosts < 1 || hosts > 254)
            return usage();
        std::cout << kxsim::generate_scenario(terminals, hosts);
        return 0;
    }
    int amPort = 7010, smPort = 7007;
    std::string path, root;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--root" && i + 1 < args.size() && args[i + 1][0] == '/') {
            root = args[++i];
        } else if ((args[i] == "--am-port" || args[i] == "--sm-port") && i + 1 < args.size()) {
            int &port = args[i] == "--am-port" ? amPort : smPort;
            port = atoi(args[++i].c_str());
        } else if (path.empty() && args[i][0] != '-')
            path = args[i];
        else
            return usage();
    }
    if (path.empty())
        return usage();
    std::string text, error;
    if (!read_file(path.c_str(), text)) {
        fprintf(stderr, "kxs-simd: cannot read %s\n", path.c_str());
        return 1;
    }
    auto scenario = kxsim::parse_scenario(text, error);
    if (!scenario) {
        fprintf(stderr, "kxs-simd: %s: %s\n", path.c_str(), error.c_str());
        return 1;
    }
    // The sessions are files of the served host: they need its product root.
    if (!root.empty()) {
        error = kxsim::write_sessions(*scenario, root);
        if (!error.empty()) {
            fprintf(stderr, "kxs-simd: %s\n", error.c_str());
            return 1;
        }
        if (!write_tools(root, *scenario))
            return 1;
    } else if (!scenario->sessions.empty()) {
        fprintf(stderr, "kxs-simd: sessions not written: no --root\n");
    }

    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGHUP);
    struct sigaction action {};
    action.sa_handler = on_stop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = on_reload;
    sigaction(SIGHUP, &action, nullptr);

    Server server(std::move(*scenario));
    if (!server.open(amPort, smPort))
        return 1;
    fprintf(stderr, "kxs-simd: ready\n");
    server.run(waitMask, path);
    fprintf(stderr, "kxs-simd: stopped\n");
    return 0;
}
