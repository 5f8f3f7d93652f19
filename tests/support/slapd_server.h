// A private OpenLDAP slapd for one test: its own cn=config generated from our
// schema, its own database directory, a free loopback port, entries loaded
// with ldapadd, stopped and removed at the end. It never touches a system
// slapd or its port.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace kxtest {

class SlapdServer {
public:
    // Starts slapd with the naming context `suffix` (an organization entry,
    // created with the "kxName=desktops" container under it). Each DN in
    // `cramMd5Users` may bind with SASL CRAM-MD5, its DN as the identity;
    // their clear-text userPassword is what the CRAM-MD5 check reads.
    explicit SlapdServer(std::vector<std::string> cramMd5Users = {});
    ~SlapdServer();
    SlapdServer(const SlapdServer &) = delete;
    SlapdServer &operator=(const SlapdServer &) = delete;

    static constexpr const char *kSuffix = "o=kxtest";
    static constexpr const char *kRootDn = "cn=root,o=kxtest";
    static constexpr const char *kRootPassword = "rootsecret";

    int port() const { return port_; }
    std::string uri() const;
    // Loads LDIF entries with ldapadd, bound as the root DN; throws on failure.
    void add(const std::string &ldif) const;

    void stop();    // ends slapd (the port then refuses connections)
    void pause();   // SIGSTOP: connections are accepted but never answered
    void resume();  // SIGCONT

private:
    void write_config(const std::vector<std::string> &cramMd5Users) const;
    bool start_on_free_port();

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    bool paused_ = false;
};

// The administration configuration for a test server: name, port, subtree
// and the two status database paths, plus any extra lines.
std::string admin_config_for(const SlapdServer &server, const std::string &desktopDb,
                             const std::string &userDb, const std::string &extra = "");

// Runs a program with arguments, its output appended to `log`; bounded by
// `seconds`, after which it is killed. Returns its exit status, or -1.
int run_program(const std::vector<std::string> &argv, const std::string &log, int seconds = 30);

}  // namespace kxtest
