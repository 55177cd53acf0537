#include "gateway/local/postgresqlschema.h"

using namespace Qt::StringLiterals;

namespace PostgresqlSchema {

QStringList version1()
{
    const char16_t *const statements[] = {
        uR"(CREATE TABLE meta (key text PRIMARY KEY, value text NOT NULL))",
        uR"(CREATE TABLE accounts (
            id bigint PRIMARY KEY,
            number text NOT NULL UNIQUE,
            password_hash text NOT NULL,
            province text NOT NULL, city text NOT NULL, trade text NOT NULL,
            company text NOT NULL, contact_name text NOT NULL, telephone text NOT NULL,
            mobile text NOT NULL, email text NOT NULL, fax text NOT NULL,
            address text NOT NULL, postcode text NOT NULL,
            service_number text NOT NULL UNIQUE,
            balance bigint NOT NULL DEFAULT 0 CHECK (balance >= 0),
            signed_on smallint NOT NULL CHECK (signed_on IN (0, 1)),
            forwarding_phone text,
            auto_reply text,
            created_at timestamptz NOT NULL))",
        uR"(CREATE TABLE ledger (
            id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
            account_id bigint NOT NULL REFERENCES accounts(id),
            amount bigint NOT NULL CHECK (amount <> 0),
            reason text NOT NULL CHECK (reason IN ('recharge', 'send')),
            reference text NOT NULL,
            at timestamptz NOT NULL))",
        // Runs with its owner's rights, so a role that may not touch a balance can still
        // write a ledger row; the search path is pinned so nothing can stand in for
        // `accounts`.
        uR"(CREATE FUNCTION ledger_applies() RETURNS trigger LANGUAGE plpgsql
            SECURITY DEFINER SET search_path = quillet, pg_temp AS $$
            BEGIN
                UPDATE accounts SET balance = balance + NEW.amount WHERE id = NEW.account_id;
                IF NOT FOUND THEN
                    RAISE EXCEPTION 'ledger row without account';
                END IF;
                RETURN NULL;
            END $$)",
        uR"(CREATE TRIGGER ledger_applies AFTER INSERT ON ledger
            FOR EACH ROW EXECUTE FUNCTION ledger_applies())",
        uR"(CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$
            BEGIN
                RAISE EXCEPTION '%', TG_ARGV[0];
            END $$)",
        uR"(CREATE TRIGGER ledger_is_append_only BEFORE UPDATE ON ledger
            FOR EACH ROW EXECUTE FUNCTION refuse('ledger rows are never changed'))",
        uR"(CREATE TRIGGER ledger_is_kept BEFORE DELETE ON ledger
            FOR EACH ROW EXECUTE FUNCTION refuse('ledger rows are never deleted'))",
        uR"(CREATE TRIGGER ledger_is_not_truncated BEFORE TRUNCATE ON ledger
            FOR EACH STATEMENT EXECUTE FUNCTION refuse('ledger rows are never deleted'))",
        // A balance moves only inside ledger_applies (one trigger level down); an account
        // starts at zero.
        uR"(CREATE FUNCTION balance_follows_ledger() RETURNS trigger LANGUAGE plpgsql AS $$
            BEGIN
                IF TG_OP = 'INSERT' AND NEW.balance <> 0 THEN
                    RAISE EXCEPTION 'an account starts with a balance of 0';
                END IF;
                IF TG_OP = 'UPDATE' AND NEW.balance IS DISTINCT FROM OLD.balance
                   AND pg_trigger_depth() < 2 THEN
                    RAISE EXCEPTION 'a balance changes only through the ledger';
                END IF;
                RETURN NEW;
            END $$)",
        uR"(CREATE TRIGGER balance_follows_ledger BEFORE INSERT OR UPDATE OF balance ON accounts
            FOR EACH ROW EXECUTE FUNCTION balance_follows_ledger())",
        uR"(CREATE TABLE cards (
            id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
            number text NOT NULL UNIQUE,
            password_hash text NOT NULL,
            value bigint NOT NULL CHECK (value > 0),
            issued_at timestamptz NOT NULL,
            spent_by bigint REFERENCES accounts(id),
            spent_at timestamptz,
            CHECK ((spent_by IS NULL) = (spent_at IS NULL))))",
        uR"(CREATE TRIGGER card_spent_once BEFORE UPDATE OF spent_by ON cards
            FOR EACH ROW WHEN (OLD.spent_by IS NOT NULL)
            EXECUTE FUNCTION refuse('card already spent'))",
        uR"(CREATE TABLE recharge_failures (
            id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
            account_id bigint NOT NULL REFERENCES accounts(id),
            at timestamptz NOT NULL))",
        uR"(CREATE INDEX recharge_failures_account ON recharge_failures(account_id, at))",
        uR"(CREATE TABLE mt (
            id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
            account_id bigint NOT NULL REFERENCES accounts(id),
            phone text NOT NULL,
            text text NOT NULL,
            segments integer NOT NULL CHECK (segments > 0),
            cost bigint NOT NULL CHECK (cost >= 0),
            origin text NOT NULL CHECK (origin IN ('send', 'forward', 'auto_reply')),
            submitted_at timestamptz NOT NULL,
            due_at timestamptz NOT NULL,
            state text NOT NULL CHECK (state IN ('scheduled', 'delivered', 'not_sent')),
            reason text,
            delivered_at timestamptz))",
        uR"(CREATE INDEX mt_due ON mt(due_at) WHERE state = 'scheduled')",
        uR"(CREATE TRIGGER mt_state_moves_forward BEFORE UPDATE OF state ON mt
            FOR EACH ROW WHEN (NOT (OLD.state = 'scheduled'
                                    AND NEW.state IN ('delivered', 'not_sent')))
            EXECUTE FUNCTION refuse('message state only moves forward'))",
        uR"(CREATE TABLE mo (
            id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
            account_id bigint NOT NULL REFERENCES accounts(id),
            sender text NOT NULL,
            extension text NOT NULL,
            text text NOT NULL,
            sent_at timestamptz NOT NULL,
            state text NOT NULL CHECK (state IN ('waiting', 'fetched')),
            fetched_at timestamptz))",
        uR"(CREATE INDEX mo_waiting ON mo(account_id, state, sent_at, id))",
        uR"(CREATE INDEX mo_waiting_extension ON mo(account_id, extension, state, sent_at, id))",
        uR"(CREATE TRIGGER mo_state_moves_forward BEFORE UPDATE OF state ON mo
            FOR EACH ROW WHEN (NOT (OLD.state = 'waiting' AND NEW.state = 'fetched'))
            EXECUTE FUNCTION refuse('message state only moves forward'))",
    };
    QStringList list;
    for (const char16_t *statement : statements)
        list.append(QString::fromUtf16(statement));
    return list;
}

namespace {

// Version 3: messages that leave through a link to an SMSC (see the SQLite engine for
// the whole story): wider lists of message states and ledger reasons, the link's columns
// of a message, its parts with the SMSC's ids, and what the links keep besides.
QStringList toVersion3()
{
    const char16_t *const statements[] = {
        uR"(ALTER TABLE mt DROP CONSTRAINT mt_state_check,
            ADD CONSTRAINT mt_state_check CHECK (state IN ('scheduled', 'delivered',
                'not_sent', 'queued', 'submitted', 'undeliverable', 'expired', 'rejected')),
            ADD COLUMN link text,
            ADD COLUMN tries integer NOT NULL DEFAULT 0,
            ADD COLUMN next_try_at timestamptz,
            ADD COLUMN claimed_by text,
            ADD COLUMN claimed_until timestamptz)",
        uR"(DROP TRIGGER mt_state_moves_forward ON mt)",
        uR"(CREATE TRIGGER mt_state_moves_forward BEFORE UPDATE OF state ON mt
            FOR EACH ROW WHEN (NOT ((OLD.state = 'scheduled'
                                     AND NEW.state IN ('delivered', 'not_sent', 'queued'))
                                 OR (OLD.state = 'queued' AND NEW.state IN ('submitted',
                                     'delivered', 'undeliverable', 'expired', 'rejected'))
                                 OR (OLD.state = 'submitted' AND NEW.state IN ('delivered',
                                     'undeliverable', 'expired', 'rejected'))))
            EXECUTE FUNCTION refuse('message state only moves forward'))",
        uR"(CREATE INDEX mt_queued ON mt(link, next_try_at, id) WHERE state = 'queued')",
        uR"(CREATE INDEX mt_listed ON mt(submitted_at, id))",
        uR"(ALTER TABLE ledger DROP CONSTRAINT ledger_reason_check,
            ADD CONSTRAINT ledger_reason_check
                CHECK (reason IN ('recharge', 'send', 'refund')))",
        uR"(CREATE UNIQUE INDEX ledger_refund_once ON ledger(reference) WHERE reason = 'refund')",
        uR"(CREATE TABLE mt_parts (
            mt_id bigint NOT NULL REFERENCES mt(id),
            part integer NOT NULL CHECK (part > 0),
            smsc_id text NOT NULL,
            state text NOT NULL,
            PRIMARY KEY (mt_id, part)))",
        uR"(CREATE INDEX mt_parts_smsc ON mt_parts(smsc_id))",
        uR"(CREATE TABLE link_unmatched (
            id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
            link text NOT NULL,
            kind text NOT NULL CHECK (kind IN ('receipt', 'arrival')),
            source text NOT NULL,
            destination text NOT NULL,
            smsc_id text NOT NULL,
            state text NOT NULL,
            text text NOT NULL,
            at timestamptz NOT NULL))",
        uR"(CREATE TABLE arrival_parts (
            link text NOT NULL,
            source text NOT NULL,
            destination text NOT NULL,
            reference integer NOT NULL,
            total integer NOT NULL,
            part integer NOT NULL,
            text text NOT NULL,
            at timestamptz NOT NULL,
            PRIMARY KEY (link, source, destination, reference, total, part)))",
        uR"(CREATE TABLE arrivals_seen (
            link text NOT NULL,
            digest text NOT NULL,
            at timestamptz NOT NULL,
            PRIMARY KEY (link, digest)))",
        uR"(CREATE INDEX arrivals_seen_at ON arrivals_seen(at))",
        uR"(CREATE TABLE link_status (
            link text NOT NULL,
            process text NOT NULL,
            state text NOT NULL,
            since timestamptz,
            outstanding integer NOT NULL,
            sent bigint NOT NULL,
            received bigint NOT NULL,
            last_error text NOT NULL,
            updated_at timestamptz NOT NULL,
            PRIMARY KEY (link, process)))",
    };
    QStringList list;
    for (const char16_t *statement : statements)
        list.append(QString::fromUtf16(statement));
    return list;
}

// Version 4: what the links keep of what an SMSC sends stays bounded and in sight (see
// the SQLite engine): two more kinds of unmatched entries, the indexes of their
// retention and of the early receipts' lookup, the waiting parts by age, and
// arrivals_seen as marks with their own ends.
QStringList toVersion4()
{
    const char16_t *const statements[] = {
        uR"(ALTER TABLE link_unmatched DROP CONSTRAINT link_unmatched_kind_check,
            ADD CONSTRAINT link_unmatched_kind_check
                CHECK (kind IN ('receipt', 'arrival', 'part', 'answer')))",
        uR"(CREATE INDEX link_unmatched_at ON link_unmatched(link, at))",
        uR"(CREATE INDEX link_unmatched_receipts ON link_unmatched(link, smsc_id)
            WHERE kind = 'receipt')",
        uR"(CREATE INDEX arrival_parts_at ON arrival_parts(link, at))",
        uR"(DROP TABLE arrivals_seen)",
        uR"(CREATE TABLE arrivals_seen (
            link text NOT NULL,
            mark text NOT NULL,
            expires_at timestamptz NOT NULL,
            PRIMARY KEY (link, mark)))",
        uR"(CREATE INDEX arrivals_seen_expiry ON arrivals_seen(link, expires_at))",
    };
    QStringList list;
    for (const char16_t *statement : statements)
        list.append(QString::fromUtf16(statement));
    return list;
}

} // namespace

// Version 5: a message knows more of how it may end (see the SQLite engine): two more
// origins and two more states, the application's reference and the time after which
// the message is not handed to an SMSC.
QStringList toVersion5()
{
    const char16_t *const statements[] = {
        uR"(ALTER TABLE mt DROP CONSTRAINT mt_state_check,
            ADD CONSTRAINT mt_state_check CHECK (state IN ('scheduled', 'delivered',
                'not_sent', 'queued', 'submitted', 'undeliverable', 'expired', 'rejected',
                'cancelled', 'unknown')),
            DROP CONSTRAINT mt_origin_check,
            ADD CONSTRAINT mt_origin_check
                CHECK (origin IN ('send', 'forward', 'auto_reply', 'api', 'smpp')),
            ADD COLUMN reference text,
            ADD COLUMN valid_until timestamptz,
            ADD COLUMN accepted_at timestamptz)",
        uR"(UPDATE mt SET accepted_at = due_at WHERE state = 'submitted')",
        uR"(CREATE INDEX mt_submitted ON mt(link, accepted_at) WHERE state = 'submitted')",
        // A receipt's id found again whatever its case and leading zeros.
        uR"(CREATE INDEX mt_parts_key ON mt_parts((ltrim(lower(smsc_id), '0'))))",
        uR"(CREATE INDEX link_unmatched_key ON link_unmatched(link, (ltrim(lower(smsc_id), '0')))
            WHERE kind = 'receipt')",
        uR"(DROP TRIGGER mt_state_moves_forward ON mt)",
        uR"(CREATE TRIGGER mt_state_moves_forward BEFORE UPDATE OF state ON mt
            FOR EACH ROW WHEN (NOT ((OLD.state = 'scheduled'
                                     AND NEW.state IN ('delivered', 'not_sent', 'queued',
                                                       'cancelled', 'expired'))
                                 OR (OLD.state = 'queued' AND NEW.state IN ('submitted',
                                     'delivered', 'undeliverable', 'expired', 'rejected',
                                     'cancelled'))
                                 OR (OLD.state = 'submitted' AND NEW.state IN ('delivered',
                                     'undeliverable', 'expired', 'rejected', 'unknown'))
                                 OR (OLD.state = 'unknown' AND NEW.state IN ('delivered',
                                     'undeliverable', 'expired', 'rejected'))))
            EXECUTE FUNCTION refuse('message state only moves forward'))",
    };
    QStringList list;
    for (const char16_t *statement : statements)
        list.append(QString::fromUtf16(statement));
    return list;
}

// Version 6: callbacks and the outbox of events for them, written by triggers in the
// transaction of the change (see the SQLite engine). The triggers run with their owner's
// rights: the gateway's role reads and settles events but never writes one. An arrival
// for a callback that takes arrivals is fetched inside mo_arrives, after it is counted.
QStringList toVersion6()
{
    const char16_t *const statements[] = {
        uR"(CREATE TABLE callbacks (
            account_id bigint PRIMARY KEY REFERENCES accounts(id),
            url text NOT NULL,
            on_state smallint NOT NULL CHECK (on_state IN (0, 1)),
            on_arrival smallint NOT NULL CHECK (on_arrival IN (0, 1)),
            secret_sealed bytea NOT NULL,
            created_at timestamptz NOT NULL))",
        uR"(CREATE TABLE outbox (
            id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
            account_id bigint NOT NULL REFERENCES accounts(id),
            type text NOT NULL CHECK (type IN ('message.state', 'arrival')),
            subject_id bigint NOT NULL,
            state text,
            at timestamptz NOT NULL,
            delivery text NOT NULL DEFAULT 'pending'
                CHECK (delivery IN ('pending', 'delivered', 'dead')),
            attempts integer NOT NULL DEFAULT 0,
            next_try_at timestamptz,
            claimed_by text,
            claimed_until timestamptz,
            last_error text,
            delivered_at timestamptz))",
        uR"(CREATE INDEX outbox_pending ON outbox(next_try_at, id) WHERE delivery = 'pending')",
        uR"(CREATE INDEX outbox_subject ON outbox(subject_id, type, id)
            WHERE delivery = 'pending')",
        uR"(CREATE INDEX outbox_dead ON outbox(id) WHERE delivery = 'dead')",
        uR"(CREATE FUNCTION mt_state_reported() RETURNS trigger LANGUAGE plpgsql
            SECURITY DEFINER SET search_path = quillet, pg_temp AS $$
            BEGIN
                INSERT INTO outbox (account_id, type, subject_id, state, at)
                    SELECT NEW.account_id, 'message.state', NEW.id, NEW.state, now()
                    FROM callbacks WHERE account_id = NEW.account_id AND on_state = 1;
                RETURN NULL;
            END $$)",
        uR"(CREATE TRIGGER mt_state_reported AFTER UPDATE OF state ON mt
            FOR EACH ROW WHEN (OLD.state IS DISTINCT FROM NEW.state
                               AND NEW.state IN ('delivered', 'not_sent', 'undeliverable',
                                   'expired', 'rejected', 'cancelled', 'unknown'))
            EXECUTE FUNCTION mt_state_reported())",
        // A message handed to its handset at once is written delivered, and one the
        // balance could not cover not sent: they never pass through an update.
        uR"(CREATE TRIGGER mt_born_final AFTER INSERT ON mt
            FOR EACH ROW WHEN (NEW.state IN ('delivered', 'not_sent', 'undeliverable',
                                   'expired', 'rejected', 'cancelled', 'unknown'))
            EXECUTE FUNCTION mt_state_reported())",
        uR"(CREATE OR REPLACE FUNCTION mo_arrives() RETURNS trigger LANGUAGE plpgsql
            SECURITY DEFINER SET search_path = quillet, pg_temp AS $$
            BEGIN
                UPDATE accounts a SET waiting = a.waiting + n.arrived
                    FROM (SELECT account_id, count(*) AS arrived FROM arrived
                          WHERE state = 'waiting' GROUP BY account_id) n
                    WHERE a.id = n.account_id;
                INSERT INTO waiting_counts (account_id, extension, waiting)
                    SELECT account_id, extension, count(*) FROM arrived
                    WHERE state = 'waiting' GROUP BY account_id, extension
                    ON CONFLICT (account_id, extension)
                    DO UPDATE SET waiting = waiting_counts.waiting + EXCLUDED.waiting;
                INSERT INTO outbox (account_id, type, subject_id, at)
                    SELECT n.account_id, 'arrival', n.id, n.sent_at
                    FROM arrived n JOIN callbacks c ON c.account_id = n.account_id
                    WHERE n.state = 'waiting' AND c.on_arrival = 1 ORDER BY n.id;
                UPDATE mo SET state = 'fetched', fetched_at = mo.sent_at
                    FROM arrived n JOIN callbacks c ON c.account_id = n.account_id
                    WHERE mo.id = n.id AND n.state = 'waiting' AND c.on_arrival = 1;
                RETURN NULL;
            END $$)",
    };
    QStringList list;
    for (const char16_t *statement : statements)
        list.append(QString::fromUtf16(statement));
    return list;
}

// Version 7: SMPP credentials of accounts, the binds they hold, and the outbox's receipts
// and arrivals for those binds (see the SQLite engine).
QStringList toVersion7()
{
    const char16_t *const statements[] = {
        uR"(CREATE TABLE smpp_credentials (
            account_id bigint PRIMARY KEY REFERENCES accounts(id),
            system_id text NOT NULL UNIQUE,
            password_hash text NOT NULL,
            created_at timestamptz NOT NULL))",
        uR"(CREATE TABLE smpp_binds (
            id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
            account_id bigint NOT NULL REFERENCES accounts(id),
            process text NOT NULL,
            mode text NOT NULL CHECK (mode IN ('transmitter', 'receiver', 'transceiver')),
            address text NOT NULL,
            since timestamptz NOT NULL,
            seen_at timestamptz NOT NULL,
            submitted bigint NOT NULL DEFAULT 0,
            receipts bigint NOT NULL DEFAULT 0,
            arrivals bigint NOT NULL DEFAULT 0))",
        uR"(CREATE INDEX smpp_binds_account ON smpp_binds(account_id))",
        uR"(ALTER TABLE mt ADD COLUMN smpp_receipt smallint NOT NULL DEFAULT 0
            CHECK (smpp_receipt BETWEEN 0 AND 2))",
        uR"(ALTER TABLE outbox ADD COLUMN destination text NOT NULL DEFAULT 'callback'
            CHECK (destination IN ('callback', 'smpp')))",
        uR"(ALTER TABLE outbox ADD COLUMN expires_at timestamptz)",
        uR"(CREATE INDEX outbox_smpp ON outbox(account_id, id)
            WHERE delivery = 'pending' AND destination = 'smpp')",
        uR"(CREATE OR REPLACE FUNCTION mt_state_reported() RETURNS trigger LANGUAGE plpgsql
            SECURITY DEFINER SET search_path = quillet, pg_temp AS $$
            BEGIN
                INSERT INTO outbox (account_id, type, subject_id, state, at)
                    SELECT NEW.account_id, 'message.state', NEW.id, NEW.state, now()
                    FROM callbacks WHERE account_id = NEW.account_id AND on_state = 1;
                IF NEW.smpp_receipt = 1
                   OR (NEW.smpp_receipt = 2 AND NEW.state <> 'delivered') THEN
                    INSERT INTO outbox (account_id, type, subject_id, state, at, destination,
                                        expires_at)
                        VALUES (NEW.account_id, 'message.state', NEW.id, NEW.state, now(),
                                'smpp', NEW.valid_until);
                END IF;
                RETURN NULL;
            END $$)",
        uR"(CREATE OR REPLACE FUNCTION mo_arrives() RETURNS trigger LANGUAGE plpgsql
            SECURITY DEFINER SET search_path = quillet, pg_temp AS $$
            BEGIN
                UPDATE accounts a SET waiting = a.waiting + n.arrived
                    FROM (SELECT account_id, count(*) AS arrived FROM arrived
                          WHERE state = 'waiting' GROUP BY account_id) n
                    WHERE a.id = n.account_id;
                INSERT INTO waiting_counts (account_id, extension, waiting)
                    SELECT account_id, extension, count(*) FROM arrived
                    WHERE state = 'waiting' GROUP BY account_id, extension
                    ON CONFLICT (account_id, extension)
                    DO UPDATE SET waiting = waiting_counts.waiting + EXCLUDED.waiting;
                INSERT INTO outbox (account_id, type, subject_id, at)
                    SELECT n.account_id, 'arrival', n.id, n.sent_at
                    FROM arrived n JOIN callbacks c ON c.account_id = n.account_id
                    WHERE n.state = 'waiting' AND c.on_arrival = 1 ORDER BY n.id;
                INSERT INTO outbox (account_id, type, subject_id, at, destination)
                    SELECT n.account_id, 'arrival', n.id, n.sent_at, 'smpp'
                    FROM arrived n JOIN smpp_credentials s ON s.account_id = n.account_id
                    WHERE n.state = 'waiting' AND NOT EXISTS (SELECT 1 FROM callbacks c
                        WHERE c.account_id = n.account_id AND c.on_arrival = 1)
                    ORDER BY n.id;
                UPDATE mo SET state = 'fetched', fetched_at = mo.sent_at
                    FROM arrived n JOIN callbacks c ON c.account_id = n.account_id
                    WHERE mo.id = n.id AND n.state = 'waiting' AND c.on_arrival = 1;
                RETURN NULL;
            END $$)",
    };
    QStringList list;
    for (const char16_t *statement : statements)
        list.append(QString::fromUtf16(statement));
    return list;
}

// Version 8: when a message reached its final state, the place of a message among the
// parts its application split a text into, and the links a link stands in for (see the
// SQLite engine).
QStringList toVersion8()
{
    const char16_t *const statements[] = {
        uR"(ALTER TABLE mt ADD COLUMN done_at timestamptz,
            ADD COLUMN concat_ref integer,
            ADD COLUMN concat_ref_bits smallint,
            ADD COLUMN concat_total smallint,
            ADD COLUMN concat_seq smallint,
            ADD CONSTRAINT mt_done_when_final CHECK (done_at IS NULL OR state IN ('delivered',
                'not_sent', 'undeliverable', 'expired', 'rejected', 'cancelled', 'unknown')),
            ADD CONSTRAINT mt_concat_whole CHECK (
                (concat_ref IS NULL AND concat_ref_bits IS NULL AND concat_total IS NULL
                 AND concat_seq IS NULL)
                OR (concat_ref IS NOT NULL AND concat_ref_bits IS NOT NULL
                    AND concat_total IS NOT NULL AND concat_seq IS NOT NULL
                    AND ((concat_ref_bits = 8 AND concat_ref BETWEEN 0 AND 255)
                     OR (concat_ref_bits = 16 AND concat_ref BETWEEN 0 AND 65535))
                    AND concat_total BETWEEN 1 AND 255
                    AND concat_seq BETWEEN 1 AND concat_total AND segments = 1)))",
        uR"(UPDATE mt SET done_at = delivered_at
            WHERE state = 'delivered' AND delivered_at IS NOT NULL)",
        uR"(ALTER TABLE link_status ADD COLUMN standing_in text NOT NULL DEFAULT '')",
    };
    QStringList list;
    for (const char16_t *statement : statements)
        list.append(QString::fromUtf16(statement));
    return list;
}

QStringList migration(int fromVersion)
{
    if (fromVersion == 7)
        return toVersion8();
    if (fromVersion == 6)
        return toVersion7();
    if (fromVersion == 5)
        return toVersion6();
    if (fromVersion == 4)
        return toVersion5();
    if (fromVersion == 3)
        return toVersion4();
    if (fromVersion == 2)
        return toVersion3();
    if (fromVersion != 1)
        return {};
    // Version 2: what a receive call needs is read in a few rows, whatever the backlog.
    // Waiting messages are counted per account and per account and extension by
    // triggers (with their owner's rights: the gateway's role may not write counters);
    // the handset listing reads a phone's delivered messages from an index.
    const char16_t *const statements[] = {
        uR"(ALTER TABLE accounts ADD COLUMN waiting bigint NOT NULL DEFAULT 0
            CHECK (waiting >= 0))",
        uR"(CREATE TABLE waiting_counts (
            account_id bigint NOT NULL REFERENCES accounts(id),
            extension text NOT NULL,
            waiting bigint NOT NULL CHECK (waiting >= 0),
            PRIMARY KEY (account_id, extension)))",
        uR"(UPDATE accounts SET waiting = (SELECT count(*) FROM mo
            WHERE mo.account_id = accounts.id AND mo.state = 'waiting'))",
        uR"(INSERT INTO waiting_counts (account_id, extension, waiting)
            SELECT account_id, extension, count(*) FROM mo WHERE state = 'waiting'
            GROUP BY account_id, extension)",
        // Once per statement, from the rows it inserted: a row updated again and again in
        // one transaction grows a chain of versions to walk, so a bulk arrival would cost
        // the square of its size if counted row by row.
        uR"(CREATE FUNCTION mo_arrives() RETURNS trigger LANGUAGE plpgsql
            SECURITY DEFINER SET search_path = quillet, pg_temp AS $$
            BEGIN
                UPDATE accounts a SET waiting = a.waiting + n.arrived
                    FROM (SELECT account_id, count(*) AS arrived FROM arrived
                          WHERE state = 'waiting' GROUP BY account_id) n
                    WHERE a.id = n.account_id;
                INSERT INTO waiting_counts (account_id, extension, waiting)
                    SELECT account_id, extension, count(*) FROM arrived
                    WHERE state = 'waiting' GROUP BY account_id, extension
                    ON CONFLICT (account_id, extension)
                    DO UPDATE SET waiting = waiting_counts.waiting + EXCLUDED.waiting;
                RETURN NULL;
            END $$)",
        uR"(CREATE TRIGGER mo_arrives AFTER INSERT ON mo REFERENCING NEW TABLE AS arrived
            FOR EACH STATEMENT EXECUTE FUNCTION mo_arrives())",
        uR"(CREATE FUNCTION mo_is_fetched() RETURNS trigger LANGUAGE plpgsql
            SECURITY DEFINER SET search_path = quillet, pg_temp AS $$
            BEGIN
                UPDATE accounts SET waiting = waiting - 1 WHERE id = NEW.account_id;
                UPDATE waiting_counts SET waiting = waiting - 1
                    WHERE account_id = NEW.account_id AND extension = NEW.extension;
                RETURN NULL;
            END $$)",
        uR"(CREATE TRIGGER mo_is_fetched AFTER UPDATE OF state ON mo
            FOR EACH ROW WHEN (OLD.state = 'waiting' AND NEW.state = 'fetched')
            EXECUTE FUNCTION mo_is_fetched())",
        // The counters follow the state only; who sent a message and to which account
        // and extension never changes once it has arrived, and arrived messages are kept.
        uR"(CREATE TRIGGER mo_arrival_is_kept BEFORE UPDATE OF account_id, extension ON mo
            FOR EACH ROW EXECUTE FUNCTION refuse('an arrived message keeps its account and extension'))",
        uR"(CREATE TRIGGER mo_is_kept BEFORE DELETE ON mo
            FOR EACH ROW EXECUTE FUNCTION refuse('arrived messages are kept'))",
        uR"(CREATE INDEX mt_delivered_to ON mt(phone, delivered_at, id)
            WHERE state = 'delivered')",
    };
    QStringList list;
    for (const char16_t *statement : statements)
        list.append(QString::fromUtf16(statement));
    return list;
}

QStringList grants(const QString &role)
{
    const QString to = u" TO "_s + role;
    return {
        u"GRANT USAGE ON SCHEMA quillet"_s + to,
        u"GRANT SELECT ON meta"_s + to,
        // Everything of an account but its identity and its balance.
        u"GRANT SELECT, INSERT ON accounts"_s + to,
        u"GRANT UPDATE (password_hash, province, city, trade, company, contact_name, "
        u"telephone, mobile, email, fax, address, postcode, signed_on, forwarding_phone, "
        u"auto_reply) ON accounts"_s
            + to,
        u"GRANT SELECT, INSERT ON ledger"_s + to,
        u"GRANT SELECT, INSERT ON cards"_s + to,
        u"GRANT UPDATE (spent_by, spent_at) ON cards"_s + to,
        u"GRANT SELECT, INSERT, DELETE ON recharge_failures"_s + to,
        u"GRANT SELECT, INSERT ON mt"_s + to,
        u"GRANT UPDATE (state, reason, delivered_at, done_at, tries, next_try_at, "
        u"claimed_by, claimed_until, accepted_at, link) ON mt"_s
            + to,
        u"GRANT SELECT, INSERT, UPDATE ON mt_parts"_s + to,
        u"GRANT SELECT, INSERT, DELETE ON link_unmatched"_s + to,
        u"GRANT SELECT, INSERT, DELETE ON arrival_parts"_s + to,
        u"GRANT SELECT, INSERT, UPDATE, DELETE ON arrivals_seen"_s + to,
        u"GRANT SELECT, INSERT, UPDATE, DELETE ON link_status"_s + to,
        u"GRANT SELECT, INSERT ON mo"_s + to,
        u"GRANT UPDATE (state, fetched_at) ON mo"_s + to,
        u"GRANT SELECT ON waiting_counts"_s + to,
        u"GRANT SELECT, INSERT, UPDATE, DELETE ON callbacks"_s + to,
        u"GRANT SELECT ON outbox"_s + to,
        u"GRANT SELECT, INSERT, UPDATE, DELETE ON smpp_credentials"_s + to,
        u"GRANT SELECT, INSERT, UPDATE, DELETE ON smpp_binds"_s + to,
        u"GRANT UPDATE (delivery, attempts, next_try_at, claimed_by, claimed_until, "
        u"last_error, delivered_at) ON outbox"_s
            + to,
    };
}

} // namespace PostgresqlSchema
