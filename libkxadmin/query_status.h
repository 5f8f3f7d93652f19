// The outcome of the query running on this thread: which source it needed
// failed, and whether it still answered with what it had. The sources (the
// daemon transport, the tool runner, the file readers) note their failures
// here as they happen; the exported function that started the query hands
// the outcome to its handle. Kept per thread, so that no lower routine needs
// a handle to report, and two threads with two handles never mix.
#pragma once

#include <string>

namespace kx {

class DaemonMemory;

class QueryStatus {
public:
    // A source that the query needed failed: `code` is a KXS_E... code. The
    // first failure names the outcome; later ones are counted.
    void fail(int code, std::string text);
    // The same when not even the text can be made: memory ran out.
    void fail_without_text(int code) noexcept;
    // The query answers with what it has despite its failures.
    void set_partial() { partial_ = true; }
    // One more source gave what the query asked of it.
    void count_answer() { ++answers_; }
    int answers() const { return answers_; }
    // Takes over another status's failures (a cached figure's, say).
    void absorb(const QueryStatus &other);
    void clear() { *this = QueryStatus(); }

    bool failed() const { return code_ != 0; }
    // KXS_OK, the first failure's code, or KXS_EPARTIAL.
    int code() const;
    // "" when nothing failed; otherwise the first failure's text, and how
    // many more there were.
    std::string text() const;

private:
    int code_ = 0;
    std::string text_;
    int more_ = 0;
    int answers_ = 0;
    bool partial_ = false;
};

// Makes `status` the running query of this thread for as long as it lives,
// with `memory` as the handle's memory of daemons that did not answer (or
// none). A scope opened while a query runs on the thread already (one
// exported function calling another) joins that query instead.
class QueryScope {
public:
    QueryScope(QueryStatus &status, DaemonMemory *memory);
    ~QueryScope();
    QueryScope(const QueryScope &) = delete;
    QueryScope &operator=(const QueryScope &) = delete;
    // False when this scope joined a query already running.
    bool outermost() const { return outermost_; }

private:
    bool outermost_;
};

// Gathers into `into` (emptied first) the failures noted while it lives,
// and passes them on to the running query when it ends (unless `passOn` is
// false: the caller decides which figures they touch): a cached figure
// keeps what its refresh found, and replays it with note_all().
class NoteRecorder {
public:
    explicit NoteRecorder(QueryStatus &into, bool passOn = true);
    ~NoteRecorder();
    NoteRecorder(const NoteRecorder &) = delete;
    NoteRecorder &operator=(const NoteRecorder &) = delete;

private:
    QueryStatus &into_;
    QueryStatus *outer_;
    bool passOn_;
};

// Notes on the running query; without one they are dropped.
void note_failure(int code, std::string text);
void note_partial();
void note_answer();
// The sources that answered the running query so far.
int query_answers();
// Passes a cached figure's failures on to the running query.
void note_all(const QueryStatus &cached);
// Whether the running query has noted a failure so far.
bool query_failed();
// The memory of the running query's handle, or nullptr.
DaemonMemory *running_daemon_memory();

// "5 s", "0.2 s": a bound in milliseconds as the texts give it.
std::string seconds_text(int ms);

}  // namespace kx
