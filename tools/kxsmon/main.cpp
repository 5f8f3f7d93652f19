// kxsmon: runs the monitoring library's queries and prints what they answer.
#include "kxsmon.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char kUsageText[] =
    "usage: kxsmon [-R DIR | --root DIR] [--json] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  version              version and installation date of the product\n"
    "  patches              installed product patches\n"
    "  contact              the system contact\n"
    "  contact TEXT         set the system contact\n"
    "  daemons              state of every configured daemon\n"
    "  uptime               for how long the product has been up\n"
    "  monitored            the monitored terminals\n"
    "  monitored add ID     monitor the terminal ID\n"
    "  monitored delete ID  stop monitoring the terminal ID\n"
    "\n"
    "Options:\n"
    "  -R, --root DIR       read and write the product's files under DIR\n"
    "  --json               print the answer as JSON\n"
    "  -h, --help           print this help\n"
    "\n"
    "Exit status: 0 on success, 1 when the query failed, 2 on a usage error.\n";

struct Options {
    std::string root;
    bool json = false;
    std::vector<std::string> words;
};

int usage_error(const char *why)
{
    fprintf(stderr, "kxsmon: %s\n%s", why, kUsageText);
    return kUsage;
}

std::string json_string(const char *text)
{
    if (!text)
        return "null";
    std::string out = "\"";
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        switch (*p) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (*p < 0x20) {
                char esc[8];
                snprintf(esc, sizeof esc, "\\u%04x", *p);
                out += esc;
            } else {
                out += static_cast<char>(*p);
            }
        }
    }
    return out + "\"";
}

int show_version(KXSHandle *handle, const Options &opts)
{
    KXSVersion *version = kxs_version(handle);
    if (!version) {
        fprintf(stderr, "kxsmon: the product's version is not known\n");
        return kFailed;
    }
    if (opts.json)
        printf("{\"version\": %s, \"installDate\": %s}\n", json_string(version->version).c_str(),
               json_string(version->installDate).c_str());
    else
        printf("Version:      %s\nInstall date: %s\n", version->version ? version->version : "-",
               version->installDate ? version->installDate : "-");
    kxs_freeVersion(handle, version);
    return kOk;
}

int show_patches(KXSHandle *handle, const Options &opts)
{
    char *patches = kxs_patches(handle);
    if (opts.json)
        printf("{\"patches\": %s}\n", json_string(patches).c_str());
    else
        printf("Patches: %s\n", patches && *patches ? patches : "none");
    free(patches);
    return kOk;
}

int contact(KXSHandle *handle, const Options &opts)
{
    if (opts.words.size() > 2)
        return usage_error("contact takes at most one TEXT (quote it)");
    if (opts.words.size() == 2 && kxs_setContact(handle, opts.words[1].c_str()) != 0) {
        fprintf(stderr, "kxsmon: the contact could not be stored\n");
        return kFailed;
    }
    char *text = kxs_contact(handle);
    if (opts.json)
        printf("{\"contact\": %s}\n", json_string(text).c_str());
    else
        printf("Contact: %s\n", text ? text : "");
    free(text);
    return kOk;
}

const char *status_word(int32_t status)
{
    switch (status) {
    case 1: return "up";
    case 2: return "down";
    default: return "unknown";
    }
}

// Seconds since the epoch as local time; "-" for none.
std::string local_time(uint32_t seconds)
{
    if (seconds == 0)
        return "-";
    time_t t = static_cast<time_t>(seconds);
    tm parts{};
    char text[32];
    if (!localtime_r(&t, &parts) || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0)
        return std::to_string(seconds);
    return text;
}

int show_daemons(KXSHandle *handle, const Options &opts)
{
    KXSDaemon **daemons = kxs_daemons(handle);
    if (!daemons) {
        fprintf(stderr, "kxsmon: no daemons are configured\n");
        return kFailed;
    }
    if (opts.json) {
        printf("{\"daemons\": [");
        for (KXSDaemon **d = daemons; *d; ++d)
            printf("%s\n  {\"name\": %s, \"status\": %d, \"state\": \"%s\", \"instances\": %d, "
                   "\"stime\": %u, \"changetm\": %u, \"description\": %s}",
                   d == daemons ? "" : ",", json_string((*d)->name).c_str(), (*d)->status,
                   status_word((*d)->status), (*d)->instances, (*d)->stime, (*d)->changetm,
                   json_string((*d)->description).c_str());
        printf("%s]}\n", *daemons ? "\n" : "");
    } else {
        printf("%-16s %-7s %9s  %-19s  %-19s  %s\n", "NAME", "STATE", "INSTANCES", "STARTED",
               "LAST CHANGE", "DESCRIPTION");
        for (KXSDaemon **d = daemons; *d; ++d)
            printf("%-16s %-7s %9d  %-19s  %-19s  %s\n", (*d)->name, status_word((*d)->status),
                   (*d)->instances, local_time((*d)->stime).c_str(),
                   local_time((*d)->changetm).c_str(), (*d)->description ? (*d)->description : "");
    }
    kxs_freeDaemons(handle, daemons);
    return kOk;
}

int show_uptime(KXSHandle *handle, const Options &opts)
{
    uint32_t hundredths = kxs_upTime(handle);
    if (opts.json) {
        printf("{\"uptime\": %u, \"up\": %s}\n", hundredths, hundredths ? "true" : "false");
        return kOk;
    }
    if (hundredths == 0) {
        printf("Up time: down or unknown\n");
        return kOk;
    }
    uint32_t seconds = hundredths / 100;
    printf("Up time: %u days, %02u:%02u:%02u.%02u\n", seconds / 86400, seconds / 3600 % 24,
           seconds / 60 % 60, seconds % 60, hundredths % 100);
    return kOk;
}

// The monitored table as stored: the library keeps it in this file.
int list_monitored(const Options &opts)
{
    std::ifstream in(opts.root + "/var/opt/ZARNkx/snmp/kxsmonitoreddtus.data");
    std::vector<std::string> ids;
    for (std::string line; std::getline(in, line);)
        ids.push_back(line);
    if (opts.json) {
        printf("{\"monitored\": [");
        for (size_t i = 0; i < ids.size(); ++i)
            printf("%s%s", i ? ", " : "", json_string(ids[i].c_str()).c_str());
        printf("]}\n");
    } else {
        printf("Monitored terminals: %zu\n", ids.size());
        for (const auto &id : ids)
            printf("  %s\n", id.c_str());
    }
    return kOk;
}

int monitored(KXSHandle *handle, const Options &opts)
{
    const auto &w = opts.words;
    if (w.size() == 1)
        return list_monitored(opts);
    if (w.size() != 3 || (w[1] != "add" && w[1] != "delete"))
        return usage_error("monitored takes nothing, add ID or delete ID");
    bool add = w[1] == "add";
    int32_t rc = add ? kxs_addDTUMonitored(handle, w[2].c_str())
                     : kxs_deleteDTUMonitored(handle, w[2].c_str());
    if (rc != 0) {
        fprintf(stderr, "kxsmon: could not %s %s\n", add ? "add" : "delete", w[2].c_str());
        return kFailed;
    }
    return list_monitored(opts);
}

bool parse_arguments(int argc, char **argv, Options &opts, int &exitCode)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!opts.words.empty()) {
            opts.words.push_back(arg);
        } else if (arg == "-h" || arg == "--help") {
            fputs(kUsageText, stdout);
            exitCode = kOk;
            return false;
        } else if (arg == "-R" || arg == "--root") {
            if (++i == argc) {
                exitCode = usage_error("-R needs a directory");
                return false;
            }
            opts.root = argv[i];
        } else if (arg == "--json") {
            opts.json = true;
        } else if (!arg.empty() && arg[0] == '-') {
            exitCode = usage_error(("unknown option " + arg).c_str());
            return false;
        } else {
            opts.words.push_back(arg);
        }
    }
    if (opts.words.empty()) {
        exitCode = usage_error("no command given");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    Options opts;
    int exitCode = kOk;
    if (!parse_arguments(argc, argv, opts, exitCode))
        return exitCode;

    const std::string &command = opts.words[0];
    using Query = int (*)(KXSHandle *, const Options &);
    Query query = command == "version"     ? show_version
                  : command == "patches"   ? show_patches
                  : command == "contact"   ? contact
                  : command == "daemons"   ? show_daemons
                  : command == "uptime"    ? show_uptime
                  : command == "monitored" ? monitored
                                           : nullptr;
    if (!query)
        return usage_error(("unknown command " + command).c_str());
    if ((command == "version" || command == "patches" || command == "daemons" ||
         command == "uptime") &&
        opts.words.size() != 1)
        return usage_error((command + " takes no arguments").c_str());

    if (!opts.root.empty() && kxs_setRoot(opts.root.c_str()) != 0) {
        fprintf(stderr, "kxsmon: %s is not an absolute path to a directory\n", opts.root.c_str());
        return kUsage;
    }
    KXSHandle *handle = kxs_init();
    if (!handle) {
        fprintf(stderr, "kxsmon: the library could not start (is %s/etc/opt/ZARNkx/kxsservices.cfg "
                        "readable?)\n",
                opts.root.c_str());
        return kFailed;
    }
    exitCode = query(handle, opts);
    kxs_freeHandle(handle);
    return exitCode;
}
