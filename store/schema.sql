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
