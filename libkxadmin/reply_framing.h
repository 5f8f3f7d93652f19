// What a daemon's reply is made of: lines, and the record blocks of a
// "status" reply. The transport hands a reply over as the bytes it read (the
// socket transport and the tests' scripted ones alike); the sinks below make
// lines and blocks of them in one pass over each read, as hiredis's reader
// is fed by its socket and by its tests.
#pragma once

#include "line_feeds.h"

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace kx {

// ---- sizes of a reply ------------------------------------------------------------

// Longest line handed to a parser. A longer line is dropped whole (with a
// diagnostic): a cut line would hand a parser a value that the daemon never
// sent.
constexpr std::size_t kMaxLineLength = 511;
// Longest text of a record or host block. A line that would make the block
// longer is left out of it.
constexpr std::size_t kMaxBlockLength = 2047;
// Fewest reply bytes that one record of a "status" reply is allowed to
// cost: a real record carries an identifier, an address and a token and
// runs to some 200 bytes. The records one reply may build are capped at its
// byte bound divided by this (a million for 64 MiB, fifty times a server of
// 20,000 terminals), so what a reply builds stays proportional to what it
// sent.
constexpr std::size_t kMinRecordBytes = 64;
// The most records one reply may build.
std::size_t max_reply_records();

// ---- the receiving end -------------------------------------------------------------

// Receives one reply, in order, as the bytes were read.
class ReplySink {
public:
    virtual ~ReplySink() = default;
    // The next bytes of the reply; data[length] may be written. False ends
    // the exchange.
    virtual bool bytes(char *data, std::size_t length) = 0;
};

// Receives one complete reply line, up to its first NUL if it holds one;
// line.data() is NUL-terminated. Returns false to end the exchange there.
using LineHandler = std::function<bool(std::string_view line)>;

// Joins the bytes of successive reads into lines ended by a line feed. The
// line feed is not part of the line; a carriage return stays. Text after the
// last line feed is held until more arrives, and never handed over if
// nothing does. A line that lies whole in one read is handed over in place:
// feed writes a NUL over its line feed in the caller's buffer.
class LineAssembler {
public:
    // `clientName` heads the diagnostic of a dropped line.
    explicit LineAssembler(const char *clientName) : clientName_(clientName) {}
    // False when the handler asked to stop.
    bool feed(char *data, std::size_t length, const LineHandler &onLine);
    // The same for a handler known at compile time (bool(std::string_view)),
    // so that a parser's step is inlined into the scan of the read buffer.
    template <class OnLine>
    bool feed_each(char *data, std::size_t length, OnLine &&onLine);

private:
    void report_overlong() const;

    const char *clientName_;
    std::string pending_;
    bool overlong_ = false;  // the pending line passed kMaxLineLength
};

template <class OnLine>
bool LineAssembler::feed_each(char *data, std::size_t length, OnLine &&onLine)
{
    // A line ends at its first NUL, as a C string would. Most reads hold
    // none, and then a line's length is simply its bytes up to the feed.
    const bool holdsNul = std::memchr(data, '\0', length) != nullptr;
    char *end = data + length;
    LineFeeds feeds(data, length);
    char *feed = feeds.next();
    if (!pending_.empty() || overlong_) {
        // The line that an earlier read began.
        const auto pieceLength = static_cast<std::size_t>((feed ? feed : end) - data);
        const bool fits = !overlong_ && pending_.size() + pieceLength <= kMaxLineLength;
        if (!feed) {
            if (fits)
                pending_.append(data, pieceLength);
            else
                overlong_ = true;
            return true;
        }
        bool goOn = true;
        if (!fits) {
            report_overlong();
        } else {
            pending_.append(data, pieceLength);
            goOn = onLine(std::string_view(pending_.c_str()));
        }
        pending_.clear();
        overlong_ = false;
        if (!goOn)
            return false;
        data = feed + 1;
        feed = feeds.next();
    }
    // The lines that lie whole in this read are handed over in place.
    for (; feed; feed = feeds.next()) {
        const auto lineLength = static_cast<std::size_t>(feed - data);
        if (lineLength > kMaxLineLength) {
            report_overlong();
        } else {
            *feed = '\0';
            if (!onLine(holdsNul ? std::string_view(data) : std::string_view(data, lineLength)))
                return false;
        }
        data = feed + 1;
    }
    // What follows the last line feed waits for the next read.
    const auto rest = static_cast<std::size_t>(end - data);
    if (rest > kMaxLineLength)
        overlong_ = true;
    else
        pending_.assign(data, rest);
    return true;
}

// A sink that makes lines of the bytes and hands each to a LineHandler.
class LineSink : public ReplySink {
public:
    LineSink(const char *clientName, const LineHandler &onLine)
        : lines_(clientName), onLine_(onLine)
    {
    }
    bool bytes(char *data, std::size_t length) override
    {
        return lines_.feed(data, length, onLine_);
    }

private:
    LineAssembler lines_;
    const LineHandler &onLine_;
};

// ---- record blocks -------------------------------------------------------------------

// The record-block framing of a "status" reply, line by line: "begin" opens
// a block, other lines are gathered into it (as long as it stays within
// kMaxBlockLength, counting a line feed a line), and "end" closes it and
// hands it over. An "end" without a "begin" before it hands over what came
// so far; once a block is handed over, nothing more is until the next
// "begin", so a run of "end" lines hands one block over once, not once per
// line. At most max_reply_records() blocks are handed over in one reply;
// the rest are dropped with a diagnostic.
class BlockFraming {
public:
    enum class Step {
        Open,   // "begin": a new block starts
        Add,    // the line belongs to the block
        Close,  // the block is complete: build its record
        Skip,   // the line is not part of any block handed over
    };
    explicit BlockFraming(const char *clientName = "reply")
        : clientName_(clientName), maxRecords_(max_reply_records())
    {
    }
    // Inline: a long reply steps through here once a line.
    Step step(std::string_view line)
    {
        if (line == "begin") {
            blockLength_ = 0;
            handedOver_ = false;
            return Step::Open;
        }
        if (handedOver_)
            return Step::Skip;
        if (line != "end") {
            if (blockLength_ + line.size() + 1 > kMaxBlockLength)
                return Step::Skip;
            blockLength_ += line.size() + 1;
            return Step::Add;
        }
        handedOver_ = true;
        if (records_ >= maxRecords_) {
            if (records_++ == maxRecords_)
                report_dropped();
            return Step::Skip;
        }
        ++records_;
        return Step::Close;
    }

private:
    void report_dropped() const;

    const char *clientName_;
    std::size_t maxRecords_;
    std::size_t records_ = 0;
    std::size_t blockLength_ = 0;  // of the block text the lines added so far make
    bool handedOver_ = false;
};

// Tells a reply of record blocks from one that holds text but no block at
// all: a daemon that answers something else (an error text, noise) has not
// said that it has no records.
class ReplyShape {
public:
    void line(std::string_view line)
    {
        if (line == "begin" || line == "end")
            framed_ = true;
        else
            text(line);
    }
    // The same for a line known to be "begin" or "end", or neither.
    void frame() { framed_ = true; }
    void text(std::string_view line) { text_ = text_ || !line.empty(); }
    // False when the reply held text and no "begin" or "end".
    bool holds_blocks() const { return framed_ || !text_; }

private:
    bool framed_ = false;
    bool text_ = false;
};

// The one reader of a reply of record blocks, whoever builds the records:
// the bytes are made lines, the lines framed, and the framing's steps handed
// to `Block`, which builds one record at a time as the lines come:
//   void open();                  a new block: whatever the last one left goes
//   void line(std::string_view);  a line of the block (no line feed, no NUL)
//   void close();                 the block is complete
// and, if it has one, void expect_bytes(std::size_t) before each read.
template <class Block>
class BlockReply : public ReplySink {
public:
    template <class... BlockArgs>
    explicit BlockReply(const char *clientName, BlockArgs &&...blockArgs)
        : lines_(clientName), framing_(clientName), block_(std::forward<BlockArgs>(blockArgs)...)
    {
    }
    bool bytes(char *data, std::size_t length) override
    {
        if constexpr (requires(Block &b, std::size_t n) { b.expect_bytes(n); })
            block_.expect_bytes(length);
        return lines_.feed_each(data, length, [this](std::string_view line) {
            step(line);
            return true;
        });
    }
    // False when the reply held text but no record block at all.
    bool holds_blocks() const { return shape_.holds_blocks(); }
    Block &block() { return block_; }

private:
    // The framing tells the shape of most lines: "begin" opens, "end"
    // closes, and a line added is neither.
    void step(std::string_view line)
    {
        switch (framing_.step(line)) {
        case BlockFraming::Step::Open:
            shape_.frame();
            return block_.open();
        case BlockFraming::Step::Add:
            shape_.text(line);
            return block_.line(line);
        case BlockFraming::Step::Close:
            shape_.frame();
            return block_.close();
        case BlockFraming::Step::Skip:
            return shape_.line(line);
        }
    }

    LineAssembler lines_;
    BlockFraming framing_;
    ReplyShape shape_;
    Block block_;
};

// Appends `line` and a line feed when the block stays within
// kMaxBlockLength; returns false (the block unchanged) otherwise.
bool append_block_line(std::string &blockText, std::string_view line);

}  // namespace kx
