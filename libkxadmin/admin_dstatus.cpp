#include "admin_dstatus.h"

#include "admin_ustatus.h"
#include "utils.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>

namespace kx {
namespace {

datum key_of(const char *id)
{
    datum key{};
    key.dptr = const_cast<char *>(id);
    key.dsize = static_cast<int>(strlen(id));
    return key;
}

// Splits the text at separators as strtok does: runs of separators count as
// one, so empty fields are skipped.
class FieldReader {
public:
    explicit FieldReader(std::string_view text) : text_(text) {}
    // The next non-empty field as a new string, or NULL when none is left.
    char *next()
    {
        while (pos_ < text_.size() && text_[pos_] == kDbmFieldSeparator)
            ++pos_;
        if (pos_ >= text_.size())
            return nullptr;
        std::size_t end = text_.find(kDbmFieldSeparator, pos_);
        if (end == std::string_view::npos)
            end = text_.size();
        std::string field(text_.substr(pos_, end - pos_));
        pos_ = end;
        return safe_strdup(field.c_str());
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

// The fields of a stored record after its ID, in stored order.
constexpr char *dbm_desktop::*kStatusFields[] = {
    &dbm_desktop::model, &dbm_desktop::firmware_rev, &dbm_desktop::status,
    &dbm_desktop::last_status_time, &dbm_desktop::first_conn_time};

}  // namespace

DBM *open_desktop_dbm(const char *path, int mode)
{
    return open_status_dbm(path, mode);
}

dbm_desktop *allocate_dbm_desktop()
{
    return static_cast<dbm_desktop *>(safe_calloc(1, sizeof(dbm_desktop)));
}

void free_dbm_desktop(dbm_desktop *rec)
{
    if (!rec)
        return;
    free(rec->id);
    for (char *dbm_desktop::*field : kStatusFields)
        free(rec->*field);
    free(rec);
}

int dbm_desktop_exists(DBM *db, const char *id)
{
    if (!db || !id)
        return 0;
    return dbm_fetch(db, key_of(id)).dptr != nullptr ? 1 : 0;
}

dbm_desktop *get_dbm_desktop(DBM *db, const char *id)
{
    datum content{};
    if (db && id)
        content = dbm_fetch(db, key_of(id));
    if (!content.dptr || content.dsize <= 0) {
        dlprintf("a", "No desktop record.\n");
        return nullptr;
    }
    return fill_dbm_desktop_struct(id, content);
}

dbm_desktop *fill_dbm_desktop_struct(const char *id, datum content)
{
    // Stored contents end at 511 bytes; anything longer is cut there, and the
    // text ends at an embedded NUL as a C string would.
    std::size_t length = content.dptr && content.dsize > 0 ? static_cast<std::size_t>(content.dsize) : 0;
    if (length > static_cast<std::size_t>(kDbmContentMax))
        length = kDbmContentMax;
    std::string_view text(content.dptr ? content.dptr : "", length);
    text = text.substr(0, text.find('\0'));

    dbm_desktop *rec = allocate_dbm_desktop();
    FieldReader fields(text);
    rec->id = fields.next();
    if (rec->id && id && strcasecmp(rec->id, id) == 0) {
        for (char *dbm_desktop::*field : kStatusFields)
            rec->*field = fields.next();
        return rec;
    }
    dprintf("fill_dbm_desktop_struct(): corrupted ID in dbm_desktop record found (desktop ID=%s)\n",
            id ? id : "unknown");
    free_dbm_desktop(rec);
    return nullptr;
}

}  // namespace kx
