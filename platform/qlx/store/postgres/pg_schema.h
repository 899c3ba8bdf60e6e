// The tables of the PostgreSQL store, made and upgraded by the store itself. Every integer
// column is a bigint (the store reads them in binary form, 8 bytes each).
#ifndef QLX_PG_SCHEMA_H
#define QLX_PG_SCHEMA_H

namespace qlx::pg {

// The schema version this broker writes; a database of a later version is refused.
// Version 2 added the counter table and the wake trigger's quiet mode (a unit's commit
// wakes its queues itself); an older database gets both when a broker of this version
// opens it (every statement below is safe to run again). Version 3 asks the quiet mode in
// the wake trigger's condition, so that a unit's insert queues no trigger call at all.
// Version 4 carries the descriptor's integers and the error fields packed, one bytea
// column each (pg_message_fields.h): an older message table has its rows packed and the
// old columns dropped.
inline constexpr int kSchemaVersion = 4;

inline constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS qlx_schema (version bigint NOT NULL);
CREATE TABLE IF NOT EXISTS connection (
  id bigserial PRIMARY KEY, name text NOT NULL, kind bigint NOT NULL, pid bigint NOT NULL,
  started bigint NOT NULL, backend bigint NOT NULL);
CREATE TABLE IF NOT EXISTS message (
  id bigserial PRIMARY KEY, queue text NOT NULL, seq bigint NOT NULL DEFAULT 0,
  backout bigint NOT NULL DEFAULT 0, descriptor bytea,
  msg_id bytea, correl_id bytea, format_name bytea, put_sec bigint,
  theme_id bytea, origin text, service text, hops bytea, body bytea, tag bytea, error bytea);
-- The low four bytes of a bigint's eight, big-endian: an int32 field, or an unsigned one.
DO $$
BEGIN
  IF EXISTS (SELECT 1 FROM pg_attribute WHERE attrelid = 'message'::regclass AND
             attname = 'msg_type' AND NOT attisdropped) THEN
    ALTER TABLE message ADD COLUMN IF NOT EXISTS descriptor bytea,
      ADD COLUMN IF NOT EXISTS error bytea;
    UPDATE message SET descriptor =
      substr(int8send(COALESCE(msg_type, 0)), 5) || substr(int8send(COALESCE(priority, 0)), 5) ||
      substr(int8send(COALESCE(persistence, 0)), 5) || substr(int8send(COALESCE(format, 0)), 5) ||
      substr(int8send(COALESCE(feedback, 0)), 5) || substr(int8send(COALESCE(expiry, 0)), 5) ||
      substr(int8send(COALESCE(code_page, 0)), 5) || substr(int8send(COALESCE(encoding, 0)), 5) ||
      substr(int8send(COALESCE(put_ms, 0)), 5) || substr(int8send(COALESCE(position, 0)), 5),
      error = CASE WHEN reason IS NULL THEN NULL ELSE
        substr(int8send(reason), 5) || substr(int8send(COALESCE(sub_reason, 0)), 5) ||
        substr(int8send(COALESCE(call_type, 0)), 5) ||
        substr(int8send(COALESCE(default_actions, 0)), 5) ||
        substr(int8send(COALESCE(performed_actions, 0)), 5) ||
        int4send(length(convert_to(COALESCE(error_text, ''), pg_client_encoding()))) ||
        convert_to(COALESCE(error_text, ''), pg_client_encoding()) ||
        convert_to(COALESCE(reporter, ''), pg_client_encoding()) END;
    ALTER TABLE message DROP COLUMN msg_type, DROP COLUMN priority, DROP COLUMN persistence,
      DROP COLUMN format, DROP COLUMN feedback, DROP COLUMN expiry, DROP COLUMN code_page,
      DROP COLUMN encoding, DROP COLUMN put_ms, DROP COLUMN position, DROP COLUMN reason,
      DROP COLUMN sub_reason, DROP COLUMN call_type, DROP COLUMN error_text,
      DROP COLUMN default_actions, DROP COLUMN performed_actions, DROP COLUMN reporter;
  END IF;
END $$;
CREATE INDEX IF NOT EXISTS message_queue ON message (queue, seq, id);
CREATE TABLE IF NOT EXISTS claim (id bigint PRIMARY KEY);
CREATE TABLE IF NOT EXISTS fault (
  id bigserial PRIMARY KEY, call text NOT NULL, reason bigint NOT NULL, sub_reason bigint,
  remaining bigint NOT NULL, name text);
CREATE TABLE IF NOT EXISTS element (
  name text PRIMARY KEY, formats text NOT NULL DEFAULT '',
  default_actions bigint NOT NULL DEFAULT 1, exit_library text);
CREATE TABLE IF NOT EXISTS client (name text PRIMARY KEY, formats text NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS service (name text PRIMARY KEY);
CREATE TABLE IF NOT EXISTS hop (
  service text NOT NULL REFERENCES service(name) ON DELETE CASCADE, position bigint NOT NULL,
  type bigint NOT NULL, name text NOT NULL DEFAULT '', PRIMARY KEY (service, position));
CREATE TABLE IF NOT EXISTS dictionary_record (name text PRIMARY KEY);
CREATE TABLE IF NOT EXISTS dictionary (
  name text NOT NULL, position bigint NOT NULL, key text NOT NULL, value text NOT NULL,
  PRIMARY KEY (name, position));
CREATE TABLE IF NOT EXISTS counter (
  writer bigint NOT NULL, queue text NOT NULL,
  put bigint NOT NULL DEFAULT 0, got bigint NOT NULL DEFAULT 0,
  committed bigint NOT NULL DEFAULT 0, rolled_back bigint NOT NULL DEFAULT 0,
  backout bigint NOT NULL DEFAULT 0, processing_us bigint NOT NULL DEFAULT 0,
  bucket_0 bigint NOT NULL DEFAULT 0, bucket_1 bigint NOT NULL DEFAULT 0,
  bucket_2 bigint NOT NULL DEFAULT 0, bucket_3 bigint NOT NULL DEFAULT 0,
  bucket_4 bigint NOT NULL DEFAULT 0, bucket_5 bigint NOT NULL DEFAULT 0,
  bucket_6 bigint NOT NULL DEFAULT 0, bucket_7 bigint NOT NULL DEFAULT 0,
  bucket_8 bigint NOT NULL DEFAULT 0, bucket_9 bigint NOT NULL DEFAULT 0,
  bucket_10 bigint NOT NULL DEFAULT 0, bucket_11 bigint NOT NULL DEFAULT 0,
  bucket_12 bigint NOT NULL DEFAULT 0, bucket_13 bigint NOT NULL DEFAULT 0,
  bucket_14 bigint NOT NULL DEFAULT 0, bucket_15 bigint NOT NULL DEFAULT 0,
  bucket_16 bigint NOT NULL DEFAULT 0,
  PRIMARY KEY (writer, queue));
CREATE OR REPLACE FUNCTION qlx_wake() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  -- A transaction that notifies holds a lock of the whole database through its commit
  -- (its disk sync too), which would queue the commits of every unit one behind the
  -- other: a unit's commit therefore wakes its queues itself, right after (qlx.wake).
  IF current_setting('qlx.wake', true) = 'after' THEN
    RETURN NULL;
  END IF;
  PERFORM pg_notify('qlx_' || md5(NEW.queue), '');
  RETURN NULL;
END $$;
CREATE OR REPLACE TRIGGER message_wake AFTER INSERT OR UPDATE OF queue, seq ON message
  FOR EACH ROW WHEN (current_setting('qlx.wake', true) IS DISTINCT FROM 'after')
  EXECUTE FUNCTION qlx_wake();
)sql";

}  // namespace qlx::pg

#endif  // QLX_PG_SCHEMA_H
