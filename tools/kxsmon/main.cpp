// kxsmon: runs the monitoring library's queries and prints what they answer.
#include "kxsmon.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
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
    "  report               every query above, one after the other\n"
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

// What one query answered: the text for people, the JSON members for
// programs (without the surrounding braces), and the exit status.
struct Answer {
    int status = kOk;
    std::string text;
    std::string json;
    std::string error;  // for standard error; a usage error when status is kUsage
};

Answer failed(const std::string &error, std::string text, std::string json)
{
    return {kFailed, std::move(text), std::move(json), error};
}

Answer misuse(const std::string &why)
{
    return {kUsage, "", "", why};
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    char *text = nullptr;
    int n = vasprintf(&text, fmt, args);
    va_end(args);
    std::string out = n >= 0 ? text : "";
    free(text);
    return out;
}

Answer version_answer(KXSHandle *handle, const Options &)
{
    KXSVersion *version = kxs_version(handle);
    if (!version)
        return failed("the product's version is not known", "Version:      unknown\n",
                      "\"version\": null, \"installDate\": null");
    Answer a;
    a.text = format("Version:      %s\nInstall date: %s\n", version->version ? version->version : "-",
                    version->installDate ? version->installDate : "-");
    a.json = "\"version\": " + json_string(version->version) +
             ", \"installDate\": " + json_string(version->installDate);
    kxs_freeVersion(handle, version);
    return a;
}

Answer patches_answer(KXSHandle *handle, const Options &)
{
    char *patches = kxs_patches(handle);
    Answer a;
    a.text = format("Patches: %s\n", patches && *patches ? patches : "none");
    a.json = "\"patches\": " + json_string(patches);
    free(patches);
    return a;
}

Answer contact_answer(KXSHandle *handle, const Options &opts)
{
    if (opts.words.size() > 2)
        return misuse("contact takes at most one TEXT (quote it)");
    if (opts.words.size() == 2 && kxs_setContact(handle, opts.words[1].c_str()) != 0)
        return failed("the contact could not be stored", "", "");
    char *text = kxs_contact(handle);
    Answer a;
    a.text = format("Contact: %s\n", text ? text : "");
    a.json = "\"contact\": " + json_string(text);
    free(text);
    return a;
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

Answer daemons_answer(KXSHandle *handle, const Options &)
{
    KXSDaemon **daemons = kxs_daemons(handle);
    if (!daemons)
        return failed("the daemons could not be listed", "Daemons: unknown\n",
                      "\"daemons\": null");
    Answer a;
    a.text = format("%-16s %-7s %9s  %-19s  %-19s  %s\n", "NAME", "STATE", "INSTANCES", "STARTED",
                    "LAST CHANGE", "DESCRIPTION");
    a.json = "\"daemons\": [";
    for (KXSDaemon **d = daemons; *d; ++d) {
        a.text += format("%-16s %-7s %9d  %-19s  %-19s  %s\n", (*d)->name, status_word((*d)->status),
                         (*d)->instances, local_time((*d)->stime).c_str(),
                         local_time((*d)->changetm).c_str(),
                         (*d)->description ? (*d)->description : "");
        a.json += format("%s\n  {\"name\": %s, \"status\": %d, \"state\": \"%s\", \"instances\": %d, "
                         "\"stime\": %u, \"changetm\": %u, \"description\": %s}",
                         d == daemons ? "" : ",", json_string((*d)->name).c_str(), (*d)->status,
                         status_word((*d)->status), (*d)->instances, (*d)->stime, (*d)->changetm,
                         json_string((*d)->description).c_str());
    }
    a.json += *daemons ? "\n]" : "]";
    kxs_freeDaemons(handle, daemons);
    return a;
}

Answer uptime_answer(KXSHandle *handle, const Options &)
{
    uint32_t hundredths = kxs_upTime(handle);
    Answer a;
    a.json = format("\"uptime\": %u, \"up\": %s", hundredths, hundredths ? "true" : "false");
    if (hundredths == 0) {
        a.text = "Up time: down or unknown\n";
        return a;
    }
    uint32_t seconds = hundredths / 100;
    a.text = format("Up time: %u days, %02u:%02u:%02u.%02u\n", seconds / 86400, seconds / 3600 % 24,
                    seconds / 60 % 60, seconds % 60, hundredths % 100);
    return a;
}

// The monitored table as stored: the library keeps it in this file. Read as
// the library reads it: no link followed, no FIFO waited on, and no more
// than the table's lines of at most 255 characters.
std::string read_monitored_file(const std::string &path)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            close(fd);
        return text;
    }
    const size_t cap = static_cast<size_t>(KXS_MAX_MONITORED_DTUS) * 256;
    char buffer[8192];
    ssize_t n;
    while (text.size() < cap &&
           ((n = read(fd, buffer, std::min(sizeof buffer, cap - text.size()))) > 0 ||
            (n < 0 && errno == EINTR)))
        text.append(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    close(fd);
    return text;
}

Answer list_monitored(const Options &opts)
{
    std::istringstream in(
        read_monitored_file(opts.root + "/var/opt/ZARNkx/snmp/kxsmonitoreddtus.data"));
    std::vector<std::string> ids;
    for (std::string line; std::getline(in, line);)
        ids.push_back(line);
    Answer a;
    a.text = format("Monitored terminals: %zu\n", ids.size());
    a.json = "\"monitored\": [";
    for (size_t i = 0; i < ids.size(); ++i) {
        a.text += "  " + ids[i] + "\n";
        a.json += (i ? ", " : "") + json_string(ids[i].c_str());
    }
    a.json += "]";
    return a;
}

Answer monitored_answer(KXSHandle *handle, const Options &opts)
{
    const auto &w = opts.words;
    if (w.size() == 1)
        return list_monitored(opts);
    if (w.size() != 3 || (w[1] != "add" && w[1] != "delete"))
        return misuse("monitored takes nothing, add ID or delete ID");
    bool add = w[1] == "add";
    int32_t rc = add ? kxs_addDTUMonitored(handle, w[2].c_str())
                     : kxs_deleteDTUMonitored(handle, w[2].c_str());
    if (rc != 0)
        return failed(std::string("could not ") + (add ? "add " : "delete ") + w[2], "", "");
    return list_monitored(opts);
}

using Query = Answer (*)(KXSHandle *, const Options &);

// Every query, in the order of the report.
Answer report_answer(KXSHandle *handle, const Options &opts)
{
    const Query sections[] = {version_answer, patches_answer, uptime_answer,
                              contact_answer, daemons_answer, monitored_answer};
    Answer report;
    for (Query query : sections) {
        Answer a = query(handle, opts);
        if (a.status != kOk) {
            report.status = a.status;
            report.error += (report.error.empty() ? "" : "; ") + a.error;
        }
        report.text += (report.text.empty() ? "" : "\n") + a.text;
        report.json += (report.json.empty() ? "" : ", ") + a.json;
    }
    return report;
}

struct Command {
    const char *name;
    Query query;
    bool takesArguments;
};

constexpr Command kCommands[] = {
    {"version", version_answer, false}, {"patches", patches_answer, false},
    {"contact", contact_answer, true},  {"daemons", daemons_answer, false},
    {"uptime", uptime_answer, false},   {"monitored", monitored_answer, true},
    {"report", report_answer, false},
};

const Command *find_command(const std::string &name)
{
    for (const auto &c : kCommands)
        if (name == c.name)
            return &c;
    return nullptr;
}

bool parse_arguments(int argc, char **argv, Options &opts, int &exitCode)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        // Options come before the command; everything from it on is its words.
        const bool isOption = opts.words.empty() && !arg.empty() && arg[0] == '-';
        if (!isOption) {
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
        } else {
            exitCode = usage_error(("unknown option " + arg).c_str());
            return false;
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

    const std::string &name = opts.words[0];
    const Command *command = find_command(name);
    if (!command)
        return usage_error(("unknown command " + name).c_str());
    if (!command->takesArguments && opts.words.size() != 1)
        return usage_error((name + " takes no arguments").c_str());

    if (!opts.root.empty() && kxs_setRoot(opts.root.c_str()) != 0) {
        fprintf(stderr,
                "kxsmon: %s refused as the root: not an absolute path to a trusted directory "
                "(owned by root or by you, not writable by group or others unless sticky)\n",
                opts.root.c_str());
        return kUsage;
    }
    KXSHandle *handle = kxs_init();
    if (!handle) {
        fprintf(stderr, "kxsmon: the library could not start (is %s/etc/opt/ZARNkx/kxsservices.cfg "
                        "readable?)\n",
                opts.root.c_str());
        return kFailed;
    }
    Answer answer = command->query(handle, opts);
    kxs_freeHandle(handle);
    if (answer.status == kUsage)
        return usage_error(answer.error.c_str());
    if (opts.json && !answer.json.empty())
        printf("{%s}\n", answer.json.c_str());
    else if (!opts.json)
        fputs(answer.text.c_str(), stdout);
    if (!answer.error.empty())
        fprintf(stderr, "kxsmon: %s\n", answer.error.c_str());
    return answer.status;
}
