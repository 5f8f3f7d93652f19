// kxsmon: runs the monitoring library's queries and prints what they answer,
// as a report of every section or one section at a time.
#include "section.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace kxsmon {
namespace {

enum class Format { Text, Json, Prom };

struct Options {
    std::string root;
    Format format = Format::Text;
    uint32_t limit = 0;
    bool verbose = false;
    bool snmp = false;
    bool help = false;
    std::vector<std::string> words;  // the command and its arguments
};

const char kUsageHead[] =
    "usage: kxsmon [OPTIONS] [COMMAND [ARGS]]\n"
    "\n"
    "Without a command, prints the report of every section below.\n"
    "\n"
    "Commands:\n";

const char kUsageTail[] =
    "  report               every section above, one after the other\n"
    "  demo                 run the report against a simulated server, then remove it\n"
    "\n"
    "Options (anywhere before \"--\", which ends them):\n"
    "  -R, --root DIR       read and write the product's files under DIR\n"
    "  --json               print one JSON document (same as --format json)\n"
    "  --format FORMAT      text (the default), json, or prom (Prometheus text format)\n"
    "  --limit SECONDS      how long a terminal may be idle before it counts as unowned\n"
    "  -v, --verbose        echo the library's diagnostics on standard error\n"
    "  --snmp               demo only: then serve it through snmpd and kxsmon-agentx\n"
    "  -h, --help           print this help\n"
    "\n"
    "Exit status: 0 on success, 1 when a query failed, 2 on a usage error.\n";

std::string usage_text()
{
    std::string text = kUsageHead;
    for (const Section &s : sections())
        text += s.usage;
    return text + kUsageTail;
}

int usage_error(const std::string &why)
{
    fprintf(stderr, "kxsmon: %s\n%s", why.c_str(), usage_text().c_str());
    return kUsage;
}

bool parse_format(const std::string &word, Format &format)
{
    if (word == "text")
        format = Format::Text;
    else if (word == "json")
        format = Format::Json;
    else if (word == "prom")
        format = Format::Prom;
    else
        return false;
    return true;
}

bool parse_seconds(const std::string &word, uint32_t &seconds)
{
    if (word.empty() || word.size() > 10 || word.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long value = std::stoull(word);
    seconds = static_cast<uint32_t>(value);
    return value <= UINT32_MAX;
}

// An option that takes a value: "--name VALUE", "--name=VALUE", and for a
// short option "-xVALUE". Empty `why` on success.
bool take_value(const std::vector<std::string> &args, std::size_t &i, const std::string &inlined,
                bool hasInline, std::string &value, std::string &why)
{
    if (hasInline) {
        value = inlined;
        return true;
    }
    if (i + 1 >= args.size()) {
        why = args[i] + " needs a value";
        return false;
    }
    value = args[++i];
    return true;
}

// Options go anywhere before "--"; the other words are the command and its
// arguments, so "contact --help" is help and "contact -- --help" a contact.
bool parse_arguments(const std::vector<std::string> &args, Options &opts, std::string &why)
{
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            opts.words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const bool isLong = arg[1] == '-';
        const std::size_t split = isLong ? arg.find('=') : 2;
        const std::string name = arg.substr(0, split);
        const bool hasInline = split != std::string::npos && split < arg.size();
        const std::string inlined = hasInline ? arg.substr(split + (isLong ? 1 : 0)) : "";
        std::string value;
        if ((name == "-h" || name == "--help") && !hasInline) {
            opts.help = true;
        } else if ((name == "-v" || name == "--verbose") && !hasInline) {
            opts.verbose = true;
        } else if (name == "--snmp" && !hasInline) {
            opts.snmp = true;
        } else if (name == "--json" && !hasInline) {
            opts.format = Format::Json;
        } else if (name == "-R" || name == "--root") {
            if (!take_value(args, i, inlined, hasInline, opts.root, why))
                return false;
        } else if (name == "--format") {
            if (!take_value(args, i, inlined, hasInline, value, why))
                return false;
            if (!parse_format(value, opts.format)) {
                why = "unknown format " + value + " (text, json or prom)";
                return false;
            }
        } else if (name == "--limit") {
            if (!take_value(args, i, inlined, hasInline, value, why))
                return false;
            if (!parse_seconds(value, opts.limit)) {
                why = "--limit takes a number of seconds, not " + value;
                return false;
            }
        } else {
            why = "unknown option " + arg;
            return false;
        }
    }
    return true;
}

// A relative root is taken from the working directory, as the library
// accepts only absolute ones.
std::string absolute(const std::string &dir)
{
    if (dir.empty() || dir[0] == '/')
        return dir;
    char *cwd = getcwd(nullptr, 0);
    std::string out = cwd ? std::string(cwd) + "/" + dir : dir;
    free(cwd);
    return out;
}

// The demo is a script beside the sources: it lays out a root, starts the
// simulated server and runs this program on it.
int run_demo(const Options &opts)
{
    if (!opts.root.empty() || opts.words.size() > 1)
        return usage_error("demo takes no root and no arguments: it makes its own");
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return usage_error("demo: cannot find this program's own path");
    self[n] = '\0';
    const char *format = opts.format == Format::Json ? "json" : opts.format == Format::Prom ? "prom" : "text";
    std::vector<const char *> argv = {KXS_DEMO_RUNNER};
    if (opts.snmp)
        argv.insert(argv.end(), {"--snmp", KXS_AGENTX_PATH});
    argv.insert(argv.end(), {KXS_SIMD_PATH, self, "--format", format});
    if (opts.verbose)
        argv.push_back("-v");
    if (opts.limit != 0) {
        static std::string limit;
        limit = "--limit=" + std::to_string(opts.limit);
        argv.push_back(limit.c_str());
    }
    argv.push_back(nullptr);
    fflush(stdout);
    execv(KXS_DEMO_RUNNER, const_cast<char *const *>(argv.data()));
    perror("kxsmon: demo: " KXS_DEMO_RUNNER);
    return kFailed;
}

// The sections a command asks for; empty for an unknown command.
std::vector<const Section *> chosen_sections(const std::string &command)
{
    std::vector<const Section *> chosen;
    for (const Section &s : sections())
        if (command == "report" || section_name(command) == s.name)
            chosen.push_back(&s);
    return chosen;
}

void print(Format format, const std::vector<std::pair<const Section *, Result>> &results, time_t now)
{
    if (format == Format::Text) {
        bool first = true;
        for (const auto &[section, result] : results) {
            printf("%s%s\n%s", first ? "" : "\n", section->title, result.text.c_str());
            first = false;
        }
    } else if (format == Format::Json) {
        Json document = Json::object();
        document.set("time", Json::number(now));
        for (const auto &[section, result] : results)
            document.set(section->name, result.json);
        printf("%s\n", document.dump().c_str());
    } else {
        Prom ok;
        ok.gauge("kxsmon_query_ok", "1 when the query answered, 0 when it failed.");
        for (const auto &[section, result] : results) {
            fputs(result.prom.str().c_str(), stdout);
            ok.sample("kxsmon_query_ok", {{"query", section->name}}, result.status == kOk);
        }
        ok.gauge("kxsmon_report_time_seconds", "When the figures were gathered, seconds since the epoch.");
        ok.sample("kxsmon_report_time_seconds", now);
        fputs(ok.str().c_str(), stdout);
    }
}

int run(int argc, char **argv)
{
    Options opts;
    std::string why;
    if (!parse_arguments(std::vector<std::string>(argv + 1, argv + argc), opts, why))
        return usage_error(why);
    if (opts.help || (!opts.words.empty() && opts.words[0] == "help")) {
        fputs(usage_text().c_str(), stdout);
        return kOk;
    }
    const std::string command = opts.words.empty() ? "report" : opts.words[0];
    if (command == "demo")
        return run_demo(opts);
    if (opts.snmp)
        return usage_error("--snmp goes with demo only");
    const std::vector<const Section *> chosen = chosen_sections(command);
    if (chosen.empty())
        return usage_error("unknown command " + command);
    if (opts.words.size() > 1 && (chosen.size() != 1 || !chosen[0]->takesArguments))
        return usage_error(command + " takes no arguments");

    // The library writes to the system log; -v echoes that on standard error.
    if (opts.verbose)
        openlog("kxsmon", LOG_PERROR | LOG_PID, LOG_USER);
    opts.root = absolute(opts.root);
    if (!opts.root.empty() && kxs_setRoot(opts.root.c_str()) != 0) {
        fprintf(stderr,
                "kxsmon: %s refused as the root: not an existing directory, or not trusted "
                "(owned by root or by you, not writable by group or others unless sticky)\n",
                opts.root.c_str());
        return kUsage;
    }
    KXSHandle *handle = kxs_init();
    if (!handle) {
        fprintf(stderr, "kxsmon: the library could not start (is %s/etc/opt/ZARNkx/kxsservices.cfg readable?)\n",
                opts.root.c_str());
        return kFailed;
    }
    Request request;
    request.args.assign(opts.words.begin() + (opts.words.empty() ? 0 : 1), opts.words.end());
    request.limitSeconds = opts.limit;
    request.now = time(nullptr);
    request.root = opts.root;

    std::vector<std::pair<const Section *, Result>> results;
    int status = kOk;
    for (const Section *section : chosen) {
        Result result = section->run(handle, request);
        if (result.status == kUsage) {
            kxs_freeHandle(handle);
            return usage_error(result.error);
        }
        if (result.status != kOk) {
            fprintf(stderr, "kxsmon: %s: %s\n", section->name, result.error.c_str());
            status = kFailed;
        }
        results.emplace_back(section, std::move(result));
    }
    kxs_freeHandle(handle);
    print(opts.format, results, request.now);
    return status;
}

}  // namespace
}  // namespace kxsmon

int main(int argc, char **argv)
{
    return kxsmon::run(argc, argv);
}
