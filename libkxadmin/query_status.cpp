#include "query_status.h"

#include "kxsmon.h"

#include <cstdio>
#include <utility>

namespace kx {

namespace {

thread_local QueryStatus *tStatus = nullptr;
thread_local DaemonMemory *tMemory = nullptr;
const std::string kOutOfMemory = "memory ran out";

}  // namespace

void QueryStatus::fail(int code, std::string text)
{
    if (code_ == 0) {
        code_ = code;
        text_ = std::move(text);
    } else {
        ++more_;
    }
}

void QueryStatus::fail_without_text(int code) noexcept
{
    if (code_ == 0)
        code_ = code;
    else
        ++more_;
}

void QueryStatus::absorb(const QueryStatus &other)
{
    if (!other.failed())
        return;
    if (code_ == 0) {
        code_ = other.code_;
        text_ = other.text_;
        more_ += other.more_;
    } else {
        more_ += other.more_ + 1;
    }
}

int QueryStatus::code() const
{
    if (code_ == 0)
        return KXS_OK;
    return partial_ ? KXS_EPARTIAL : code_;
}

std::string QueryStatus::text() const
{
    if (code_ == 0)
        return {};
    const std::string &first = text_.empty() && code_ == KXS_ENOMEM ? kOutOfMemory : text_;
    if (more_ == 0)
        return first;
    return first + " (and " + std::to_string(more_) +
           (more_ == 1 ? " more failure)" : " more failures)");
}

QueryScope::QueryScope(QueryStatus &status, DaemonMemory *memory) : outermost_(tStatus == nullptr)
{
    if (outermost_) {
        tStatus = &status;
        tMemory = memory;
    }
}

QueryScope::~QueryScope()
{
    if (outermost_) {
        tStatus = nullptr;
        tMemory = nullptr;
    }
}

NoteRecorder::NoteRecorder(QueryStatus &into, bool passOn)
    : into_(into), outer_(tStatus), passOn_(passOn)
{
    into_.clear();
    tStatus = &into_;
}

NoteRecorder::~NoteRecorder()
{
    tStatus = outer_;
    if (outer_ && passOn_)
        outer_->absorb(into_);
}

void note_failure(int code, std::string text)
{
    if (tStatus)
        tStatus->fail(code, std::move(text));
}

void note_partial()
{
    if (tStatus)
        tStatus->set_partial();
}

void note_all(const QueryStatus &cached)
{
    if (tStatus)
        tStatus->absorb(cached);
}

void note_answer()
{
    if (tStatus)
        tStatus->count_answer();
}

int query_answers()
{
    return tStatus ? tStatus->answers() : 0;
}

bool query_failed()
{
    return tStatus && tStatus->failed();
}

DaemonMemory *running_daemon_memory()
{
    return tMemory;
}

std::string seconds_text(int ms)
{
    char text[32];
    if (ms % 1000 == 0)
        snprintf(text, sizeof text, "%d s", ms / 1000);
    else
        snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
    return text;
}

}  // namespace kx
