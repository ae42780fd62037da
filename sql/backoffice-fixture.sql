-- A small back-office database for the three synchronisations (sync_products, sync_stations,
-- sync_prices): only the tables and columns they read, and a network of seven outlets that shows
-- what each run takes over and what it leaves out.
--
-- The gateway only reads this database. Column types are what a back-office commonly has; the
-- synchronisation queries receive every value as text. Price times are written in UTC (the
-- gateway's sessions run in UTC), relative to the moment the file is loaded.

BEGIN;

-- Product directory.
CREATE TABLE pd_products (
  prodcod          integer NOT NULL PRIMARY KEY,
  prodtyp          integer,
  title            text,
  showing          boolean,
  num_modification numeric,
  full_del         boolean
);

-- Outlets. reserv is the price type: prices are taken over for type 5, or none.
CREATE TABLE sd_ident (
  id             integer NOT NULL PRIMARY KEY,
  title          text,
  doc_num        integer,
  num_num        integer,
  num_company    integer,
  num_proprietor integer,
  num_exploit    integer,
  num_owner      integer,
  doc_address    text,
  deleted        boolean DEFAULT false,
  id_shop_type   integer,
  azs_country    text,
  azs_city       text,
  azs_zip        text,
  azs_street     text,
  azs_addr       text,
  reserv         integer
);

-- Shift journal: the highest num per outlet is its current shift.
CREATE TABLE sj_shifts (
  id_shop integer NOT NULL,
  num     integer NOT NULL,
  PRIMARY KEY (id_shop, num)
);

-- Per-shift dispenser totals; typ 1 rows name the dispenser, nozzle, product and tank.
CREATE TABLE pj_trksum (
  id_shop integer NOT NULL,
  shift   integer NOT NULL,
  typ     integer NOT NULL,
  trk     integer,
  sch     integer,
  prodcod integer,
  tanknum integer
);
CREATE INDEX pj_trksum_shop_shift_idx ON pj_trksum (id_shop, shift);

-- Remote-connection settings per outlet: typ 0 address, 10 port, 11 password.
CREATE SCHEMA uremote;
CREATE TABLE uremote.sd_remote_conf (
  id_shop integer NOT NULL,
  typ     integer NOT NULL,
  tvalue  text,
  PRIMARY KEY (id_shop, typ)
);

-- Price history per outlet and product; settime is when a price takes effect.
CREATE TABLE pd_prodprices (
  id_shop integer NOT NULL,
  prod    integer NOT NULL,
  price   numeric(12, 4) NOT NULL,
  settime timestamp without time zone NOT NULL
);
CREATE INDEX pd_prodprices_shop_prod_idx ON pd_prodprices (id_shop, prod, settime);

-- The demo network of sql/demo.sql as the back-office sees it, and a little more: a product
-- that still lacks its type and modification number, stations that are not taken over (104 is of
-- type 3, 105 has no shift yet), one taken over without nozzles (106, whose price type also keeps
-- its prices out) and one without controller settings (107).
INSERT INTO pd_products (prodcod, prodtyp, title, showing, num_modification, full_del) VALUES
  (1, 1, 'АИ-92', true, 1, false),
  (2, 1, 'АИ-95', true, 1, false),
  (3, 1, 'АИ-98', true, 1, false),
  (4, 2, 'ДТ', true, 1, false),
  (5, NULL, 'Газ', true, NULL, false);

INSERT INTO sd_ident (id, title, doc_num, num_num, num_company, num_proprietor, num_exploit,
                      num_owner, doc_address, deleted, id_shop_type, azs_country, azs_city,
                      azs_zip, azs_street, azs_addr, reserv) VALUES
  (101, 'Северная', 0, 101, 1, 1, 1, 1, 'г. Тверь, Петербургское ш., 41', false, 1, 'Россия',
   'Тверь', '170000', 'Петербургское ш.', 'г. Тверь, Петербургское ш., 41', 5),
  (102, 'Южная', 0, 102, 1, 1, 1, 1, 'г. Тверь, Волоколамское ш., 7', false, 1, 'Россия',
   'Тверь', '170000', 'Волоколамское ш.', 'г. Тверь, Волоколамское ш., 7', NULL),
  (103, 'Речная', 0, 103, 1, 1, 2, 1, 'г. Тверь, наб. Афанасия Никитина, 3', false, 2, 'Россия',
   'Тверь', '170000', 'наб. Афанасия Никитина', 'г. Тверь, наб. Афанасия Никитина, 3', 5),
  (104, 'Западная', 0, 104, 1, 1, 1, 1, 'г. Тверь, Старицкое ш., 2', false, 3, 'Россия',
   'Тверь', '170000', 'Старицкое ш.', 'г. Тверь, Старицкое ш., 2', 5),
  (105, 'Восточная', 0, 105, 1, 1, 1, 1, NULL, false, 1, 'Россия', 'Тверь', NULL, NULL, NULL,
   5),
  (106, 'Лесная', 7, 106, 2, 2, 2, 2, 'г. Тверь, Лесная ул., 6', true, 1, 'Россия', 'Тверь',
   '170100', 'Лесная ул.', 'г. Тверь, Лесная ул., 6', 4),
  (107, 'Полевая', 0, 107, 1, 1, 1, 1, 'г. Тверь, Полевая ул., 1', false, 2, 'Россия', 'Тверь',
   '170100', 'Полевая ул.', 'г. Тверь, Полевая ул., 1', 5);

INSERT INTO sj_shifts (id_shop, num) VALUES
  (101, 1), (101, 2), (102, 5), (103, 1), (104, 1), (106, 3), (107, 1);

-- The current shift is the one that counts: 101's first shift had a third dispenser. Totals of
-- another kind (typ 2) and a nozzle without a product are no nozzles of the configuration.
INSERT INTO pj_trksum (id_shop, shift, typ, trk, sch, prodcod, tanknum) VALUES
  (101, 1, 1, 1, 1, 1, 1),
  (101, 1, 1, 3, 1, 3, 4),
  (101, 2, 1, 1, 1, 1, 1),
  (101, 2, 1, 1, 1, 1, 1),
  (101, 2, 1, 1, 2, 2, 2),
  (101, 2, 1, 2, 1, 2, 2),
  (101, 2, 1, 2, 2, 4, 3),
  (101, 2, 2, 2, 2, 4, 3),
  (101, 2, 1, 3, 1, 0, 4),
  (102, 5, 1, 1, 1, 1, 1),
  (102, 5, 1, 1, 2, 2, 2),
  (102, 5, 1, 2, 1, 1, 1),
  (102, 5, 1, 2, 2, 3, 3),
  (102, 5, 1, 3, 1, 4, 4),
  (102, 5, 1, 3, 2, 4, 4),
  (103, 1, 1, 1, 1, 1, 1),
  (103, 1, 1, 1, 2, 2, 2),
  (103, 1, 1, 2, 1, 4, 3),
  (103, 1, 1, 2, 2, 2, 2),
  (103, 1, 1, 3, 1, 1, 1),
  (104, 1, 1, 1, 1, 1, 1),
  (107, 1, 1, 1, 1, 1, 1);

-- The controllers of sql/demo.sql; 106's has no port setting (the default one applies). The
-- password is the back-office's own: the gateway's station keys come from registration.
INSERT INTO uremote.sd_remote_conf (id_shop, typ, tvalue) VALUES
  (101, 0, '127.0.0.1'),
  (101, 10, '9101'),
  (101, 11, 'backoffice-101'),
  (102, 0, '127.0.0.1'),
  (102, 10, '9102'),
  (103, 0, '127.0.0.1'),
  (103, 10, '9103'),
  (104, 0, '127.0.0.1'),
  (104, 10, '9104'),
  (106, 0, '127.0.0.1');

-- 101's АИ-92 has an older price, the current one and one that takes effect tomorrow; product 9
-- is not in the directory.
INSERT INTO pd_prodprices (id_shop, prod, price, settime)
SELECT id_shop, prod, price, (now() AT TIME ZONE 'UTC') + shift
FROM (VALUES
  (101, 1, 50.10, interval '-3 days'),
  (101, 1, 52.60, interval '-1 day'),
  (101, 1, 54.00, interval '1 day'),
  (101, 2, 57.40, interval '-2 days'),
  (101, 4, 67.90, interval '-2 days'),
  (101, 9, 70.00, interval '-2 days'),
  (102, 1, 52.70, interval '-2 days'),
  (102, 2, 57.50, interval '-2 days'),
  (102, 3, 72.00, interval '-2 days'),
  (102, 4, 67.80, interval '-2 days'),
  (103, 1, 52.20, interval '-2 days'),
  (103, 2, 57.10, interval '-2 days'),
  (103, 4, 67.30, interval '-2 days'),
  (104, 1, 48.00, interval '-2 days'),
  (106, 1, 47.00, interval '-2 days')
) AS p (id_shop, prod, price, shift);

COMMIT;
