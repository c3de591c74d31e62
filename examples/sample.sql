-- A small shop: the sample database that scripts/demo builds and reads.
-- Customers place orders; each order line names a product. Prices are REAL,
-- notes may be NULL, and each product carries a small BLOB thumbnail.
PRAGMA foreign_keys = ON;
BEGIN;

CREATE TABLE customers (
  id      INTEGER PRIMARY KEY,
  name    TEXT NOT NULL,
  city    TEXT,
  note    TEXT
);

CREATE TABLE products (
  id      INTEGER PRIMARY KEY,
  title   TEXT NOT NULL,
  price   REAL NOT NULL,
  thumb   BLOB
);

CREATE TABLE orders (
  id          INTEGER PRIMARY KEY,
  customer_id INTEGER NOT NULL REFERENCES customers(id),
  placed_on   TEXT NOT NULL,
  status      TEXT NOT NULL DEFAULT 'open'
);

CREATE TABLE order_items (
  order_id   INTEGER NOT NULL REFERENCES orders(id),
  product_id INTEGER NOT NULL REFERENCES products(id),
  quantity   INTEGER NOT NULL,
  PRIMARY KEY (order_id, product_id)
);

CREATE VIEW order_totals AS
  SELECT o.id AS order_id, c.name AS customer, round(sum(i.quantity * p.price), 2) AS total
  FROM orders o
  JOIN customers c ON c.id = o.customer_id
  JOIN order_items i ON i.order_id = o.id
  JOIN products p ON p.id = i.product_id
  GROUP BY o.id;

INSERT INTO customers VALUES
  (1, 'Ada Lovelace',   'London',  'prefers e-mail'),
  (2, 'Grace Hopper',   'New York', NULL),
  (3, 'Alan Turing',    'Manchester', 'ships to the office'),
  (4, 'Katherine Johnson', 'Hampton', NULL),
  (5, 'Linus Torvalds', 'Portland', NULL),
  (6, 'Søren Kierkegaard', 'København', 'wrote "either/or"');

INSERT INTO products VALUES
  (1, 'Notebook',        4.5,  x'89504E47'),
  (2, 'Fountain pen',   24.0,  x'FFD8FF'),
  (3, 'Slide rule',     39.95, NULL),
  (4, 'Punched cards',   2.25, x'00');

INSERT INTO orders VALUES
  (1, 1, '2024-03-01', 'shipped'),
  (2, 2, '2024-03-02', 'open'),
  (3, 3, '2024-03-05', 'open'),
  (4, 1, '2024-03-09', 'open');

INSERT INTO order_items VALUES
  (1, 1, 3), (1, 2, 1),
  (2, 4, 100),
  (3, 3, 1), (3, 1, 2),
  (4, 2, 2);

COMMIT;
