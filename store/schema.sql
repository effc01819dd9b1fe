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
-- it unchanged: the search keys that had their first check, and the record
-- of finds: when each stored item was found (UTC seconds), by which watch,
-- and how (new, baseline, marked, dedupe), and whether the user was told of
-- it (told). t_silent, where older versions
-- named the items taken without a report by t_item rowid, stays empty: its
-- rows are moved into the record when the program opens the file.
CREATE TABLE t_silent (id INTEGER PRIMARY KEY);
CREATE TABLE t_baseline (sid TEXT PRIMARY KEY);
CREATE TABLE t_find (
    sid TEXT NOT NULL,
    bbid TEXT NOT NULL,
    url TEXT NOT NULL DEFAULT '',
    found INTEGER,
    kind TEXT NOT NULL,
    told INTEGER NOT NULL DEFAULT 1,
    PRIMARY KEY (sid, bbid, url)
);

-- A watch's finds by time.
CREATE INDEX ix_find_url_found ON t_find (url, found);

-- The quiet-watch warning, per watch URL: when its checks succeeded, and the
-- episode in which it was told as quiet.
CREATE TABLE t_checked (url TEXT NOT NULL, begin INTEGER NOT NULL, end INTEGER NOT NULL);
CREATE INDEX ix_checked_url ON t_checked (url);
CREATE TABLE t_quiet (url TEXT PRIMARY KEY, since INTEGER NOT NULL, told INTEGER NOT NULL DEFAULT 0);

-- The watch URLs whose next check reads every result page: one of their
-- checks failed after storing part of its pages.
CREATE TABLE t_fullread (url TEXT PRIMARY KEY);
