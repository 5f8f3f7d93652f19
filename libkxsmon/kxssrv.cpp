// The services file reader.
//
// The file is a sequence of blocks:
//
//     begin
//     name=kxsessiond
//     netname=kxsessiond
//     critical=true
//     end
//
// Keywords are matched without regard to case, values are taken verbatim
// after trimming. Malformed lines are reported and skipped; they never stop
// the reader.
#include "kxsinit.h"
#include "kxsservices.h"
#include "utils.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>

namespace kx {
namespace {

// Lines are read in pieces of at most 511 characters.
constexpr int kServicesLineBufferSize = 512;

struct PendingBlock {
    std::string name, procname, argexp, netname, adminconf, netcommand, description;
    bool hasName = false, hasProcname = false, hasArgexp = false, hasNetname = false,
         hasAdminconf = false, hasNetcommand = false, hasDescription = false;
    KXSCheckRoutine check = nullptr;
    int port = 0;
    bool critical = false;
};

const char *opt(bool present, const std::string &value)
{
    return present ? value.c_str() : nullptr;
}

void add_block(KXSHandle *handle, const PendingBlock &b)
{
    kxs_addService(handle, b.name.c_str(), opt(b.hasProcname, b.procname), opt(b.hasArgexp, b.argexp),
                   opt(b.hasNetname, b.netname), opt(b.hasAdminconf, b.adminconf), b.check, b.port,
                   b.critical ? 1 : 0, opt(b.hasNetcommand, b.netcommand),
                   opt(b.hasDescription, b.description));
}

// atoi's reading of a number, without its overflow.
int port_number(const char *value)
{
    errno = 0;
    long n = strtol(value, nullptr, 10);
    if (n > INT_MAX)
        return INT_MAX;
    if (n < INT_MIN)
        return INT_MIN;
    return static_cast<int>(n);
}

void set_text(std::string &field, bool &present, const char *value)
{
    field = value;
    present = true;
}

// Applies one keyword line to the open block.
void apply_keyword(PendingBlock &block, const char *keyword, const char *value, int lineNumber)
{
    struct Keyword {
        const char *word;
        std::string PendingBlock::*text;
        bool PendingBlock::*present;
    };
    static const Keyword kTextKeywords[] = {
        {"name", &PendingBlock::name, &PendingBlock::hasName},
        {"procname", &PendingBlock::procname, &PendingBlock::hasProcname},
        {"argexp", &PendingBlock::argexp, &PendingBlock::hasArgexp},
        {"netname", &PendingBlock::netname, &PendingBlock::hasNetname},
        {"adminconf", &PendingBlock::adminconf, &PendingBlock::hasAdminconf},
        {"netcommand", &PendingBlock::netcommand, &PendingBlock::hasNetcommand},
        {"description", &PendingBlock::description, &PendingBlock::hasDescription},
    };
    const char *shown = value ? value : "(nil)";
    for (const auto &k : kTextKeywords) {
        if (strcasecmp(keyword, k.word) != 0)
            continue;
        dlprintf("s", "got %s |%s|\n", k.word, shown);
        if (value)
            set_text(block.*k.text, block.*k.present, value);
        return;
    }
    if (strcasecmp(keyword, "check") == 0) {
        dlprintf("s", "got check |%s|\n", shown);
        if (!value)
            return;
        if (KXSCheckRoutine routine = find_check_routine(value))
            block.check = routine;
        else
            dprintf("kxs_initServices(): invalid \"%s\" = \"%s\" at line %d\n", keyword, value,
                    lineNumber);
    } else if (strcasecmp(keyword, "critical") == 0) {
        dlprintf("s", "got critical |%s|\n", shown);
        if (value && strcasecmp(value, "true") == 0)
            block.critical = true;
    } else if (strcasecmp(keyword, "port") == 0) {
        dlprintf("s", "got port |%s|\n", shown);
        if (value)
            block.port = port_number(value);
    } else {
        dprintf("kxs_initServices(): invalid keyword \"%s\" at line %d\n", keyword, lineNumber);
    }
}

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};

}  // namespace

int kxs_initServices(KXSHandle *handle)
{
    std::string path = product_path(kServicesPath);
    dlprintf("s", "opening %s\n", path.c_str());
    std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "r"));
    if (!file) {
        dprintf("kxs_initServices(): Could not open file %s\n", path.c_str());
        return 0;
    }

    char line[kServicesLineBufferSize];
    int lineNumber = 0;
    bool blockOpen = false;
    PendingBlock block;
    while (fgets(line, sizeof line, file.get())) {
        ++lineNumber;
        size_t length = strlen(line);
        if (line[0] == '#' || length < 2)
            continue;
        if (line[length - 1] == '\n')
            line[length - 1] = '\0';

        if (strcmp(line, "begin") == 0) {
            if (blockOpen && block.hasName) {
                dprintf("kxs_initServices(): \"%s\" missing before line %d\n", "end", lineNumber);
                add_block(handle, block);
            }
            block = PendingBlock();
            blockOpen = true;
            continue;
        }
        if (strcmp(line, "end") == 0) {
            if (blockOpen && block.hasName)
                add_block(handle, block);
            block = PendingBlock();
            blockOpen = false;
            continue;
        }
        if (!blockOpen) {
            dprintf("kxs_initServices(): \"%s\" missing before line %d\n", "begin", lineNumber);
            block = PendingBlock();
            blockOpen = true;
        }
        char *keyword = nullptr;
        char *value = nullptr;
        if (parse_key_and_value(line, &keyword, &value) && keyword)
            apply_keyword(block, keyword, value, lineNumber);
        free(keyword);
        free(value);
    }
    if (blockOpen && block.hasName) {
        dprintf("kxs_initServices(): \"%s\" missing at end of file\n", "end");
        add_block(handle, block);
    }
    return 1;
}

}  // namespace kx
