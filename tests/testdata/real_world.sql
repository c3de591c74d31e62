-- A database as applications make them: a notes app's full-text index kept in
-- step by triggers (the external-content pattern of SQLite's FTS5 manual), a
-- mail archive searched with FTS4 and FTS3, map tiles behind an R*Tree index,
-- search views, tables named with a keyword and a dollar sign, a STRICT table
-- with generated columns, a WITHOUT ROWID table, AUTOINCREMENT and ANALYZE.
CREATE TABLE notes(id INTEGER PRIMARY KEY, title TEXT, body TEXT);
CREATE VIRTUAL TABLE notes_fts USING fts5(title, body, content='notes', content_rowid='id');
CREATE TRIGGER notes_ai AFTER INSERT ON notes BEGIN
  INSERT INTO notes_fts(rowid, title, body) VALUES (new.id, new.title, new.body);
END;
CREATE TRIGGER notes_ad AFTER DELETE ON notes BEGIN
  INSERT INTO notes_fts(notes_fts, rowid, title, body) VALUES ('delete', old.id, old.title, old.body);
END;
CREATE TRIGGER notes_au AFTER UPDATE ON notes BEGIN
  INSERT INTO notes_fts(notes_fts, rowid, title, body) VALUES ('delete', old.id, old.title, old.body);
  INSERT INTO notes_fts(rowid, title, body) VALUES (new.id, new.title, new.body);
END;
INSERT INTO notes(title, body) VALUES
  ('hello', 'hello world'), ('shopping', 'buy milk and bread'), ('trip', 'a world tour by train');
CREATE VIEW note_hits AS
  SELECT rowid AS id, highlight(notes_fts, 1, '[', ']') AS marked, bm25(notes_fts) < 0 AS ranked
  FROM notes_fts WHERE notes_fts MATCH 'world';

CREATE VIRTUAL TABLE mail USING fts4(subject, body);
INSERT INTO mail(subject, body) VALUES
  ('meeting', 'sqlite full text search on monday'), ('invoice', 'search engines and text'),
  ('lunch', 'pizza or pasta');
CREATE VIEW mail_hits AS
  SELECT docid, snippet(mail) AS snip, length(offsets(mail)) > 0 AS has_offsets,
         length(matchinfo(mail)) AS info_bytes
  FROM mail WHERE mail MATCH 'text';
CREATE VIRTUAL TABLE old_mail USING fts3(body);
INSERT INTO old_mail(body) VALUES ('archived message about trains'), ('another archived note');

CREATE VIRTUAL TABLE tiles USING rtree(id, min_x, max_x, min_y, max_y);
INSERT INTO tiles VALUES (1, 0, 10, 0, 10), (2, 5, 15, 5, 15), (3, 20, 30, 20, 30);
CREATE TABLE tile_names(id INTEGER PRIMARY KEY, name TEXT);
INSERT INTO tile_names VALUES (1, 'harbour'), (2, 'old town'), (3, 'airport');

CREATE TABLE "order"(id INTEGER PRIMARY KEY, item TEXT NOT NULL);
INSERT INTO "order" VALUES (1, 'pen'), (2, 'desk');
CREATE TABLE "$t"(k TEXT, v REAL);
INSERT INTO "$t" VALUES ('a', 1.5);

CREATE TABLE readings(
  id INTEGER PRIMARY KEY,
  celsius REAL NOT NULL,
  fahrenheit REAL GENERATED ALWAYS AS (celsius * 9 / 5 + 32) VIRTUAL,
  label TEXT GENERATED ALWAYS AS (printf('%.1f C', celsius)) STORED
) STRICT;
INSERT INTO readings(celsius) VALUES (20), (37.5);
CREATE TABLE settings(key TEXT PRIMARY KEY, value ANY) STRICT, WITHOUT ROWID;
INSERT INTO settings VALUES ('theme', 'dark'), ('zoom', 1.25);

CREATE TABLE events(id INTEGER PRIMARY KEY AUTOINCREMENT, what TEXT);
INSERT INTO events(what) VALUES ('created'), ('opened');
CREATE INDEX events_by_what ON events(what);
ANALYZE;
