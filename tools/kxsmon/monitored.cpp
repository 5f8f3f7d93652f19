// The monitored terminals: the table listed, a terminal added or deleted.
#include "section.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kxsmon {
namespace {

// The table as the library stores it, one ID a line. Read as the library
// reads it: no link followed, no FIFO waited on, at most the table's lines
// of at most 255 characters.
std::vector<std::string> read_table(const std::string &root)
{
    const std::string path = root + "/var/opt/ZARNkx/snmp/kxsmonitoreddtus.data";
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st{};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const std::size_t cap = static_cast<std::size_t>(KXS_MAX_MONITORED_DTUS) * 256;
        char buffer[8192];
        ssize_t n = 0;
        while (text.size() < cap &&
               ((n = read(fd, buffer, std::min(sizeof buffer, cap - text.size()))) > 0 ||
                (n < 0 && errno == EINTR)))
            text.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    if (fd >= 0)
        close(fd);
    std::vector<std::string> ids;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        ids.push_back(text.substr(start, end - start));
    }
    return ids;
}

std::string text_of(const std::vector<std::string> &ids)
{
    std::string out = "  " + std::to_string(ids.size()) + " monitored\n";
    for (const std::string &id : ids)
        out += "  " + printable(id.c_str()) + "\n";
    return out;
}

Json json_of(const std::vector<std::string> &ids)
{
    Json list = Json::array();
    for (const std::string &id : ids)
        list.push(Json::text(id));
    return list;
}

void prom_of(const std::vector<std::string> &ids, Prom &prom)
{
    prom.gauge("kxsmon_monitored_terminals", "Number of terminals in the monitored table.");
    prom.sample("kxsmon_monitored_terminals", static_cast<int64_t>(ids.size()));
}

std::string add_failure(const std::string &id)
{
    if (errno == EINVAL)
        return "terminal " + id + " refused: an ID is one line of at most 254 characters";
    if (errno == ENOSPC)
        return "terminal " + id + " refused: the table is full (" +
               std::to_string(KXS_MAX_MONITORED_DTUS) + " terminals)";
    return store_failure("the monitored table");
}

Result change(KXSHandle *handle, const std::vector<std::string> &args)
{
    if (args.size() != 2 || (args[0] != "add" && args[0] != "delete"))
        return misuse("monitored takes nothing, add ID or delete ID");
    errno = 0;
    if (args[0] == "add" && kxs_addDTUMonitored(handle, args[1].c_str()) != 0)
        return failure(add_failure(args[1]));
    if (args[0] == "delete" && kxs_deleteDTUMonitored(handle, args[1].c_str()) != 0)
        return failure(store_failure("the monitored table"));
    return {};
}

Result run(KXSHandle *handle, const Request &request)
{
    if (!request.args.empty()) {
        Result changed = change(handle, request.args);
        if (changed.status != kOk)
            return changed;
    }
    const std::vector<std::string> ids = read_table(request.root);
    Result r;
    r.text = text_of(ids);
    r.json = json_of(ids);
    prom_of(ids, r.prom);
    return r;
}

}  // namespace

const Section kMonitoredSection = {"monitored", "Monitored terminals",
                                   "  monitored            the monitored terminals\n"
                                   "  monitored add ID     monitor the terminal ID\n"
                                   "  monitored delete ID  stop monitoring the terminal ID\n",
                                   true, run};

}  // namespace kxsmon
