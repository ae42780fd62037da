-- Local database of the orvale gateway (PostgreSQL 15).
--
-- Applied once to a fresh database by the operator; the service itself issues no DDL.
-- Money, prices and volumes are numeric because the service's SQL rounds them with round(x, 2),
-- which is not defined for double precision. Timestamps are without time zone throughout: the
-- service converts its texts explicitly and compares load stamps with now().

BEGIN;

-- Upstream applications (aggregators) and their api keys.
-- sname is looked up as sname = upper('...'), so it must be stored in upper case.
CREATE TABLE apptypes (
  id          integer NOT NULL,
  sname       text    NOT NULL,
  key         text    NOT NULL,
  description text,
  CONSTRAINT apptypes_pkey PRIMARY KEY (id),
  CONSTRAINT apptypes_sname_upper CHECK (sname = upper(sname)),
  CONSTRAINT apptypes_sname_key UNIQUE (sname),
  -- One application per key: authentication takes the first row it finds.
  CONSTRAINT apptypes_key_key UNIQUE (key)
);

-- Stations of the network, copied from the back-office by the station synchronisation.
-- Only the key is NOT NULL: the merge copies back-office NULLs as they are, and a constraint
-- here would abort the whole merge transaction on one incomplete station.
CREATE TABLE azslist (
  id           integer NOT NULL,
  title        text,
  company      integer,
  proprietor   integer,
  exploit      integer,
  owner        integer,
  num_num      integer,
  doc_num      integer,
  doc_address  text,
  deleted      boolean DEFAULT false,
  id_shop_type integer,
  azs_country  text,
  azs_city     text,
  azs_zip      text,
  azs_street   text,
  azs_addr     text,
  pos_lat      numeric(9, 6),
  pos_lon      numeric(9, 6),
  timefix      timestamp without time zone,
  CONSTRAINT azslist_pkey PRIMARY KEY (id)
);

-- Products of the station network, copied from the back-office by the product synchronisation.
CREATE TABLE products (
  prodcod          integer NOT NULL,
  prodtyp          integer,
  title            text,
  min_dens         numeric(10, 4),
  max_dens         numeric(10, 4),
  showing          boolean DEFAULT true,
  article          text,
  num_modification numeric,
  full_del         boolean DEFAULT false,
  CONSTRAINT products_pkey PRIMARY KEY (prodcod)
);

-- How to reach each station's controller, and the key the controller authenticates with.
-- Rows come from the station synchronisation (which never writes pass); pass is issued by
-- registration and stays NULL until then. A new link is not offered to the aggregator until
-- an operator sets active.
CREATE TABLE links (
  id_shop    integer NOT NULL,
  addr       text    NOT NULL,
  port       integer,
  pass       text,
  ssl        boolean NOT NULL DEFAULT false,
  active     boolean DEFAULT false, -- NULL reads as false
  is_postpay boolean DEFAULT false, -- NULL reads as false
  CONSTRAINT links_pkey PRIMARY KEY (id_shop),
  CONSTRAINT links_id_shop_fkey FOREIGN KEY (id_shop) REFERENCES azslist (id)
);
-- Station controllers authenticate by their key, matched exactly.
CREATE INDEX links_pass_idx ON links (pass);

-- Dispensers (trk), their nozzles (sch), and the product and tank behind each nozzle.
-- is_postpay stays NULL unless set per dispenser: NULL means "as the station's link says".
CREATE TABLE azsconf (
  id_shop      integer NOT NULL,
  trk          integer NOT NULL,
  sch          integer NOT NULL,
  prodcod      integer NOT NULL,
  tanknum      integer,
  deleted      boolean NOT NULL DEFAULT false,
  temp_blocked boolean NOT NULL DEFAULT false,
  is_postpay   boolean,
  CONSTRAINT azsconf_pkey PRIMARY KEY (id_shop, trk, sch),
  CONSTRAINT azsconf_id_shop_fkey FOREIGN KEY (id_shop) REFERENCES azslist (id),
  CONSTRAINT azsconf_prodcod_fkey FOREIGN KEY (prodcod) REFERENCES products (prodcod)
);
-- Dispenser state and price checks go by (station, product, dispenser); the price list takes
-- the distinct (station, product) pairs.
CREATE INDEX azsconf_shop_prod_trk_idx ON azsconf (id_shop, prodcod, trk);

-- Current price per station and product.
-- No foreign keys: station controllers push prices for product codes of their own (callback),
-- and those must not be refused here.
CREATE TABLE curprices (
  id_shop integer NOT NULL,
  prodcod integer NOT NULL,
  price   numeric(12, 4) NOT NULL,
  timeget timestamp without time zone NOT NULL DEFAULT now(),
  timeset timestamp without time zone NOT NULL DEFAULT now(),
  deleted boolean NOT NULL DEFAULT false,
  CONSTRAINT curprices_pkey PRIMARY KEY (id_shop, prodcod)
);

-- Each application's own product ids for the network's product codes.
CREATE TABLE prodmaps (
  id_app  integer NOT NULL,
  prodcod integer NOT NULL,
  prodmap text    NOT NULL,
  CONSTRAINT prodmaps_pkey PRIMARY KEY (id_app, prodcod),
  -- The reverse lookup (application product id -> product code) must be unambiguous.
  CONSTRAINT prodmaps_id_app_prodmap_key UNIQUE (id_app, prodmap),
  CONSTRAINT prodmaps_id_app_fkey FOREIGN KEY (id_app) REFERENCES apptypes (id),
  CONSTRAINT prodmaps_prodcod_fkey FOREIGN KEY (prodcod) REFERENCES products (prodcod)
);

-- Order types per application, named as the application sends them ("OrderType").
-- Ids are numbered per application.
CREATE TABLE ordtypes (
  id     integer NOT NULL,
  id_app integer NOT NULL,
  sname  text    NOT NULL,
  CONSTRAINT ordtypes_pkey PRIMARY KEY (id_app, id),
  CONSTRAINT ordtypes_id_app_fkey FOREIGN KEY (id_app) REFERENCES apptypes (id)
);
-- Names are matched with LIKE: the pattern opclass serves that lookup and keeps names unique.
CREATE UNIQUE INDEX ordtypes_app_sname_idx ON ordtypes (id_app, sname text_pattern_ops);

-- Order statuses per application, named as the application sends them ("Status").
-- Ids are numbered per application; the service falls back to 3 for a completion and to 4 for
-- a cancellation whose status name it cannot resolve, so an application's statuses should be
-- numbered with that in mind.
CREATE TABLE stattypes (
  id     integer NOT NULL,
  id_app integer NOT NULL,
  sname  text    NOT NULL,
  CONSTRAINT stattypes_pkey PRIMARY KEY (id_app, id),
  CONSTRAINT stattypes_id_app_fkey FOREIGN KEY (id_app) REFERENCES apptypes (id)
);
CREATE UNIQUE INDEX stattypes_app_sname_idx ON stattypes (id_app, sname text_pattern_ops);

-- One row per order and application.
-- Only the key is NOT NULL: an order is first stored with whatever the aggregator sent, every
-- unset field as NULL. No foreign keys: ids arrive from outside, and a cancellation whose status
-- name is unknown is stored with a fallback status id.
CREATE TABLE orders (
  id                   text    NOT NULL,
  id_app               integer NOT NULL,
  timebeg              timestamp without time zone,
  ord_typ              integer,
  orderval             numeric(14, 4),
  id_shop              integer,
  shopext              text,
  trk                  integer,
  prodcod              integer,
  prodname             text,
  priceid              text,
  prodext              text,
  price                numeric(12, 4),
  ord_sum              numeric(14, 4),
  ord_vol              numeric(14, 4),
  sumpaid              numeric(14, 4),
  status               integer,
  timeend              timestamp without time zone,
  reasonid             text,
  reason               text,
  volume               numeric(14, 4),
  summa                numeric(14, 4),
  contractid           text,
  trannum              integer,
  user_phone           text,
  user_mail            text,
  prodident            text,
  ordtypext            text,
  ordstatext           text,
  volcompleted         numeric(14, 4),
  sumpaidcompleted     numeric(14, 4),
  sumpaidcardcompleted numeric(14, 4),
  sumpaidcard          numeric(14, 4),
  statusint            integer,
  statusconfirmed      integer,
  errcode              integer DEFAULT 0,
  azstimebeg           timestamp without time zone,
  azstimelast          timestamp without time zone,
  CONSTRAINT orders_pkey PRIMARY KEY (id, id_app),
  CONSTRAINT orders_statusconfirmed_check CHECK (statusconfirmed IN (0, 1))
);

-- Bookkeeping of the three synchronisation runs. syncdate is the stamp of the last run that
-- passed the interval guard; status is -1 while a run loads and 1 once it has finished.
CREATE TABLE syncinfo (
  tablename text    NOT NULL,
  syncdate  timestamp without time zone,
  status    integer,
  CONSTRAINT syncinfo_pkey PRIMARY KEY (tablename),
  CONSTRAINT syncinfo_tablename_check CHECK (tablename IN ('products', 'azsconf', 'curprices')),
  CONSTRAINT syncinfo_status_check CHECK (status IN (-1, 1))
);
-- The runs only update these rows, and a missing row stops a run at its guard. A NULL syncdate
-- counts as older than any interval, so the first run of each kind goes through; a NULL status
-- says the data set was never synchronised.
INSERT INTO syncinfo (tablename, syncdate, status) VALUES
  ('products', NULL, NULL),
  ('azsconf', NULL, NULL),
  ('curprices', NULL, NULL);

-- Load tables of the synchronisation runs: each row carries the stamp of the run that loaded
-- it, and every run deletes its own rows and all older ones. Nothing here has to survive a
-- crash, so the tables are unlogged. min_dens, max_dens and article are not loaded; the product
-- merge copies these columns' NULLs into products.
CREATE UNLOGGED TABLE temp_load_products (
  syncdate         timestamp without time zone NOT NULL,
  prodcod          integer,
  prodtyp          integer,
  title            text,
  min_dens         numeric(10, 4),
  max_dens         numeric(10, 4),
  showing          boolean,
  article          text,
  num_modification numeric,
  full_del         boolean
);
CREATE INDEX temp_load_products_syncdate_idx ON temp_load_products (syncdate);

CREATE UNLOGGED TABLE temp_load_conf (
  syncdate     timestamp without time zone NOT NULL,
  rn           integer,
  id           integer,
  title        text,
  company      integer,
  proprietor   integer,
  exploit      integer,
  owner        integer,
  num_num      integer,
  doc_num      integer,
  doc_address  text,
  deleted      boolean,
  id_shop_type integer,
  azs_country  text,
  azs_city     text,
  azs_zip      text,
  azs_street   text,
  azs_addr     text,
  pos_lat      numeric(9, 6),
  pos_lon      numeric(9, 6),
  link_addr    text,
  link_port    integer,
  link_pass    text,
  prodcod      integer,
  trk          integer,
  sch          integer,
  tanknum      integer
);
-- Serves the stamp deletes and the nozzle matching of the disabling statement.
CREATE INDEX temp_load_conf_stamp_nozzle_idx ON temp_load_conf (syncdate, id, trk, sch);

CREATE UNLOGGED TABLE temp_load_prices (
  timeget timestamp without time zone NOT NULL,
  id_shop integer,
  prodcod integer,
  price   numeric(12, 4),
  timeset timestamp without time zone,
  deleted boolean
);
CREATE INDEX temp_load_prices_timeget_idx ON temp_load_prices (timeget);

-- Announcements of catalogue changes. The gateway keeps the price list, the station
-- configuration and the key lookups in memory and drops them when any table they read changes:
-- every statement that changes one of these tables (the gateway's own, the back-office
-- synchronisation's, or one typed by hand) notifies the channel "orvale_catalogue" with the
-- table's name, delivered when its transaction commits.
CREATE OR REPLACE FUNCTION orvale_catalogue_changed() RETURNS trigger
LANGUAGE plpgsql AS $$
BEGIN
  PERFORM pg_notify('orvale_catalogue', TG_TABLE_NAME);
  RETURN NULL;
END;
$$;

DO $$
DECLARE
  t text;
BEGIN
  FOREACH t IN ARRAY ARRAY['apptypes', 'azslist', 'links', 'azsconf', 'curprices', 'prodmaps'] LOOP
    EXECUTE format('CREATE TRIGGER orvale_catalogue_changed'
                   ' AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON %I'
                   ' FOR EACH STATEMENT EXECUTE FUNCTION orvale_catalogue_changed()', t);
  END LOOP;
END;
$$;

-- Work promised after an answer (a relay to the aggregator, the next step of an order's run) is
-- kept here until it is done, written in the same transaction as the state change it follows.
-- Every gateway process claims due jobs with FOR UPDATE SKIP LOCKED under a lease it renews
-- while the job runs; a job whose lease ran out (its process died) is taken over by any process.
-- One order's jobs run one at a time, in the order they were booked (by id).
CREATE TABLE IF NOT EXISTS orvale_jobs (
  id bigserial PRIMARY KEY,
  kind text NOT NULL,
  id_app integer NOT NULL,
  order_id text NOT NULL,
  args jsonb NOT NULL DEFAULT '{}',
  peer text NOT NULL DEFAULT '',          -- scheme://host:port the job calls
  due_at timestamptz NOT NULL DEFAULT now(),
  attempts integer NOT NULL DEFAULT 0,
  state text NOT NULL DEFAULT 'scheduled'
    CHECK (state IN ('scheduled', 'running', 'done', 'failed')),
  owner text,                             -- the process holding the lease
  lease_until timestamptz,
  last_error text,
  created_at timestamptz NOT NULL DEFAULT now(),
  updated_at timestamptz NOT NULL DEFAULT now()
);

-- A queue's rows are rewritten at every claim, retry and end: vacuumed and analysed after a
-- fixed number of changes, not a share of the table, so that dead index entries do not pile up
-- in front of the claims while thousands of jobs wait.
ALTER TABLE orvale_jobs SET (autovacuum_vacuum_scale_factor = 0, autovacuum_vacuum_threshold = 2000,
  autovacuum_analyze_scale_factor = 0, autovacuum_analyze_threshold = 2000,
  autovacuum_vacuum_cost_delay = 0);

-- What may be claimed, soonest first, and the leases that may run out; finished jobs stay out
-- of the claims' indexes.
CREATE INDEX IF NOT EXISTS orvale_jobs_due ON orvale_jobs (due_at, id) WHERE state = 'scheduled';
CREATE INDEX IF NOT EXISTS orvale_jobs_peer_due ON orvale_jobs (peer, due_at, id)
  WHERE state = 'scheduled';
CREATE INDEX IF NOT EXISTS orvale_jobs_lease ON orvale_jobs (lease_until) WHERE state = 'running';
CREATE INDEX IF NOT EXISTS orvale_jobs_order ON orvale_jobs (id_app, order_id, id)
  WHERE state IN ('scheduled', 'running');
CREATE INDEX IF NOT EXISTS orvale_jobs_finished ON orvale_jobs (updated_at)
  WHERE state IN ('done', 'failed');

-- Every committed booking or rescheduling, and every end of a job that another job of its order
-- waits for (one booked, or one whose lease ran out), wakes the processes waiting for work. The
-- announcement names the peer of the job that may now be claimed, so that a process without room
-- for that peer need not look (one announcement per peer and transaction: equal ones are folded
-- at commit).
CREATE OR REPLACE FUNCTION orvale_jobs_booked() RETURNS trigger
LANGUAGE plpgsql AS $$
DECLARE
  waiting text;
BEGIN
  IF NEW.state = 'scheduled' THEN
    PERFORM pg_notify('orvale_jobs', NEW.peer);
    RETURN NULL;
  END IF;
  SELECT o.peer INTO waiting FROM orvale_jobs o
    WHERE o.id_app = NEW.id_app AND o.order_id = NEW.order_id
      AND (o.state = 'scheduled' OR (o.state = 'running' AND o.lease_until < now()))
    ORDER BY o.id LIMIT 1;
  IF FOUND THEN
    PERFORM pg_notify('orvale_jobs', waiting);
  END IF;
  RETURN NULL;
END;
$$;

CREATE TRIGGER orvale_jobs_booked AFTER INSERT OR UPDATE ON orvale_jobs
  FOR EACH ROW WHEN (NEW.state IN ('scheduled', 'done', 'failed'))
  EXECUTE FUNCTION orvale_jobs_booked();

COMMIT;
