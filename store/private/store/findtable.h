#pragma once

#include "store/findrecord.h"
#include "store/sqlite.h"

namespace tw::sqlite {

// Makes the record of finds when it is missing. False, rather than an error,
// when the file is read-only and has none: the store still lists and looks up
// what t_item holds.
bool ensureFindTable(Connection& db);
bool hasFindTable(const Connection& db);

// Moves the rows of t_silent, which named items taken without a report by
// t_item rowid, into the record as kind baseline of unknown time and watch,
// in one transaction. Run again it changes nothing. Throws DbError.
void moveSilentRows(Connection& db);

// Writes one find of (sid, bbid), with the t_item row it goes with.
class FindWriter
{
public:
    explicit FindWriter(const Connection& db);
    void write(const std::string& sid, const std::string& bbid, const FindSource& source,
               FindKind kind);

private:
    Statement m_insert;
};

// True for a t_item row named i that counts as reported under its key: its
// record says so, or, for a row stored before the record was kept (none for
// its key and id), t_silent does not name it.
inline constexpr const char kReportedItem[] =
    "(exists (select 1 from t_find f where f.sid=i.sid and f.bbid=i.bbid and f.kind='new')"
    " or (not exists (select 1 from t_find f where f.sid=i.sid and f.bbid=i.bbid)"
    " and not exists (select 1 from t_silent s where s.id=i.rowid)))";

} // namespace tw::sqlite
