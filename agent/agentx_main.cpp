// kxsmon-agentx: the module as an AgentX subagent of a running snmpd.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "module.h"

namespace {

constexpr const char *kName = "kxsmon-agentx";
volatile sig_atomic_t stopping = 0;

void stop(int)
{
    stopping = 1;
}

int usage()
{
    fprintf(stderr,
            "usage: %s [-R ROOT] [-x AGENTX-SOCKET] [-t CACHE-SECONDS] [-w WAIT-MS] [-c FILE] [-s]\n"
            "  -R ROOT   product root (like rpm --root)\n"
            "  -x SOCKET the master agent's AgentX socket (default: snmpd's)\n"
            "  -t N      serve a snapshot N seconds before asking for a new one (default 2)\n"
            "  -w MS     wait at most MS milliseconds for that refresh (default 250)\n"
            "  -c FILE   read FILE after kxsmon-agentx.conf (the kxsmon... keywords)\n"
            "  -s        log to syslog instead of standard error\n",
            kName);
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    kxagent::Settings settings;
    const char *socket = nullptr;
    const char *config = nullptr;
    bool syslogging = false;
    // Parsed before any thread starts.
    for (int opt; (opt = getopt(argc, argv, "R:x:t:w:c:s")) != -1;) {  // NOLINT(concurrency-mt-unsafe)
        switch (opt) {
        case 'R': settings.root = optarg; break;
        case 'x': socket = optarg; break;
        case 't': settings.cacheSeconds = atoi(optarg); break;
        case 'w': settings.refreshWaitMs = atoi(optarg); break;
        case 'c': config = optarg; break;
        case 's': syslogging = true; break;
        default: return usage();
        }
    }
    if (optind != argc || settings.cacheSeconds < 1 || settings.refreshWaitMs < 0 ||
        settings.refreshWaitMs > 4000)
        return usage();

    if (syslogging)
        snmp_enable_calllog(), snmp_enable_syslog_ident(kName, LOG_DAEMON);
    else
        snmp_enable_stderrlog();
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    if (socket)
        netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, socket);
    if (config)
        netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OPTIONALCONFIG, config);

    struct sigaction action{};
    action.sa_handler = stop;  // no SA_RESTART: the select in the loop returns
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a master that goes away is reconnected, not fatal

    init_agent(kName);
    // Reconnect within a second when the master agent restarts: after
    // init_agent, which sets its default of 15 s, and before init_snmp,
    // which starts the subagent with it.
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL, 1);
    kxagent::preset(settings);
    init_kxsmon();
    init_snmp(kName);
    snmp_log(LOG_INFO, "%s: serving\n", kName);
    while (!stopping)
        agent_check_and_process(1);
    deinit_kxsmon();
    snmp_shutdown(kName);
    if (kxagent::Worker::abandoned()) {
        // The worker is still inside a library call: the exit-time
        // destructors must not run under it.
        fflush(nullptr);
        _exit(0);
    }
    return 0;
}
