// kxsmon: runs the monitoring library's queries and prints what they answer,
// as a report of every section or of the sections named.
#include "report.h"
#include "root.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <sys/ioctl.h>
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

// The text's width when no terminal tells one, and the least taken.
constexpr std::size_t kDefaultWidth = 80;
constexpr std::size_t kLeastWidth = 40;

struct Options {
    std::optional<std::string> root;
    std::optional<std::string> output;
    Format format = Format::Text;
    std::optional<uint32_t> limit;
    std::optional<uint32_t> timeout;
    bool full = false;
    bool verbose = false;
    bool snmp = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> words;  // the sections, or a section and its arguments
};

const char kUsageHead[] =
    "usage: kxsmon [OPTIONS] [SECTION...]\n"
    "       kxsmon [OPTIONS] contact TEXT | monitored add ID | monitored delete ID | demo\n"
    "\n"
    "Without a section, prints the report of every section below.\n"
    "\n"
    "Sections:\n";

const char kUsageTail[] =
    "  report               every section above, one after the other\n"
    "  demo                 run the report against a simulated server, then remove it\n"
    "\n"
    "Options (anywhere before \"--\", which ends them):\n"
    "  -R, --root DIR       read and write the product's files under DIR\n"
    "  -l, --long           every column, and times in full with their time zone\n"
    "  --json               print one JSON document (same as --format json)\n"
    "  --format FORMAT      text (the default), json, or prom (Prometheus text format)\n"
    "  -o, --output FILE    write to FILE, replaced whole once all is written\n"
    "  --limit SECONDS      how long a terminal may be idle before it counts as unowned\n"
    "                       (default: the SNMP agent's stored limit, else 60)\n"
    "  --timeout SECONDS    end the run after SECONDS (and 1 s to print): the sections\n"
    "                       not answered by then are reported as unknown or not asked\n"
    "  -v, --verbose        echo the library's diagnostics on standard error\n"
    "  --snmp               demo only: then serve it through snmpd and kxsmon-agentx\n"
    "  -h, --help           print this help\n"
    "  --version            print the versions of kxsmon and of the library\n"
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
    fprintf(stderr, "kxsmon: %s\nTry 'kxsmon --help' for more information.\n", why.c_str());
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

// The long options without a short one.
enum LongOnly { kJson = 256, kFormat, kLimit, kTimeout, kSnmp, kVersion };

const option kOptions[] = {
    {"root", required_argument, nullptr, 'R'},   {"long", no_argument, nullptr, 'l'},
    {"json", no_argument, nullptr, kJson},       {"format", required_argument, nullptr, kFormat},
    {"output", required_argument, nullptr, 'o'}, {"limit", required_argument, nullptr, kLimit},
    {"timeout", required_argument, nullptr, kTimeout}, {"verbose", no_argument, nullptr, 'v'},
    {"snmp", no_argument, nullptr, kSnmp},       {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion}, {nullptr, 0, nullptr, 0},
};

// What getopt_long could not take, as one line: `arg` is the word it
// stopped at, `shortOption` the letter of a short option in it.
std::string option_error(int result, int shortOption, const std::string &arg)
{
    const bool isLong = arg.compare(0, 2, "--") == 0;
    const std::string name = isLong ? arg.substr(0, arg.find('=')) : std::string("-") + static_cast<char>(shortOption);
    if (result == ':')
        return name + " needs a value";
    const bool known = std::any_of(std::begin(kOptions), std::end(kOptions) - 1,
                                   [&](const option &o) { return name == std::string("--") + o.name; });
    return known ? name + " takes no value" : "unknown option " + name;
}

// A value of an option; empty `why` when it is sound.
std::string take_value(int option, const std::string &value, Options &opts)
{
    uint32_t seconds = 0;
    switch (option) {
    case 'R': opts.root = value; return "";
    case 'o':
        opts.output = value;
        return value.empty() ? "--output needs a file name" : "";
    case kFormat: return parse_format(value, opts.format) ? "" : "unknown format " + value + " (text, json or prom)";
    default: break;
    }
    if (!parse_seconds(value, seconds) || (option == kTimeout && seconds == 0))
        return std::string(option == kLimit ? "--limit" : "--timeout") + " takes a number of seconds, not " + value;
    (option == kLimit ? opts.limit : opts.timeout) = seconds;
    return "";
}

// Options go anywhere before "--" (getopt_long moves the other words
// behind them), so "contact --help" is help and "contact -- --help" a contact.
bool parse_arguments(int argc, char **argv, Options &opts, std::string &why)
{
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":R:lo:vh", kOptions, nullptr)) != -1;) {  // NOLINT(concurrency-mt-unsafe): before any thread
        switch (c) {
        case 'l': opts.full = true; break;
        case 'v': opts.verbose = true; break;
        case 'h': opts.help = true; break;
        case kJson: opts.format = Format::Json; break;
        case kSnmp: opts.snmp = true; break;
        case kVersion: opts.version = true; break;
        case '?':
        case ':': why = option_error(c, optopt, argv[optind - 1]); return false;
        default:
            why = take_value(c, optarg, opts);
            if (!why.empty())
                return false;
        }
    }
    opts.words.assign(argv + optind, argv + argc);
    return true;
}

// A relative path is taken from the working directory, as the library
// accepts only absolute roots.
std::string absolute(const std::string &path)
{
    if (path.empty() || path[0] == '/')
        return path;
    char *cwd = getcwd(nullptr, 0);
    std::string out = cwd ? std::string(cwd) + "/" + path : path;
    free(cwd);
    return out;
}

// What the demo runs with: beside the sources for this program in the
// build tree, else under the installation this program is part of.
struct DemoKit {
    std::string runner, simd, agentx;
};

std::string real_path(const char *path)
{
    char *real = realpath(path, nullptr);
    std::string out = real ? real : "";
    free(real);
    return out;
}

DemoKit demo_kit()
{
    const std::string self = real_path("/proc/self/exe");
    if (self == real_path(KXS_BUILD_KXSMON))
        return {KXS_SOURCE_DEMO_RUNNER, KXS_BUILD_SIMD, KXS_BUILD_AGENTX};
    const std::string bin = self.substr(0, self.rfind('/') + 1);
    return {bin + KXS_BIN_TO_DEMO "/run-demo", bin + KXS_BIN_TO_SIMD, *KXS_BIN_TO_AGENTX ? bin + KXS_BIN_TO_AGENTX : ""};
}

// The demo is a script: it lays out a root, starts the simulated server
// and runs this program on it.
int run_demo(const Options &opts)
{
    if (opts.root || opts.output || opts.words.size() > 1)
        return usage_error("demo takes no root, output file or arguments: it makes its own");
    const DemoKit kit = demo_kit();
    const std::string self = real_path("/proc/self/exe");
    if (access(kit.runner.c_str(), X_OK) != 0 || access(kit.simd.c_str(), X_OK) != 0) {
        fprintf(stderr, "kxsmon: demo: not installed with this kxsmon (no %s)\n", kit.runner.c_str());
        return kFailed;
    }
    if (opts.snmp && (kit.agentx.empty() || access(kit.agentx.c_str(), X_OK) != 0)) {
        fprintf(stderr, "kxsmon: demo --snmp: kxsmon-agentx is not built or installed with this kxsmon\n");
        return kFailed;
    }
    const char *format = opts.format == Format::Json ? "json" : opts.format == Format::Prom ? "prom" : "text";
    std::vector<std::string> args = {kit.runner};
    if (opts.snmp)
        args.insert(args.end(), {"--snmp", kit.agentx});
    args.insert(args.end(), {kit.simd, self, "--format", format});
    if (opts.verbose)
        args.emplace_back("-v");
    if (opts.full)
        args.emplace_back("-l");
    if (opts.limit)
        args.push_back("--limit=" + std::to_string(*opts.limit));
    if (opts.timeout)
        args.push_back("--timeout=" + std::to_string(*opts.timeout));
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    fflush(stdout);
    signal(SIGPIPE, SIG_DFL);  // NOLINT(cert-err33-c): the demo's tools expect the default
    execv(argv[0], argv.data());
    fprintf(stderr, "kxsmon: demo: %s: %s\n", argv[0], std::generic_category().message(errno).c_str());
    return kFailed;
}

// The sections the words ask for, each once, in the order given: every
// word a section (or "report", all of them); or one section that takes
// arguments, and its arguments. No word: every section.
bool choose_sections(const std::vector<std::string> &words, std::vector<const Section *> &chosen,
                     std::vector<std::string> &args, std::string &why)
{
    const auto find = [](const std::string &word) -> const Section * {
        for (const Section &s : sections())
            if (section_name(word) == s.name)
                return &s;
        return nullptr;
    };
    const Section *first = words.empty() ? nullptr : find(words[0]);
    const bool allSections = std::all_of(words.begin(), words.end(),
                                         [&](const std::string &w) { return w == "report" || find(w); });
    if (!allSections && first && first->takesArguments) {
        chosen = {first};
        args.assign(words.begin() + 1, words.end());
        return true;
    }
    for (const std::string &word : words.empty() ? std::vector<std::string>{"report"} : words) {
        if (word != "report" && !find(word)) {
            why = "unknown section " + word;
            return false;
        }
        for (const Section &s : sections())
            if ((word == "report" || find(word) == &s) &&
                std::find(chosen.begin(), chosen.end(), &s) == chosen.end())
                chosen.push_back(&s);
    }
    return true;
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

// The columns the text may take: none for -l and none wider than a file
// needs; else COLUMNS, or the terminal's width, or 80.
std::size_t text_width(const Options &opts)
{
    if (opts.full)
        return 0;
    std::size_t width = kDefaultWidth;
    winsize size{};
    const char *columns = getenv("COLUMNS");  // NOLINT(concurrency-mt-unsafe): before any thread
    uint32_t given = 0;
    if (columns && parse_seconds(columns, given) && given > 0)
        width = given;
    else if (!opts.output && isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col)
        width = size.ws_col;
    return std::max(width, kLeastWidth);
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

// The document on standard output, or in place of the --output file.
int deliver(const Options &opts, const std::string &document, Deadline deadline)
{
    if (!opts.output)
        return write_before(STDOUT_FILENO, document, deadline) ? kOk : output_failure();
    const std::string why = replace_file(*opts.output, document);
    if (why.empty())
        return kOk;
    fprintf(stderr, "kxsmon: %s: %s\n", opts.output->c_str(), why.c_str());
    return kFailed;
}

// The root as the library should take it: none, or an absolute directory
// that it accepts. False, with why in words printed, when it refuses it.
bool settle_root(Options &opts)
{
    if (!opts.root)
        return true;
    opts.root = absolute(*opts.root);
    if (kxs_setRoot(opts.root->c_str()) == 0)
        return true;
    const std::string refusal = root_refusal(*opts.root);
    fprintf(stderr, "kxsmon: %s\n",
            (refusal.empty() ? *opts.root + " refused as the root (see the system log, or run with -v)" : refusal)
                .c_str());
    return false;
}

int run(int argc, char **argv)
{
    const auto started = Clock::now();
    Options opts;
    std::string why;
    if (!parse_arguments(argc, argv, opts, why))
        return usage_error(why);
    if (opts.help || (!opts.words.empty() && opts.words[0] == "help")) {
        fputs(usage_text().c_str(), stdout);
        return kOk;
    }
    if (opts.version) {
        printf("kxsmon %s (libkxsmon %s)\n", tool_version(), library_version().c_str());
        return kOk;
    }
    if (opts.root && opts.root->empty())
        return usage_error("-R needs a directory (an empty name is not one)");
    if (!opts.words.empty() && opts.words[0] == "demo")
        return run_demo(opts);
    if (opts.snmp)
        return usage_error("--snmp goes with demo only");
    Request request;
    std::vector<const Section *> chosen;
    if (!choose_sections(opts.words, chosen, request.args, why))
        return usage_error(why);

    // The library writes to the system log; -v echoes that on standard error.
    if (opts.verbose)
        openlog("kxsmon", LOG_PERROR | LOG_PID, LOG_USER);
    if (!settle_root(opts))
        return kUsage;
    const Deadline deadline =
        opts.timeout ? Deadline(Clock::now() + std::chrono::seconds(*opts.timeout)) : Deadline();
    request.root = opts.root.value_or("");
    request.limitSeconds = opts.limit ? *opts.limit : stored_limit(request.root);
    request.now = time(nullptr);
    request.full = opts.full;
    request.width = text_width(opts);

    bool unfinished = false;
    Report report = gather(chosen, request, deadline, unfinished);
    report.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    report.width = request.width;
    const auto misused = std::find_if(report.results.begin(), report.results.end(),
                                      [](const Result &r) { return r.status == kUsage; });
    const Deadline outputDeadline = deadline ? Deadline(*deadline + kOutputGrace) : Deadline();
    int status = kOk;
    if (misused != report.results.end()) {
        status = usage_error(misused->error);
    } else {
        status = complain(report, outputDeadline);
        status = std::max(status, deliver(opts, render(opts.format, report), outputDeadline));
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
