-- Demo data set for a local orvale database created with schema.sql.
--
-- One aggregator application (DEMO, api key "demo-key") and three stations whose controllers
-- are expected on 127.0.0.1:9101..9103, each authenticating with "station-<id>-key":
--   101  two dispensers, prepaid only;
--   102  three dispensers, post-payment allowed (except on dispenser 3), dispenser 3 carries
--        diesel on both nozzles;
--   103  three dispensers, dispenser 3 temporarily blocked (orders on it are refused).
-- The synchronisation bookkeeping is dated in the past, so the first sync call goes through.

BEGIN;

INSERT INTO apptypes (id, sname, key, description) VALUES
  (1, 'DEMO', 'demo-key', 'Demo aggregator');

INSERT INTO products
  (prodcod, prodtyp, title, min_dens, max_dens, showing, article, num_modification, full_del)
VALUES
  (1, 1, 'АИ-92', 0.7250, 0.7800, true, 'AI92', 1, false),
  (2, 1, 'АИ-95', 0.7250, 0.7800, true, 'AI95', 1, false),
  (3, 1, 'АИ-98', 0.7300, 0.7800, true, 'AI98', 1, false),
  (4, 2, 'ДТ', 0.8200, 0.8450, true, 'DT', 1, false);

INSERT INTO azslist
  (id, title, company, proprietor, exploit, owner, num_num, doc_num, doc_address, deleted,
   id_shop_type, azs_country, azs_city, azs_zip, azs_street, azs_addr, pos_lat, pos_lon, timefix)
VALUES
  (101, 'Северная АЗС 101', 1, 1, 1, 1, 101, 0, 'г. Тверь, Петербургское ш., 41', false,
   1, 'Россия', 'Тверь', '170000', 'Петербургское ш.', 'г. Тверь, Петербургское ш., 41',
   56.889517, 35.862409, '2024-01-15 03:00:00'),
  (102, 'Южная АЗС 102', 1, 1, 1, 1, 102, 0, 'г. Тверь, Волоколамское ш., 7', false,
   1, 'Россия', 'Тверь', '170000', 'Волоколамское ш.', 'г. Тверь, Волоколамское ш., 7',
   56.829841, 35.934615, '2024-01-15 03:00:00'),
  (103, 'Речная АЗС 103', 1, 1, 2, 1, 103, 0, 'г. Тверь, наб. Афанасия Никитина, 3', false,
   2, 'Россия', 'Тверь', '170000', 'наб. Афанасия Никитина', 'г. Тверь, наб. Афанасия Никитина, 3',
   56.866122, 35.897307, '2024-01-15 03:00:00');

INSERT INTO links (id_shop, addr, port, pass, ssl, active, is_postpay) VALUES
  (101, '127.0.0.1', 9101, 'station-101-key', false, true, false),
  (102, '127.0.0.1', 9102, 'station-102-key', false, true, true),
  (103, '127.0.0.1', 9103, 'station-103-key', false, true, false);

INSERT INTO azsconf (id_shop, trk, sch, prodcod, tanknum, deleted, temp_blocked, is_postpay) VALUES
  (101, 1, 1, 1, 1, false, false, NULL),
  (101, 1, 2, 2, 2, false, false, NULL),
  (101, 2, 1, 2, 2, false, false, NULL),
  (101, 2, 2, 4, 3, false, false, NULL),
  (102, 1, 1, 1, 1, false, false, NULL),
  (102, 1, 2, 2, 2, false, false, NULL),
  (102, 2, 1, 1, 1, false, false, NULL),
  (102, 2, 2, 3, 3, false, false, NULL),
  (102, 3, 1, 4, 4, false, false, false),
  (102, 3, 2, 4, 4, false, false, false),
  (103, 1, 1, 1, 1, false, false, NULL),
  (103, 1, 2, 2, 2, false, false, NULL),
  (103, 2, 1, 4, 3, false, false, NULL),
  (103, 2, 2, 2, 2, false, false, NULL),
  (103, 3, 1, 1, 1, false, true, NULL),
  (103, 3, 2, 4, 3, false, true, NULL);

INSERT INTO prodmaps (id_app, prodcod, prodmap) VALUES
  (1, 1, 'a92'),
  (1, 2, 'a95'),
  (1, 3, 'a98'),
  (1, 4, 'dt');

INSERT INTO ordtypes (id, id_app, sname) VALUES
  (1, 1, 'Money'),
  (2, 1, 'Liters'),
  (3, 1, 'FullTank');

-- Completed is 3 and StationCanceled 4: the ids the service falls back to when it cannot
-- resolve a completion or a cancellation by name.
INSERT INTO stattypes (id, id_app, sname) VALUES
  (1, 1, 'OrderCreated'),
  (2, 1, 'Fueling'),
  (3, 1, 'Completed'),
  (4, 1, 'StationCanceled'),
  (5, 1, 'UserCanceled'),
  (6, 1, 'Expire'),
  (7, 1, 'Canceled');

-- One price per station and product found on its nozzles.
INSERT INTO curprices (id_shop, prodcod, price, timeget, timeset, deleted) VALUES
  (101, 1, 52.30, '2024-01-15 03:05:00', '2024-01-15 00:00:00', false),
  (101, 2, 57.15, '2024-01-15 03:05:00', '2024-01-15 00:00:00', false),
  (101, 4, 67.40, '2024-01-15 03:05:00', '2024-01-15 00:00:00', false),
  (102, 1, 52.45, '2024-01-15 03:05:00', '2024-01-15 00:00:00', false),
  (102, 2, 57.30, '2024-01-15 03:05:00', '2024-01-15 00:00:00', false),
  (102, 3, 71.90, '2024-01-15 03:05:00', '2024-01-15 00:00:00', false),
  (102, 4, 67.55, '2024-01-15 03:05:00', '2024-01-15 00:00:00', false),
  (103, 1, 52.10, '2024-01-15 03:05:00', '2024-01-15 00:00:00', false),
  (103, 2, 57.00, '2024-01-15 03:05:00', '2024-01-15 00:00:00', false),
  (103, 4, 67.20, '2024-01-15 03:05:00', '2024-01-15 00:00:00', false);

UPDATE syncinfo SET syncdate = '2024-01-15 03:00:00', status = 1
 WHERE tablename IN ('products', 'azsconf');
UPDATE syncinfo SET syncdate = '2024-01-15 03:05:00', status = 1
 WHERE tablename = 'curprices';

COMMIT;
