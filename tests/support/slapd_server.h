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
    // Starts slapd with the naming context "o=kxtest" (an organization entry,
    // created with the "kxName=desktops" container under it). Each DN in
    // `cramMd5Users` may bind with SASL CRAM-MD5, its DN as the identity;
    // their clear-text userPassword is what the CRAM-MD5 check reads.
    explicit SlapdServer(const std::vector<std::string> &cramMd5Users = {});
    ~SlapdServer();
    SlapdServer(const SlapdServer &) = delete;
    SlapdServer &operator=(const SlapdServer &) = delete;

    int port() const { return port_; }
    // Loads LDIF entries with ldapadd, bound as the root DN; throws on failure.
    void add(const std::string &ldif) const;

    void stop();   // ends slapd (the port then refuses connections)
    void pause();   // SIGSTOP: connections are accepted but not answered
    void resume();  // SIGCONT: what was asked meanwhile is answered now

private:
    std::string config(const std::vector<std::string> &cramMd5Users) const;
    bool start_on_free_port();

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace kxtest
