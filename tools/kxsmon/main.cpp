// kxsmon: runs the monitoring library's queries and prints what they answer,
// as a report of every section or one section at a time.
#include "report.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace kxsmon {
namespace {

// The SNMP agent's unowned limit when it has none stored, and where it
// stores one: the CLI takes the same, so that the two agree on a terminal.
constexpr uint32_t kAgentUnownedLimit = 60;
constexpr const char kAgentLimitFile[] = "/var/opt/ZARNkx/snmp/kxsunownedlimit.data";

// Time to write the report once the run's deadline has passed.
constexpr auto kOutputGrace = std::chrono::seconds(1);

struct Options {
    std::string root;
    Format format = Format::Text;
    std::optional<uint32_t> limit;
    std::optional<uint32_t> timeout;
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
    "                       (default: the agent's, ROOT/var/opt/ZARNkx/snmp/kxsunownedlimit.data,\n"
    "                       else 60)\n"
    "  --timeout SECONDS    end the run after SECONDS (and 1 s to print): the sections\n"
    "                       not answered by then are reported as unknown or not asked\n"
    "  -v, --verbose        echo the library's diagnostics on standard error\n"
    "  --snmp               demo only: then serve it through snmpd and kxsmon-agentx\n"
    "  -h, --help           print this help\n"
    "\n"
    "Exit status: 0 when every figure is known, 1 when a section is unknown, partial\n"
    "or not asked, or the output could not be written, 2 on a usage error.\n";

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
        } else if (name == "--limit" || name == "--timeout") {
            if (!take_value(args, i, inlined, hasInline, value, why))
                return false;
            uint32_t seconds = 0;
            if (!parse_seconds(value, seconds) || (name == "--timeout" && seconds == 0)) {
                why = name;
                why.append(" takes a number of seconds, not ").append(value);
                return false;
            }
            (name == "--limit" ? opts.limit : opts.timeout) = seconds;
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
    static std::vector<std::string> bounds;  // alive until the exec
    if (opts.limit)
        bounds.push_back("--limit=" + std::to_string(*opts.limit));
    if (opts.timeout)
        bounds.push_back("--timeout=" + std::to_string(*opts.timeout));
    for (const std::string &bound : bounds)
        argv.push_back(bound.c_str());
    argv.push_back(nullptr);
    fflush(stdout);
    signal(SIGPIPE, SIG_DFL);  // NOLINT(cert-err33-c): the demo's tools expect the default
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

// The unowned limit stored for the agent under `root`, or the agent's
// default. Read as the agent reads it: a regular file, not through a link,
// at most 64 bytes, decimal digits and one line feed.
uint32_t stored_limit(const std::string &root)
{
    const std::string path = root + kAgentLimitFile;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return kAgentUnownedLimit;
    struct stat st{};
    char text[64];
    const ssize_t n = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, text, sizeof text) : -1;
    close(fd);
    std::string word(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    if (!word.empty() && word.back() == '\n')
        word.pop_back();
    uint32_t limit = kAgentUnownedLimit;
    return parse_seconds(word, limit) ? limit : kAgentUnownedLimit;
}

int output_failure()
{
    const int err = errno;
    const std::string why =
        err == ETIMEDOUT ? "not written within the run's time-out" : std::generic_category().message(err);
    fprintf(stderr, "kxsmon: standard output: %s\n", why.c_str());
    return kFailed;
}

// The exit status of a report, after a line on standard error for each
// section that is not fully known.
int complain(const Report &report, Deadline deadline)
{
    if (!report.started && !report.startError.empty()) {
        write_before(STDERR_FILENO, "kxsmon: " + report.startError + "\n", deadline);
        return kFailed;
    }
    int status = kOk;
    for (std::size_t i = 0; i < report.results.size(); ++i) {
        const Result &r = report.results[i];
        if (r.status == kOk)
            continue;
        const std::string state = r.state;
        const bool named = state == "partial" || state == "not asked";
        write_before(STDERR_FILENO,
                     "kxsmon: " + std::string(report.sections[i]->name) + ": " + (named ? state + ": " : "") +
                         r.error + "\n",
                     deadline);
        status = kFailed;
    }
    return status;
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
    const Deadline deadline =
        opts.timeout ? Deadline(Clock::now() + std::chrono::seconds(*opts.timeout)) : Deadline();
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
    Request request;
    request.args.assign(opts.words.begin() + (opts.words.empty() ? 0 : 1), opts.words.end());
    request.limitSeconds = opts.limit ? *opts.limit : stored_limit(opts.root);
    request.now = time(nullptr);
    request.root = opts.root;

    bool unfinished = false;
    const Report report = gather(chosen, request, deadline, unfinished);
    const auto misused = std::find_if(report.results.begin(), report.results.end(),
                                      [](const Result &r) { return r.status == kUsage; });
    const Deadline outputDeadline = deadline ? Deadline(*deadline + kOutputGrace) : Deadline();
    int status = kOk;
    if (misused != report.results.end()) {
        status = usage_error(misused->error);
    } else {
        status = complain(report, outputDeadline);
        if (!write_before(STDOUT_FILENO, render(opts.format, report), outputDeadline))
            status = output_failure();
    }
    if (unfinished) {
        // The worker is still inside a library call, which cannot be cut
        // short; returning would run the exit handlers and destructors under
        // it. Everything is written (stdio holds nothing: the report went out
        // with write()), so the process ends here.
        _exit(status);
    }
    return status;
}

}  // namespace
}  // namespace kxsmon

int main(int argc, char **argv)
{
    // A closed pipe is an error to report like a full disk, not a silent end.
    signal(SIGPIPE, SIG_IGN);  // NOLINT(cert-err33-c): a program's own choice; the demo restores it
    int status = kxsmon::run(argc, argv);
    const bool written = fflush(stdout) == 0 && !ferror(stdout);
    if ((fclose(stdout) != 0 || !written) && status != kxsmon::kUsage)
        status = kxsmon::output_failure();
    return status;
}
