#include "slapd_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kxtest {
namespace {

constexpr const char *kSlapd = "/usr/sbin/slapd";
constexpr const char *kSlapadd = "/usr/sbin/slapadd";
constexpr const char *kLdapadd = "/usr/bin/ldapadd";
constexpr const char *kSystemSchemaDir = "/etc/ldap/schema";
constexpr const char *kModuleDir = "/usr/lib/ldap";

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// A schema LDIF without its comment lines, ready to go into the config.
std::string schema_entries(const std::string &path)
{
    std::istringstream in(read_file(path));
    std::string out, line;
    while (std::getline(in, line))
        if (line.empty() || line[0] != '#')
            out += line + "\n";
    if (out.find("dn:") == std::string::npos)
        throw std::runtime_error("no schema in " + path);
    return out + "\n";
}

// The regular expression that matches slapd's SASL name for a CRAM-MD5
// identity that is a DN: slapd escapes its "=" and "," as \3D and \2C.
std::string cram_md5_name_pattern(const std::string &dn)
{
    std::string rx = "^uid=";
    for (char c : dn) {
        if (c == '=')
            rx += ".3D";
        else if (c == ',')
            rx += ".2C";
        else if (strchr(".[]()*+?{}|^$\\\"", c))
            rx += std::string("\\") + c;
        else
            rx += c;
    }
    return rx + ",cn=cram-md5,cn=auth$";
}

int free_loopback_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

bool accepts_connections(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &log)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    if (in >= 0)
        dup2(in, 0);
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// Waits up to `seconds` for the child; kills it when it takes longer.
int wait_bounded(pid_t pid, int seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (true) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0 && errno != EINTR)
            return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

int run_program(const std::vector<std::string> &argv, const std::string &log, int seconds)
{
    pid_t pid = spawn(argv, log);
    return pid < 0 ? -1 : wait_bounded(pid, seconds);
}

SlapdServer::SlapdServer(std::vector<std::string> cramMd5Users)
{
    std::string pattern = (fs::temp_directory_path() / "kxsmon-slapd.XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    fs::create_directory(dir_ + "/config");
    fs::create_directory(dir_ + "/db");
    write_config(cramMd5Users);
    if (run_program({kSlapadd, "-n0", "-F", dir_ + "/config", "-l", dir_ + "/config.ldif"},
                    dir_ + "/slapadd.log") != 0)
        throw std::runtime_error("slapadd of the configuration failed: " + read_file(dir_ + "/slapadd.log"));
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt)
        started = start_on_free_port();
    if (!started)
        throw std::runtime_error("slapd did not start: " + read_file(dir_ + "/slapd.log"));
    add(std::string("dn: ") + kSuffix + "\nobjectClass: organization\no: kxtest\n\n"
        "dn: kxName=desktops," + kSuffix + "\nobjectClass: kxContainer\nkxName: desktops\n");
}

SlapdServer::~SlapdServer()
{
    stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string SlapdServer::uri() const
{
    return "ldap://127.0.0.1:" + std::to_string(port_) + "/";
}

void SlapdServer::write_config(const std::vector<std::string> &cramMd5Users) const
{
    std::ostringstream c;
    c << "dn: cn=config\nobjectClass: olcGlobal\ncn: config\n"
      << "olcPidFile: " << dir_ << "/slapd.pid\n"
      // The monitoring connection binds as "cn=anonymous" without a password.
      << "olcAllows: bind_anon_dn\n"
      // CRAM-MD5 reads the clear-text userPassword of the mapped entry.
      << "olcSaslAuxprops: slapd\n";
    for (std::size_t i = 0; i < cramMd5Users.size(); ++i)
        c << "olcAuthzRegexp: {" << i << "}\"" << cram_md5_name_pattern(cramMd5Users[i]) << "\" \""
          << cramMd5Users[i] << "\"\n";
    c << "\ndn: cn=module{0},cn=config\nobjectClass: olcModuleList\ncn: module{0}\n"
      << "olcModulePath: " << kModuleDir << "\nolcModuleLoad: back_mdb\n\n"
      << "dn: cn=schema,cn=config\nobjectClass: olcSchemaConfig\ncn: schema\n\n"
      << schema_entries(std::string(kSystemSchemaDir) + "/core.ldif")
      << schema_entries(std::string(kSystemSchemaDir) + "/cosine.ldif")
      << schema_entries(std::string(KXS_SCHEMA_DIR) + "/kxdesktop.ldif")
      << "dn: olcDatabase={-1}frontend,cn=config\nobjectClass: olcDatabaseConfig\n"
      << "objectClass: olcFrontendConfig\nolcDatabase: {-1}frontend\n\n"
      << "dn: olcDatabase={0}config,cn=config\nobjectClass: olcDatabaseConfig\n"
      << "olcDatabase: {0}config\nolcAccess: {0}to * by * none\n\n"
      << "dn: olcDatabase={1}mdb,cn=config\nobjectClass: olcDatabaseConfig\nobjectClass: olcMdbConfig\n"
      << "olcDatabase: {1}mdb\nolcSuffix: " << kSuffix << "\nolcRootDN: " << kRootDn << "\n"
      << "olcRootPW: " << kRootPassword << "\nolcDbDirectory: " << dir_ << "/db\n"
      << "olcDbMaxSize: 16777216\n"
      << "olcAccess: {0}to attrs=userPassword by anonymous auth by * none\n"
      << "olcAccess: {1}to * by * read\n";
    std::ofstream(dir_ + "/config.ldif") << c.str();
}

bool SlapdServer::start_on_free_port()
{
    port_ = free_loopback_port();
    if (port_ <= 0)
        return false;
    std::string listen = "ldap://127.0.0.1:" + std::to_string(port_) + "/";
    pid_ = spawn({kSlapd, "-F", dir_ + "/config", "-h", listen, "-d", "0"}, dir_ + "/slapd.log");
    if (pid_ < 0)
        return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {  // gave up, e.g. the port was taken
            pid_ = -1;
            return false;
        }
        if (accepts_connections(port_))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    return false;
}

void SlapdServer::add(const std::string &ldif) const
{
    std::string file = dir_ + "/add.ldif";
    std::ofstream(file, std::ios::trunc) << ldif;
    unlink((dir_ + "/ldapadd.log").c_str());
    int rc = run_program({kLdapadd, "-x", "-H", uri(), "-D", kRootDn, "-w", kRootPassword, "-o",
                          "nettimeout=5", "-f", file},
                         dir_ + "/ldapadd.log");
    if (rc != 0)
        throw std::runtime_error("ldapadd failed: " + read_file(dir_ + "/ldapadd.log"));
}

void SlapdServer::stop()
{
    if (pid_ <= 0)
        return;
    if (paused_)
        resume();
    kill(pid_, SIGTERM);
    wait_bounded(pid_, 10);  // kills it when it does not end in time
    pid_ = -1;
}

void SlapdServer::pause()
{
    if (pid_ > 0 && kill(pid_, SIGSTOP) == 0)
        paused_ = true;
}

void SlapdServer::resume()
{
    if (pid_ > 0 && kill(pid_, SIGCONT) == 0)
        paused_ = false;
}

std::string admin_config_for(const SlapdServer &server, const std::string &desktopDb,
                             const std::string &userDb, const std::string &extra)
{
    return "admin.server.name=127.0.0.1\n"
           "admin.server.port=" + std::to_string(server.port()) + "\n"
           "admin.subtree=" + std::string(SlapdServer::kSuffix) + "\n"
           "admin.dstatus.dbfile=" + desktopDb + "\n"
           "admin.ustatus.dbfile=" + userDb + "\n" + extra;
}

}  // namespace kxtest
