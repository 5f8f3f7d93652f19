#include "slapd_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kxtest {
namespace {

constexpr const char *kSuffix = "o=kxtest";
constexpr const char *kRootDn = "cn=root,o=kxtest";
constexpr const char *kRootPassword = "rootsecret";

std::string read_file(const std::string &path)
{
    std::ostringstream all;
    all << std::ifstream(path, std::ios::binary).rdbuf();
    return all.str();
}

// The regular expression that matches slapd's SASL name for a CRAM-MD5
// identity that is a DN: slapd escapes its "=" and "," as \3D and \2C.
std::string cram_md5_name_pattern(const std::string &dn)
{
    std::string rx = "^uid=";
    for (char c : dn)
        rx += c == '=' ? std::string(".3D") : c == ',' ? std::string(".2C") : std::string(1, c);
    return rx + ",cn=cram-md5,cn=auth$";
}

// Port 0: binds a free loopback port and returns it. Else connects to the
// loopback port and returns it when that succeeds. -1 otherwise.
int probe_loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    auto *address = reinterpret_cast<sockaddr *>(&addr);
    socklen_t len = sizeof addr;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = fd >= 0 && (port ? connect(fd, address, len) == 0
                               : bind(fd, address, len) == 0 && getsockname(fd, address, &len) == 0);
    close(fd);
    return ok ? ntohs(addr.sin_port) : -1;
}

// Starts a program with stdin from /dev/null and its output appended to `log`.
pid_t spawn(const std::vector<std::string> &argv, const std::string &log)
{
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &files, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&files);
    return pid;
}

// Waits up to `seconds` for the child; kills it when it takes longer. Its
// exit status, or -1.
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

int run_program(const std::vector<std::string> &argv, const std::string &log)
{
    pid_t pid = spawn(argv, log);
    return pid < 0 ? -1 : wait_bounded(pid, 30);
}

}  // namespace

SlapdServer::SlapdServer(const std::vector<std::string> &cramMd5Users)
{
    std::string pattern = (fs::temp_directory_path() / "kxsmon-slapd.XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    fs::create_directory(dir_ + "/config");
    fs::create_directory(dir_ + "/db");
    std::ofstream(dir_ + "/config.ldif") << config(cramMd5Users);
    if (run_program({"/usr/sbin/slapadd", "-n0", "-F", dir_ + "/config", "-l", dir_ + "/config.ldif"},
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

std::string SlapdServer::config(const std::vector<std::string> &cramMd5Users) const
{
    std::ostringstream c;
    c << "dn: cn=config\nobjectClass: olcGlobal\ncn: config\nolcPidFile: " << dir_ << "/slapd.pid\n"
      // The monitoring connection binds as "cn=anonymous" without a password.
      << "olcAllows: bind_anon_dn\n"
      // CRAM-MD5 reads the clear-text userPassword of the mapped entry.
      << "olcSaslAuxprops: slapd\n";
    for (std::size_t i = 0; i < cramMd5Users.size(); ++i)
        c << "olcAuthzRegexp: {" << i << "}\"" << cram_md5_name_pattern(cramMd5Users[i]) << "\" \""
          << cramMd5Users[i] << "\"\n";
    c << "\ndn: cn=module{0},cn=config\nobjectClass: olcModuleList\ncn: module{0}\n"
      << "olcModulePath: /usr/lib/ldap\nolcModuleLoad: back_mdb\n\n"
      << "dn: cn=schema,cn=config\nobjectClass: olcSchemaConfig\ncn: schema\n\n"
      << read_file("/etc/ldap/schema/core.ldif") << "\n" << read_file("/etc/ldap/schema/cosine.ldif") << "\n"
      << read_file(std::string(KXS_SCHEMA_DIR) + "/kxdesktop.ldif") << "\n"
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
    return c.str();
}

bool SlapdServer::start_on_free_port()
{
    port_ = probe_loopback(0);
    if (port_ <= 0)
        return false;
    std::string listen = "ldap://127.0.0.1:" + std::to_string(port_) + "/";
    pid_ = spawn({"/usr/sbin/slapd", "-F", dir_ + "/config", "-h", listen, "-d", "0"}, dir_ + "/slapd.log");
    if (pid_ < 0)
        return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {  // gave up, e.g. the port was taken
            pid_ = -1;
            return false;
        }
        if (probe_loopback(port_) == port_)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    return false;
}

void SlapdServer::add(const std::string &ldif) const
{
    std::string file = dir_ + "/add.ldif", log = dir_ + "/ldapadd.log";
    std::ofstream(file, std::ios::trunc) << ldif;
    unlink(log.c_str());
    std::string uri = "ldap://127.0.0.1:" + std::to_string(port_) + "/";
    if (run_program({"/usr/bin/ldapadd", "-x", "-H", uri, "-D", kRootDn, "-w", kRootPassword, "-o",
                     "nettimeout=5", "-f", file}, log) != 0)
        throw std::runtime_error("ldapadd failed: " + read_file(log));
}

void SlapdServer::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGCONT);
    kill(pid_, SIGTERM);
    wait_bounded(pid_, 10);  // kills it when it does not end in time
    pid_ = -1;
}

namespace {

// Whether every thread of `pid` has stopped: SIGSTOP takes effect only when
// each thread is next scheduled, and a thread still at work would answer.
bool all_threads_stopped(pid_t pid)
{
    std::error_code error;
    for (const auto &task : std::filesystem::directory_iterator(
             "/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        std::size_t close = line.rfind(')');
        if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'T')
            return false;
    }
    return !error;
}

}  // namespace

void SlapdServer::pause()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGSTOP);
    for (int i = 0; i < 200 && !all_threads_stopped(pid_); ++i)
        usleep(10000);
}

void SlapdServer::resume()
{
    if (pid_ > 0)
        kill(pid_, SIGCONT);
}

}  // namespace kxtest
