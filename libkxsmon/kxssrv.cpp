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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <strings.h>

namespace kx {
namespace {

// Lines are read in pieces of at most 511 characters.
constexpr std::size_t kServicesLineBufferSize = 512;

// A block as read so far; an absent text field is not the empty text.
struct PendingBlock {
    std::optional<std::string> name, procname, argexp, netname, adminconf, netcommand, description;
    KXSCheckRoutine check = nullptr;
    int port = 0;
    bool critical = false;
};

const char *opt(const std::optional<std::string> &value)
{
    return value ? value->c_str() : nullptr;
}

void add_block(Handle *handle, const PendingBlock &b)
{
    kxs_addService(handle, b.name->c_str(), opt(b.procname), opt(b.argexp), opt(b.netname),
                   opt(b.adminconf), b.check, b.port, b.critical ? 1 : 0, opt(b.netcommand),
                   opt(b.description));
}

// ---- keywords: what each one does with its (non-empty) value ----

template <std::optional<std::string> PendingBlock::*Field>
void set_text(PendingBlock &block, const char *, const char *value, int)
{
    block.*Field = value;
}

void set_check(PendingBlock &block, const char *keyword, const char *value, int lineNumber)
{
    if (KXSCheckRoutine routine = find_check_routine(value))
        block.check = routine;
    else
        dprintf("kxs_initServices(): invalid \"%s\" = \"%s\" at line %d\n", keyword, value,
                lineNumber);
}

// Only "true" sets the flag; nothing clears it within a block.
void set_critical(PendingBlock &block, const char *, const char *value, int)
{
    if (strcasecmp(value, "true") == 0)
        block.critical = true;
}

void set_port(PendingBlock &block, const char *, const char *value, int)
{
    block.port = text_to_int32(value);  // atoi, without its overflow
}

struct KeywordEntry {
    const char *word;
    void (*apply)(PendingBlock &block, const char *keyword, const char *value, int lineNumber);
};

constexpr KeywordEntry kKeywords[] = {
    {"name", set_text<&PendingBlock::name>},
    {"procname", set_text<&PendingBlock::procname>},
    {"argexp", set_text<&PendingBlock::argexp>},
    {"netname", set_text<&PendingBlock::netname>},
    {"adminconf", set_text<&PendingBlock::adminconf>},
    {"netcommand", set_text<&PendingBlock::netcommand>},
    {"description", set_text<&PendingBlock::description>},
    {"check", set_check},
    {"critical", set_critical},
    {"port", set_port},
};

// Applies one keyword line to the open block; a keyword without a value
// changes nothing.
void apply_keyword(PendingBlock &block, const char *keyword, const char *value, int lineNumber)
{
    for (const auto &entry : kKeywords) {
        if (strcasecmp(keyword, entry.word) != 0)
            continue;
        dlprintf("s", "got %s |%s|\n", entry.word, value ? value : "(nil)");
        if (value)
            entry.apply(block, keyword, value, lineNumber);
        return;
    }
    dprintf("kxs_initServices(): invalid keyword \"%s\" at line %d\n", keyword, lineNumber);
}

class ServicesReader {
public:
    explicit ServicesReader(Handle *handle) : handle_(handle) {}

    void line(char *text)
    {
        ++lineNumber_;
        size_t length = strlen(text);
        if (text[0] == '#' || length < 2)
            return;
        if (text[length - 1] == '\n')
            text[length - 1] = '\0';
        if (strcmp(text, "begin") == 0) {
            if (blockOpen_ && block_.name)
                dprintf("kxs_initServices(): \"%s\" missing before line %d\n", "end", lineNumber_);
            close_block();
            blockOpen_ = true;
            return;
        }
        if (strcmp(text, "end") == 0) {
            close_block();
            return;
        }
        if (!blockOpen_) {
            dprintf("kxs_initServices(): \"%s\" missing before line %d\n", "begin", lineNumber_);
            blockOpen_ = true;
        }
        char *keyword = nullptr;
        char *value = nullptr;
        if (parse_key_and_value(text, &keyword, &value) && keyword)
            apply_keyword(block_, keyword, value, lineNumber_);
        free(keyword);
        free(value);
    }

    void end_of_file()
    {
        if (blockOpen_ && block_.name)
            dprintf("kxs_initServices(): \"%s\" missing at end of file\n", "end");
        close_block();
    }

private:
    // Adds the open block when it has a name; either way no block is open.
    void close_block()
    {
        if (blockOpen_ && block_.name)
            add_block(handle_, block_);
        block_ = PendingBlock();
        blockOpen_ = false;
    }

    Handle *handle_;
    PendingBlock block_;
    bool blockOpen_ = false;
    int lineNumber_ = 0;
};

}  // namespace

int kxs_initServices(Handle *handle)
{
    std::string path = product_path(kServicesPath);
    dlprintf("s", "opening %s\n", path.c_str());
    std::string text;
    if (!read_product_file(path, kConfigFileMax, text)) {
        dprintf("kxs_initServices(): Could not open file %s\n", path.c_str());
        return 0;
    }
    ServicesReader reader(handle);
    char line[kServicesLineBufferSize];
    for (const std::string &piece : split_as_fgets(text, sizeof line)) {
        // As fgets hands it over: a NUL inside ends the line.
        snprintf(line, sizeof line, "%s", piece.c_str());
        reader.line(line);
    }
    reader.end_of_file();
    return 1;
}

}  // namespace kx
