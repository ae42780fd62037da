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

COMMIT;
