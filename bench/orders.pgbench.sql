-- The statements one new order makes in the gateway, in its order, for pgbench (bench/orders.sh):
-- the order handler on its pooled session, then the order run's three stored jobs (forwarding to
-- the station, its confirmation, the dispenser start), each worked in a transaction of its own
-- and ended with the next one booked. The handler books the first running under its process's
-- lease, which hands it to a worker without a claim; each of the others takes over the row of the
-- one before in the statement that ends it, and its worker goes straight on. The station calls
-- between them are left out. The gateway sends a transaction's BEGIN (with a job's order lock) with
-- its first statement, a job's end with COMMIT, the write that the forwarding and the dispenser
-- start commit before their calls with that COMMIT, and the handler's last COMMIT with the order's
-- unlock, as one pipeline each, prepared; pgbench sends every statement on its own. Its ends count
-- the job's rows instead of failing when it was not held.
-- One pgbench transaction is one order. Variables from the command line: first_station,
-- stations, dispensers, price. Order ids are random numbers as text; the job args are a real
-- order's (0.9 kB).
\set n random(1, 9000000000000000000)
\set station random(:first_station, :first_station + :stations - 1)
\set trk random(1, :dispensers)
-- The handler (the caller's key is kept in memory): the stored order, the order's lock for the
-- handler, the checks' lookups and the stored order again (the gateway sends these as one
-- pipeline).
SELECT id, id_app, to_char(timebeg, E'YYYY-MM-DD HH24\x3aMI\x3aSS.US') as timebeg, ord_typ, orderval, id_shop, shopext, trk, prodcod, prodname, priceid, prodext, price, ord_sum, ord_vol, sumpaid, status, to_char(timeend, E'YYYY-MM-DD HH24\x3aMI\x3aSS.US') as timeend, reasonid, reason, volume, summa, contractid, trannum, user_phone, user_mail, prodident, ordtypext, ordstatext, volcompleted, sumpaidcompleted, sumpaidcardcompleted, sumpaidcard, statusint, statusconfirmed, errcode, to_char(azstimebeg, E'DD.MM.YYYY HH24\x3aMI\x3aSS') as azstimebeg, to_char(azstimelast, E'DD.MM.YYYY HH24\x3aMI\x3aSS') as azstimelast FROM orders WHERE id = :n::text AND id_app = 1 LIMIT 1;
SELECT pg_try_advisory_lock(1::integer, hashtext(:n::text));
SELECT s.id FROM stattypes s WHERE s.id_app = 1::integer AND s.sname LIKE 'OrderCreated' LIMIT 1;
SELECT a.id FROM azslist a WHERE a.id = :station::integer AND a.deleted = 'f';
SELECT l.id_shop, l.addr, l.port, l.pass, l.ssl::integer FROM links l WHERE l.id_shop = :station::integer LIMIT 1;
SELECT o.id FROM ordtypes o WHERE o.id_app = 1::integer AND o.sname LIKE 'Money' LIMIT 1;
SELECT m.prodcod FROM prodmaps m WHERE m.id_app = 1::integer AND m.prodmap = 'FUEL-1' LIMIT 1;
SELECT id, id_app, to_char(timebeg, E'YYYY-MM-DD HH24\x3aMI\x3aSS.US') as timebeg, ord_typ, orderval, id_shop, shopext, trk, prodcod, prodname, priceid, prodext, price, ord_sum, ord_vol, sumpaid, status, to_char(timeend, E'YYYY-MM-DD HH24\x3aMI\x3aSS.US') as timeend, reasonid, reason, volume, summa, contractid, trannum, user_phone, user_mail, prodident, ordtypext, ordstatext, volcompleted, sumpaidcompleted, sumpaidcardcompleted, sumpaidcard, statusint, statusconfirmed, errcode, to_char(azstimebeg, E'DD.MM.YYYY HH24\x3aMI\x3aSS') as azstimebeg, to_char(azstimelast, E'DD.MM.YYYY HH24\x3aMI\x3aSS') as azstimelast FROM orders WHERE id = :n::text AND id_app = 1 LIMIT 1;
-- Then the checks and the new row (the gateway sends the row with the dispenser's state after it).
BEGIN;
SELECT p.price FROM azsconf c, curprices p WHERE c.id_shop = p.id_shop AND c.prodcod = p.prodcod AND p.deleted = 'f' AND p.id_shop = :station::integer AND p.prodcod = 1::integer AND c.trk = :trk::integer LIMIT 1;
INSERT INTO orders(id, id_app, timebeg, ord_typ, orderval, id_shop, shopext, trk, prodcod, prodname, priceid, prodext, price, ord_sum, ord_vol, sumpaid, status, timeend, reasonid, reason, volume, summa, contractid, trannum, user_phone, user_mail, prodident, ordtypext, ordstatext, volcompleted, sumpaidcompleted, sumpaidcardcompleted, sumpaidcard, statusint, statusconfirmed, errcode, azstimebeg, azstimelast) VALUES (:n::text,1,to_timestamp('2024-05-01 12:00:00.000', E'YYYY-MM-DD HH24\x3aMI\x3aSS.US')::timestamp without time zone at time zone 'Etc/UTC',1,500.0000,:station,'ext-' || :station::text,:trk,1,NULL,'bench','FUEL-1',:price,500.0000,10.0000,NULL,1,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,'FUEL-1','Money','OrderCreated',NULL,NULL,NULL,NULL,1,NULL,0,NULL,NULL);
SELECT CASE WHEN c.deleted = true THEN 1 ELSE CASE WHEN c.temp_blocked = true THEN 2 ELSE 0 END END AS stat FROM azsconf c WHERE c.id_shop = :station::integer AND c.prodcod = 1::integer AND c.trk = :trk::integer LIMIT 1;
UPDATE orders SET status = 1, ordstatext = 'OrderCreated', statusint = 7, statusconfirmed = 0 Where id_app = 1 and id = :n::text AND coalesce(statusint, -1) IN (-1,0,1,7);
COMMIT;
-- The accepted state and the run's first job, with the state read for its check, committed
-- before the answer.
BEGIN;
UPDATE orders SET status = 1, ordstatext = 'OrderCreated', statusint = 1, statusconfirmed = 1 Where id_app = 1 and id = :n::text AND coalesce(statusint, -1) IN (7,1);
INSERT INTO orvale_jobs (kind, id_app, order_id, args, peer, due_at, state, owner, lease_until, attempts) SELECT 'order', 1::integer, :n::text, '{"apikey": "bench-key", "body": {"app_id": 1, "id": "pgbench-order", "price": 50, "prod": 1, "summa": 500, "trk": 5, "volume": 10}, "endpoint": "http://127.0.0.1:38723/api/azstank", "event": 1, "event_name": "OrderCreated", "key": "station-2002-key", "last": 200, "msg": "", "patch": {"id": "pgbench-order", "id_app": 1, "ordstatext": "OrderCreated", "statusconfirmed": 1, "statusint": 1, "volcompleted": 10, "volume": 10}, "rec": {"StationExtendedId": "2002", "current_price": 50, "id": "pgbench-order", "id_app": 1, "id_shop": 2002, "ord_sum": 500, "ord_typ": 1, "ord_vol": 10, "orderval": 500, "ordstatext": "OrderCreated", "ordtypext": "Money", "price": 50, "priceid": "bench", "prodcod": 1, "prodext": "FUEL-1", "prodident": "FUEL-1", "shopext": "ext-2002", "status": 1, "statusconfirmed": 1, "statusint": 1, "timebeg": "2024-05-01 12:00:00.000", "trk": 5, "volcompleted": 10, "volume": 10}, "redispatch": false, "station": 2002, "step": 1, "tries": 0}'::jsonb, 'http://127.0.0.1:9', now(),  CASE WHEN f.free THEN 'running' ELSE 'scheduled' END, CASE WHEN f.free THEN 'pgbench' END,  CASE WHEN f.free THEN now() + 60000::bigint * interval '1 millisecond' END,  CASE WHEN f.free THEN 1 ELSE 0 END FROM (SELECT NOT EXISTS (SELECT 1 FROM orvale_jobs o WHERE o.id_app = 1::integer   AND o.order_id = :n::text AND o.state IN ('scheduled', 'running'))   AND NOT EXISTS (SELECT 1 FROM orvale_jobs w WHERE w.state = 'scheduled' AND w.peer = 'http://127.0.0.1:9'   AND w.due_at <= now()) AS free) f RETURNING id AS job
\aset
SELECT coalesce(statusint, -1) FROM orders WHERE id_app = 1::integer AND id = :n::text;
COMMIT;
SELECT pg_advisory_unlock(1::integer, hashtext(:n::text));
-- Job 1, forwarding: booked running under the handler's process and handed to a worker, no
-- claim; the check before the station call takes the state read with the handler's commit;
-- then its row rewritten as job 2, with the state read after it (as with every chained step).
BEGIN;
SELECT pg_advisory_xact_lock(1::integer, hashtext(:n::text));
WITH f AS (SELECT NOT EXISTS (SELECT 1 FROM orvale_jobs o WHERE o.id_app = 1::integer AND o.order_id = :n::text AND o.state IN ('scheduled', 'running') AND o.id <> :job::bigint) AS free), advanced AS (UPDATE orvale_jobs j SET kind = 'order', args = '{"apikey": "bench-key", "body": {"app_id": 1, "id": "pgbench-order", "price": 50, "prod": 1, "summa": 500, "trk": 5, "volume": 10}, "endpoint": "http://127.0.0.1:38723/api/azstank", "event": 1, "event_name": "OrderCreated", "key": "station-2002-key", "last": 200, "msg": "", "patch": {"id": "pgbench-order", "id_app": 1, "ordstatext": "OrderCreated", "statusconfirmed": 1, "statusint": 1, "volcompleted": 10, "volume": 10}, "rec": {"StationExtendedId": "2002", "current_price": 50, "id": "pgbench-order", "id_app": 1, "id_shop": 2002, "ord_sum": 500, "ord_typ": 1, "ord_vol": 10, "orderval": 500, "ordstatext": "OrderCreated", "ordtypext": "Money", "price": 50, "priceid": "bench", "prodcod": 1, "prodext": "FUEL-1", "prodident": "FUEL-1", "shopext": "ext-2002", "status": 1, "statusconfirmed": 1, "statusint": 1, "timebeg": "2024-05-01 12:00:00.000", "trk": 5, "volcompleted": 10, "volume": 10}, "redispatch": false, "station": 2002, "step": 1, "tries": 0}'::jsonb, peer = 'http://127.0.0.1:9', due_at = now(), attempts = 1, last_error = NULL, lease_until = now() + 60000::bigint * interval '1 millisecond', created_at = now(), updated_at = now() FROM f WHERE f.free AND j.id = :job::bigint AND j.owner = 'pgbench' AND j.state = 'running' RETURNING j.id), booked AS (INSERT INTO orvale_jobs (kind, id_app, order_id, args, peer, due_at) SELECT 'order', 1::integer, :n::text, '{"apikey": "bench-key", "body": {"app_id": 1, "id": "pgbench-order", "price": 50, "prod": 1, "summa": 500, "trk": 5, "volume": 10}, "endpoint": "http://127.0.0.1:38723/api/azstank", "event": 1, "event_name": "OrderCreated", "key": "station-2002-key", "last": 200, "msg": "", "patch": {"id": "pgbench-order", "id_app": 1, "ordstatext": "OrderCreated", "statusconfirmed": 1, "statusint": 1, "volcompleted": 10, "volume": 10}, "rec": {"StationExtendedId": "2002", "current_price": 50, "id": "pgbench-order", "id_app": 1, "id_shop": 2002, "ord_sum": 500, "ord_typ": 1, "ord_vol": 10, "orderval": 500, "ordstatext": "OrderCreated", "ordtypext": "Money", "price": 50, "priceid": "bench", "prodcod": 1, "prodext": "FUEL-1", "prodident": "FUEL-1", "shopext": "ext-2002", "status": 1, "statusconfirmed": 1, "statusint": 1, "timebeg": "2024-05-01 12:00:00.000", "trk": 5, "volcompleted": 10, "volume": 10}, "redispatch": false, "station": 2002, "step": 1, "tries": 0}'::jsonb, 'http://127.0.0.1:9', now() FROM f WHERE NOT f.free RETURNING id), ended AS (UPDATE orvale_jobs j SET state = 'done', last_error = coalesce(nullif('', ''), j.last_error), owner = NULL, lease_until = NULL, updated_at = now() FROM f WHERE NOT f.free AND j.id = :job::bigint AND j.owner = 'pgbench' AND j.state = 'running' RETURNING 1) SELECT coalesce((SELECT id FROM advanced), (SELECT id FROM booked)) AS next_job, EXISTS (SELECT 1 FROM advanced) AS chained, (SELECT count(*) FROM advanced) + (SELECT count(*) FROM ended) AS held
\aset
SELECT coalesce(statusint, -1) FROM orders WHERE id_app = 1::integer AND id = :n::text;
COMMIT;
\set job :next_job
-- Job 2, the station's confirmation: the volume and state written before the call (the check
-- before the call takes the state from that write), the confirmed state, its row as job 3 and
-- the state read for job 3's check.
BEGIN;
SELECT pg_advisory_xact_lock(1::integer, hashtext(:n::text));
UPDATE orders SET volume = 10.0000, volcompleted = 10.0000, statusint = 2, statusconfirmed = 0 Where id_app = 1 and id = :n::text AND coalesce(statusint, -1) IN (1,2);
COMMIT;
BEGIN;
SELECT pg_advisory_xact_lock(1::integer, hashtext(:n::text));
UPDATE orders SET statusint = 2, statusconfirmed = 1 Where id_app = 1 and id = :n::text AND coalesce(statusint, -1) IN (1,2);
WITH f AS (SELECT NOT EXISTS (SELECT 1 FROM orvale_jobs o WHERE o.id_app = 1::integer AND o.order_id = :n::text AND o.state IN ('scheduled', 'running') AND o.id <> :job::bigint) AS free), advanced AS (UPDATE orvale_jobs j SET kind = 'order', args = '{"apikey": "bench-key", "body": {"app_id": 1, "id": "pgbench-order", "price": 50, "prod": 1, "summa": 500, "trk": 5, "volume": 10}, "endpoint": "http://127.0.0.1:38723/api/azstank", "event": 1, "event_name": "OrderCreated", "key": "station-2002-key", "last": 200, "msg": "", "patch": {"id": "pgbench-order", "id_app": 1, "ordstatext": "OrderCreated", "statusconfirmed": 1, "statusint": 1, "volcompleted": 10, "volume": 10}, "rec": {"StationExtendedId": "2002", "current_price": 50, "id": "pgbench-order", "id_app": 1, "id_shop": 2002, "ord_sum": 500, "ord_typ": 1, "ord_vol": 10, "orderval": 500, "ordstatext": "OrderCreated", "ordtypext": "Money", "price": 50, "priceid": "bench", "prodcod": 1, "prodext": "FUEL-1", "prodident": "FUEL-1", "shopext": "ext-2002", "status": 1, "statusconfirmed": 1, "statusint": 1, "timebeg": "2024-05-01 12:00:00.000", "trk": 5, "volcompleted": 10, "volume": 10}, "redispatch": false, "station": 2002, "step": 1, "tries": 0}'::jsonb, peer = 'http://127.0.0.1:9', due_at = now(), attempts = 1, last_error = NULL, lease_until = now() + 60000::bigint * interval '1 millisecond', created_at = now(), updated_at = now() FROM f WHERE f.free AND j.id = :job::bigint AND j.owner = 'pgbench' AND j.state = 'running' RETURNING j.id), booked AS (INSERT INTO orvale_jobs (kind, id_app, order_id, args, peer, due_at) SELECT 'order', 1::integer, :n::text, '{"apikey": "bench-key", "body": {"app_id": 1, "id": "pgbench-order", "price": 50, "prod": 1, "summa": 500, "trk": 5, "volume": 10}, "endpoint": "http://127.0.0.1:38723/api/azstank", "event": 1, "event_name": "OrderCreated", "key": "station-2002-key", "last": 200, "msg": "", "patch": {"id": "pgbench-order", "id_app": 1, "ordstatext": "OrderCreated", "statusconfirmed": 1, "statusint": 1, "volcompleted": 10, "volume": 10}, "rec": {"StationExtendedId": "2002", "current_price": 50, "id": "pgbench-order", "id_app": 1, "id_shop": 2002, "ord_sum": 500, "ord_typ": 1, "ord_vol": 10, "orderval": 500, "ordstatext": "OrderCreated", "ordtypext": "Money", "price": 50, "priceid": "bench", "prodcod": 1, "prodext": "FUEL-1", "prodident": "FUEL-1", "shopext": "ext-2002", "status": 1, "statusconfirmed": 1, "statusint": 1, "timebeg": "2024-05-01 12:00:00.000", "trk": 5, "volcompleted": 10, "volume": 10}, "redispatch": false, "station": 2002, "step": 1, "tries": 0}'::jsonb, 'http://127.0.0.1:9', now() FROM f WHERE NOT f.free RETURNING id), ended AS (UPDATE orvale_jobs j SET state = 'done', last_error = coalesce(nullif('', ''), j.last_error), owner = NULL, lease_until = NULL, updated_at = now() FROM f WHERE NOT f.free AND j.id = :job::bigint AND j.owner = 'pgbench' AND j.state = 'running' RETURNING 1) SELECT coalesce((SELECT id FROM advanced), (SELECT id FROM booked)) AS next_job, EXISTS (SELECT 1 FROM advanced) AS chained, (SELECT count(*) FROM advanced) + (SELECT count(*) FROM ended) AS held
\aset
SELECT coalesce(statusint, -1) FROM orders WHERE id_app = 1::integer AND id = :n::text;
COMMIT;
\set job :next_job
-- Job 3, the dispenser start: the state read before the call came with job 2's end; the
-- confirmed state with its end.
BEGIN;
SELECT pg_advisory_xact_lock(1::integer, hashtext(:n::text));
UPDATE orders SET statusint = 2, statusconfirmed = 1 Where id_app = 1 and id = :n::text AND coalesce(statusint, -1) IN (1,2);
WITH e AS (UPDATE orvale_jobs SET state = 'done', last_error = coalesce(nullif('', ''), last_error), owner = NULL, lease_until = NULL, updated_at = now() WHERE id = :job::bigint AND owner = 'pgbench' AND state = 'running' RETURNING 1) SELECT count(*) FROM e;
COMMIT;
