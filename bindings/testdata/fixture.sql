-- The database every binding's tests read: items 1..25 (every third label
-- NULL, item 1 with a BLOB), parts referencing them through a foreign key, a
-- view, integers at and beyond the 2^53 edge beside look-alike text, and a
-- small customers table for the documentation's examples.
CREATE TABLE items(id INTEGER PRIMARY KEY, label TEXT, weight REAL, data BLOB);
CREATE TABLE parts(id INTEGER PRIMARY KEY, item_id INTEGER NOT NULL REFERENCES items(id));
CREATE VIEW heavy AS SELECT id FROM items WHERE weight > 10;
WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 25)
INSERT INTO items
  SELECT i, CASE WHEN i % 3 = 0 THEN NULL ELSE 'item ' || i END, i * 0.5,
         CASE WHEN i = 1 THEN x'000102ff' END
  FROM c;
INSERT INTO parts SELECT id, id FROM items;
CREATE TABLE wide(id INTEGER PRIMARY KEY, n INTEGER, t TEXT);
INSERT INTO wide VALUES
  (1, 9007199254740993, '9007199254740993'),
  (2, -9223372036854775808, '{"n":-9223372036854775808}'),
  (3, 9007199254740991, 'dß-日本 "quoted" \ 12345678901234567890'),
  (4, 9223372036854775807, NULL);
CREATE TABLE customers(id INTEGER PRIMARY KEY, name TEXT NOT NULL);
INSERT INTO customers VALUES (1, 'Ada'), (2, 'Zoë'), (3, '日本');
