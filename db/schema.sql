-- db/schema.sql: the PostgreSQL schema tarvex writes to and reads from.
--
-- Apply once before starting the daemon with DATABASE_URL set, as the role the
-- daemon connects with (or grant that role USAGE on the schema and the table
-- rights it needs):  psql "$DATABASE_URL" -v ON_ERROR_STOP=1 -f db/schema.sql
-- Applying it again changes nothing.
--
-- Times are timestamptz: the daemon writes epoch seconds with to_timestamp()
-- and reads them back with EXTRACT(EPOCH ...), which only round-trips exactly
-- when the column keeps the instant rather than a local wall-clock reading.

CREATE SCHEMA IF NOT EXISTS siem;

DO $$
BEGIN
    CREATE TYPE siem.alert_severity AS ENUM ('info', 'low', 'medium', 'high', 'critical');
EXCEPTION
    WHEN duplicate_object THEN NULL;
END
$$;

-- Raw events, written in batches; purged after LOG_RETENTION_DAYS.
-- event_type: 0 syslog, 1 CEF, 2 DHCP, 3 DNS, 4 firewall.
CREATE TABLE IF NOT EXISTS siem.events (
    id          bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    event_type  smallint    NOT NULL,
    source_ip   inet,
    raw_data    text        NOT NULL,
    event_time  timestamptz NOT NULL DEFAULT now()
);
-- Retention purge, time-series buckets and top talkers all range on time.
CREATE INDEX IF NOT EXISTS events_event_time_idx ON siem.events (event_time);
-- Related-events lookup by address; lifetime counts of distinct sources.
CREATE INDEX IF NOT EXISTS events_source_ip_idx ON siem.events (source_ip)
    WHERE source_ip IS NOT NULL;
-- Lifetime counts per event type.
CREATE INDEX IF NOT EXISTS events_event_type_idx ON siem.events (event_type);

-- Devices, one row per hardware address, upserted as they are learned.
CREATE TABLE IF NOT EXISTS siem.devices (
    id            bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    mac           macaddr     NOT NULL UNIQUE,
    label         text,
    category      text,
    confidence    real        NOT NULL DEFAULT 0,
    signal_count  integer     NOT NULL DEFAULT 0,
    first_seen    timestamptz NOT NULL DEFAULT now(),
    last_seen     timestamptz NOT NULL DEFAULT now(),
    created_at    timestamptz NOT NULL DEFAULT now()
);
-- Identification: the latest host name and the vendor of the address
-- prefix; the user's correction (PUT /api/devices/:id), which identification
-- never overwrites. Added in place, so that applying this file again
-- upgrades a database made by an earlier version.
ALTER TABLE siem.devices ADD COLUMN IF NOT EXISTS hostname text;
ALTER TABLE siem.devices ADD COLUMN IF NOT EXISTS vendor text;
ALTER TABLE siem.devices ADD COLUMN IF NOT EXISTS user_name text;
ALTER TABLE siem.devices ADD COLUMN IF NOT EXISTS user_kind text;
-- Device discovery time series.
CREATE INDEX IF NOT EXISTS devices_first_seen_idx ON siem.devices (first_seen);

-- Alerts. The insert sets neither status nor collision_wave_count nor
-- created_at: a new alert reads back as status 'new', 0 waves, now.
CREATE TABLE IF NOT EXISTS siem.alerts (
    id                    bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    title                 text                NOT NULL,
    description           text,
    severity              siem.alert_severity NOT NULL,
    status                text                NOT NULL DEFAULT 'new'
        CHECK (status IN ('new', 'acknowledged', 'investigating', 'resolved', 'false_positive')),
    source_mac            macaddr,
    surprise_score        real                NOT NULL DEFAULT 0,
    collision_wave_count  integer             NOT NULL DEFAULT 0,
    evidence              text,
    source_ip             inet,
    dest_ip               inet,
    created_at            timestamptz         NOT NULL DEFAULT now()
);
-- Triage and the daemon's own alert id, added in place so that a database
-- made by an earlier version is upgraded by applying this file again.
-- alert_id ties a row to the alert the daemon shows under that id, also after
-- a restart; rows written before it existed take their row id, and the
-- daemon numbers new alerts above the highest alert_id it finds at start.
ALTER TABLE siem.alerts ADD COLUMN IF NOT EXISTS alert_id bigint;
ALTER TABLE siem.alerts ADD COLUMN IF NOT EXISTS note text;
ALTER TABLE siem.alerts ADD COLUMN IF NOT EXISTS status_changed_at timestamptz;
UPDATE siem.alerts SET alert_id = id WHERE alert_id IS NULL;
-- Triage updates and the detail of an alert no longer in memory.
CREATE INDEX IF NOT EXISTS alerts_alert_id_idx ON siem.alerts (alert_id);
-- Alert time series.
CREATE INDEX IF NOT EXISTS alerts_created_at_idx ON siem.alerts (created_at);
-- Restore of open alerts, newest first (the predicate matches the query's).
CREATE INDEX IF NOT EXISTS alerts_open_created_at_idx ON siem.alerts (created_at DESC)
    WHERE status != 'resolved' AND status != 'false_positive';

-- Entity graph snapshot. Every upsert draws an id even when it updates, so
-- ids are 64-bit: a full graph re-saved every 30 s would exhaust 32 bits
-- within weeks.
CREATE TABLE IF NOT EXISTS siem.graph_nodes (
    id              bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    name            text        NOT NULL,
    node_type       text        NOT NULL,
    activation      real        NOT NULL DEFAULT 0,
    access_count    integer     NOT NULL DEFAULT 0,
    last_activated  timestamptz,
    created_at      timestamptz NOT NULL DEFAULT now(),
    UNIQUE (name, node_type)
);

CREATE TABLE IF NOT EXISTS siem.graph_edges (
    source_id            bigint      NOT NULL REFERENCES siem.graph_nodes (id) ON DELETE CASCADE,
    target_id            bigint      NOT NULL REFERENCES siem.graph_nodes (id) ON DELETE CASCADE,
    edge_type            text        NOT NULL,
    weight               real        NOT NULL DEFAULT 0,
    reinforcement_count  smallint    NOT NULL DEFAULT 0,
    last_seen            timestamptz NOT NULL DEFAULT now(),
    created_at           timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (source_id, target_id, edge_type)
);
-- The primary key serves lookups by source; this one serves the join on
-- target and deletes of nodes.
CREATE INDEX IF NOT EXISTS graph_edges_target_id_idx ON siem.graph_edges (target_id);

-- Threat indicators added or imported through the API, restored at start.
-- Those of INDICATOR_FILES are not written here: they are read from their
-- files at every start. Created by applying this file again on a database
-- made by an earlier version.
CREATE TABLE IF NOT EXISTS siem.indicators (
    id              bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    indicator_type  text                NOT NULL
        CHECK (indicator_type IN ('ip', 'domain', 'url', 'hash_md5', 'hash_sha1', 'hash_sha256',
                                  'email', 'cidr')),
    value           text                NOT NULL,
    source          text                NOT NULL DEFAULT '',
    severity        siem.alert_severity NOT NULL DEFAULT 'medium',
    expires_at      timestamptz,
    created_at      timestamptz         NOT NULL DEFAULT now(),
    UNIQUE (indicator_type, value)
);

-- Cases are kept in memory; this table is only counted by the lifetime
-- statistics, and is where a future case store would write.
CREATE TABLE IF NOT EXISTS siem.cases (
    id          bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    title       text        NOT NULL DEFAULT '',
    severity    siem.alert_severity NOT NULL DEFAULT 'medium',
    status      text        NOT NULL DEFAULT 'open',
    created_at  timestamptz NOT NULL DEFAULT now()
);
