-- The item database sys.mdb: one row per item reported under a watch key.
CREATE TABLE t_item (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    sid TEXT,
    bbid TEXT,
    bbtitle TEXT,
    bbsl INTEGER
);

-- Every look-up asks for one (sid, bbid) pair.
CREATE INDEX ix_item_sid_bbid ON t_item (sid, bbid);

-- The program's own state, beside t_item so that other readers of t_item see
-- it unchanged: items stored without being reported (by t_item rowid), and
-- the search keys that had their first check.
CREATE TABLE t_silent (id INTEGER PRIMARY KEY);
CREATE TABLE t_baseline (sid TEXT PRIMARY KEY);
