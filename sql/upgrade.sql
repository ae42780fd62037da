-- Brings a database created by an earlier release's schema.sql up to this release's. Safe to
-- run more than once: every statement replaces what an earlier run made.
--
--   psql -U orvale -d orvale -v ON_ERROR_STOP=1 -f upgrade.sql

BEGIN;

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
    EXECUTE format('DROP TRIGGER IF EXISTS orvale_catalogue_changed ON %I', t);
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

DROP TRIGGER IF EXISTS orvale_jobs_booked ON orvale_jobs;
CREATE TRIGGER orvale_jobs_booked AFTER INSERT OR UPDATE ON orvale_jobs
  FOR EACH ROW WHEN (NEW.state IN ('scheduled', 'done', 'failed'))
  EXECUTE FUNCTION orvale_jobs_booked();

COMMIT;
