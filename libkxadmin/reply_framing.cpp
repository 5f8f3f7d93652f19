#include "reply_framing.h"

#include "exchange.h"
#include "utils.h"

#include <algorithm>

namespace kx {

std::size_t max_reply_records()
{
    return std::max<std::size_t>(1, reply_limits().maxBytes / kMinRecordBytes);
}

bool LineAssembler::feed(char *data, std::size_t length, const LineHandler &onLine)
{
    return feed_each(data, length, onLine);
}

void LineAssembler::report_overlong() const
{
    dprintf("%s(): dropped a reply line longer than %zu bytes\n", clientName_, kMaxLineLength);
}

void BlockFraming::report_dropped() const
{
    dprintf("%s(): reply holds more than %zu records; the rest is dropped\n", clientName_,
            maxRecords_);
}

bool append_block_line(std::string &blockText, std::string_view line)
{
    if (blockText.size() + line.size() + 1 > kMaxBlockLength)
        return false;
    blockText.append(line);
    blockText.push_back('\n');
    return true;
}

}  // namespace kx
