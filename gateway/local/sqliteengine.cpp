#include "gateway/local/sqliteengine.h"

#include "gateway/local/localtexts.h"
#include "gateway/local/store.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// SQLite's primary result codes that need their own report.
constexpr int SqliteBusy = 5;
constexpr int SqliteLocked = 6;
constexpr int SqliteReadOnly = 8;
constexpr int SqliteCorrupt = 11;
constexpr int SqliteFull = 13;
constexpr int SqliteCantOpen = 14;
constexpr int SqliteAuth = 23;
constexpr int SqliteNotADb = 26;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Makes `folder` and the folders above it that are missing; the errno of the first one
// that cannot be made, or 0.
int makeFolders(const QString &folder)
{
    if (QFileInfo(folder).isDir())
        return 0;
    const QString parent = QFileInfo(folder).absolutePath();
    if (parent != folder) {
        if (const int error = makeFolders(parent); error != 0)
            return error;
    }
    if (::mkdir(QFile::encodeName(folder).constData(), 0777) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

qint32 createFailureCode(int error)
{
    return error == EACCES ? Store::AccessDenied : Store::Unavailable;
}

// The schema of version 1. The balance only ever changes through a ledger row: the
// trigger applies the row's amount, and the CHECK refuses a negative balance, so the
// balance is the ledger's sum by construction.
const char16_t *const SchemaV1[] = {
    uR"(CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL))",
    uR"(CREATE TABLE accounts (
        id INTEGER PRIMARY KEY,
        number TEXT NOT NULL UNIQUE,
        password_hash TEXT NOT NULL,
        province TEXT NOT NULL, city TEXT NOT NULL, trade TEXT NOT NULL,
        company TEXT NOT NULL, contact_name TEXT NOT NULL, telephone TEXT NOT NULL,
        mobile TEXT NOT NULL, email TEXT NOT NULL, fax TEXT NOT NULL,
        address TEXT NOT NULL, postcode TEXT NOT NULL,
        service_number TEXT NOT NULL UNIQUE,
        balance INTEGER NOT NULL DEFAULT 0 CHECK (balance >= 0),
        signed_on INTEGER NOT NULL CHECK (signed_on IN (0, 1)),
        forwarding_phone TEXT,
        auto_reply TEXT,
        created_at INTEGER NOT NULL))",
    uR"(CREATE TABLE ledger (
        id INTEGER PRIMARY KEY,
        account_id INTEGER NOT NULL REFERENCES accounts(id),
        amount INTEGER NOT NULL CHECK (amount <> 0),
        reason TEXT NOT NULL CHECK (reason IN ('recharge', 'send')),
        reference TEXT NOT NULL,
        at INTEGER NOT NULL))",
    uR"(CREATE TRIGGER ledger_applies AFTER INSERT ON ledger BEGIN
        UPDATE accounts SET balance = balance + NEW.amount WHERE id = NEW.account_id;
        SELECT RAISE(ABORT, 'ledger row without account') WHERE changes() <> 1;
        END)",
    uR"(CREATE TRIGGER ledger_is_append_only BEFORE UPDATE ON ledger BEGIN
        SELECT RAISE(ABORT, 'ledger rows are never changed'); END)",
    uR"(CREATE TRIGGER ledger_is_kept BEFORE DELETE ON ledger BEGIN
        SELECT RAISE(ABORT, 'ledger rows are never deleted'); END)",
    uR"(CREATE TABLE cards (
        id INTEGER PRIMARY KEY,
        number TEXT NOT NULL UNIQUE,
        password_hash TEXT NOT NULL,
        value INTEGER NOT NULL CHECK (value > 0),
        issued_at INTEGER NOT NULL,
        spent_by INTEGER REFERENCES accounts(id),
        spent_at INTEGER,
        CHECK ((spent_by IS NULL) = (spent_at IS NULL))))",
    uR"(CREATE TRIGGER card_spent_once BEFORE UPDATE OF spent_by ON cards
        WHEN OLD.spent_by IS NOT NULL
        BEGIN SELECT RAISE(ABORT, 'card already spent'); END)",
    uR"(CREATE TABLE recharge_failures (
        id INTEGER PRIMARY KEY,
        account_id INTEGER NOT NULL REFERENCES accounts(id),
        at INTEGER NOT NULL))",
    uR"(CREATE INDEX recharge_failures_account ON recharge_failures(account_id, at))",
    uR"(CREATE TABLE mt (
        id INTEGER PRIMARY KEY,
        account_id INTEGER NOT NULL REFERENCES accounts(id),
        phone TEXT NOT NULL,
        text TEXT NOT NULL,
        segments INTEGER NOT NULL CHECK (segments > 0),
        cost INTEGER NOT NULL CHECK (cost >= 0),
        origin TEXT NOT NULL CHECK (origin IN ('send', 'forward', 'auto_reply')),
        submitted_at INTEGER NOT NULL,
        due_at INTEGER NOT NULL,
        state TEXT NOT NULL CHECK (state IN ('scheduled', 'delivered', 'not_sent')),
        reason TEXT,
        delivered_at INTEGER))",
    // Only scheduled messages are indexed by due time.
    uR"(CREATE INDEX mt_due ON mt(due_at) WHERE state = 'scheduled')",
    uR"(CREATE TRIGGER mt_state_moves_forward BEFORE UPDATE OF state ON mt
        WHEN NOT (OLD.state = 'scheduled' AND NEW.state IN ('delivered', 'not_sent'))
        BEGIN SELECT RAISE(ABORT, 'message state only moves forward'); END)",
    uR"(CREATE TABLE mo (
        id INTEGER PRIMARY KEY,
        account_id INTEGER NOT NULL REFERENCES accounts(id),
        sender TEXT NOT NULL,
        extension TEXT NOT NULL,
        text TEXT NOT NULL,
        sent_at INTEGER NOT NULL,
        state TEXT NOT NULL CHECK (state IN ('waiting', 'fetched')),
        fetched_at INTEGER))",
    uR"(CREATE INDEX mo_waiting ON mo(account_id, state, sent_at, id))",
    uR"(CREATE INDEX mo_waiting_extension ON mo(account_id, extension, state, sent_at, id))",
    uR"(CREATE TRIGGER mo_state_moves_forward BEFORE UPDATE OF state ON mo
        WHEN NOT (OLD.state = 'waiting' AND NEW.state = 'fetched')
        BEGIN SELECT RAISE(ABORT, 'message state only moves forward'); END)",
};

// Version 2: what a receive call needs is read in a few rows, whatever the backlog.
// Waiting messages are counted per account (accounts.waiting) and per account and
// extension (waiting_counts) by triggers, so no call counts the backlog; the handset
// listing reads a phone's delivered messages from an index, in the order it lists them.
const char16_t *const ToV2[] = {
    uR"(ALTER TABLE accounts ADD COLUMN waiting INTEGER NOT NULL DEFAULT 0
        CHECK (waiting >= 0))",
    uR"(CREATE TABLE waiting_counts (
        account_id INTEGER NOT NULL REFERENCES accounts(id),
        extension TEXT NOT NULL,
        waiting INTEGER NOT NULL CHECK (waiting >= 0),
        PRIMARY KEY (account_id, extension)) WITHOUT ROWID)",
    uR"(UPDATE accounts SET waiting = (SELECT count(*) FROM mo
        WHERE mo.account_id = accounts.id AND mo.state = 'waiting'))",
    uR"(INSERT INTO waiting_counts (account_id, extension, waiting)
        SELECT account_id, extension, count(*) FROM mo WHERE state = 'waiting'
        GROUP BY account_id, extension)",
    uR"(CREATE TRIGGER mo_arrives AFTER INSERT ON mo WHEN NEW.state = 'waiting' BEGIN
        UPDATE accounts SET waiting = waiting + 1 WHERE id = NEW.account_id;
        INSERT INTO waiting_counts (account_id, extension, waiting)
            VALUES (NEW.account_id, NEW.extension, 1)
            ON CONFLICT (account_id, extension) DO UPDATE SET waiting = waiting + 1;
        END)",
    uR"(CREATE TRIGGER mo_is_fetched AFTER UPDATE OF state ON mo
        WHEN OLD.state = 'waiting' AND NEW.state = 'fetched' BEGIN
        UPDATE accounts SET waiting = waiting - 1 WHERE id = NEW.account_id;
        UPDATE waiting_counts SET waiting = waiting - 1
            WHERE account_id = NEW.account_id AND extension = NEW.extension;
        END)",
    // The counters follow the state only; who sent a message and to which account and
    // extension never changes once it has arrived, and arrived messages are kept.
    uR"(CREATE TRIGGER mo_arrival_is_kept BEFORE UPDATE OF account_id, extension ON mo BEGIN
        SELECT RAISE(ABORT, 'an arrived message keeps its account and extension'); END)",
    uR"(CREATE TRIGGER mo_is_kept BEFORE DELETE ON mo BEGIN
        SELECT RAISE(ABORT, 'arrived messages are kept'); END)",
    // It holds what the listing shows, so that a phone's messages are read from a few
    // neighbouring index pages rather than one table page each.
    uR"(CREATE INDEX mt_delivered_to ON mt(phone, delivered_at, id, account_id, text)
        WHERE state = 'delivered')",
};

// Version 3: messages that leave through a link to an SMSC. A message routed to a link
// is queued when due, claimed by one process at a time (claimed_by until claimed_until),
// submitted part by part (mt_parts, with the SMSC's ids), and ends delivered,
// undeliverable, expired or rejected; a rejected one is refunded by a ledger row. What
// comes from the network and matches nothing is kept for the operator (link_unmatched);
// the parts of a concatenated arrival wait in arrival_parts, and arrivals_seen keeps a
// link's recent arrivals so that one sent again is stored once. Each process writes the
// state of its links to link_status.
//
// mt and ledger are rebuilt for their wider lists of values (SQLite changes no CHECK in
// place); nothing refers to either table, and a dropped table fires no trigger.
const char16_t *const ToV3[] = {
    uR"(CREATE TABLE mt_next (
        id INTEGER PRIMARY KEY,
        account_id INTEGER NOT NULL REFERENCES accounts(id),
        phone TEXT NOT NULL,
        text TEXT NOT NULL,
        segments INTEGER NOT NULL CHECK (segments > 0),
        cost INTEGER NOT NULL CHECK (cost >= 0),
        origin TEXT NOT NULL
            CHECK (origin = 'send' OR origin = 'forward' OR origin = 'auto_reply'),
        submitted_at INTEGER NOT NULL,
        due_at INTEGER NOT NULL,
        state TEXT NOT NULL
            CHECK (state = 'scheduled' OR state = 'delivered' OR state = 'not_sent'
                   OR state = 'queued' OR state = 'submitted' OR state = 'undeliverable'
                   OR state = 'expired' OR state = 'rejected'),
        reason TEXT,
        delivered_at INTEGER,
        link TEXT,
        tries INTEGER NOT NULL DEFAULT 0,
        next_try_at INTEGER,
        claimed_by TEXT,
        claimed_until INTEGER))",
    uR"(INSERT INTO mt_next (id, account_id, phone, text, segments, cost, origin,
        submitted_at, due_at, state, reason, delivered_at)
        SELECT id, account_id, phone, text, segments, cost, origin, submitted_at, due_at,
               state, reason, delivered_at FROM mt)",
    uR"(DROP TABLE mt)",
    uR"(ALTER TABLE mt_next RENAME TO mt)",
    uR"(CREATE INDEX mt_due ON mt(due_at) WHERE state = 'scheduled')",
    uR"(CREATE INDEX mt_delivered_to ON mt(phone, delivered_at, id, account_id, text)
        WHERE state = 'delivered')",
    uR"(CREATE INDEX mt_queued ON mt(link, next_try_at, id) WHERE state = 'queued')",
    uR"(CREATE INDEX mt_listed ON mt(submitted_at, id))",
    uR"(CREATE TRIGGER mt_state_moves_forward BEFORE UPDATE OF state ON mt
        WHEN NOT ((OLD.state = 'scheduled'
                   AND NEW.state IN ('delivered', 'not_sent', 'queued'))
               OR (OLD.state = 'queued' AND NEW.state IN ('submitted', 'delivered',
                   'undeliverable', 'expired', 'rejected'))
               OR (OLD.state = 'submitted' AND NEW.state IN ('delivered',
                   'undeliverable', 'expired', 'rejected')))
        BEGIN SELECT RAISE(ABORT, 'message state only moves forward'); END)",
    uR"(CREATE TABLE ledger_next (
        id INTEGER PRIMARY KEY,
        account_id INTEGER NOT NULL REFERENCES accounts(id),
        amount INTEGER NOT NULL CHECK (amount <> 0),
        reason TEXT NOT NULL
            CHECK (reason = 'recharge' OR reason = 'send' OR reason = 'refund'),
        reference TEXT NOT NULL,
        at INTEGER NOT NULL))",
    uR"(INSERT INTO ledger_next SELECT id, account_id, amount, reason, reference, at
        FROM ledger)",
    uR"(DROP TABLE ledger)",
    uR"(ALTER TABLE ledger_next RENAME TO ledger)",
    uR"(CREATE TRIGGER ledger_applies AFTER INSERT ON ledger BEGIN
        UPDATE accounts SET balance = balance + NEW.amount WHERE id = NEW.account_id;
        SELECT RAISE(ABORT, 'ledger row without account') WHERE changes() <> 1;
        END)",
    uR"(CREATE TRIGGER ledger_is_append_only BEFORE UPDATE ON ledger BEGIN
        SELECT RAISE(ABORT, 'ledger rows are never changed'); END)",
    uR"(CREATE TRIGGER ledger_is_kept BEFORE DELETE ON ledger BEGIN
        SELECT RAISE(ABORT, 'ledger rows are never deleted'); END)",
    // One refund per message, whatever retries or processes do.
    uR"(CREATE UNIQUE INDEX ledger_refund_once ON ledger(reference) WHERE reason = 'refund')",
    uR"(CREATE TABLE mt_parts (
        mt_id INTEGER NOT NULL REFERENCES mt(id),
        part INTEGER NOT NULL CHECK (part > 0),
        smsc_id TEXT NOT NULL,
        state TEXT NOT NULL,
        PRIMARY KEY (mt_id, part)) WITHOUT ROWID)",
    uR"(CREATE INDEX mt_parts_smsc ON mt_parts(smsc_id))",
    uR"(CREATE TABLE link_unmatched (
        id INTEGER PRIMARY KEY,
        link TEXT NOT NULL,
        kind TEXT NOT NULL CHECK (kind = 'receipt' OR kind = 'arrival'),
        source TEXT NOT NULL,
        destination TEXT NOT NULL,
        smsc_id TEXT NOT NULL,
        state TEXT NOT NULL,
        text TEXT NOT NULL,
        at INTEGER NOT NULL))",
    uR"(CREATE TABLE arrival_parts (
        link TEXT NOT NULL,
        source TEXT NOT NULL,
        destination TEXT NOT NULL,
        reference INTEGER NOT NULL,
        total INTEGER NOT NULL,
        part INTEGER NOT NULL,
        text TEXT NOT NULL,
        at INTEGER NOT NULL,
        PRIMARY KEY (link, source, destination, reference, total, part)) WITHOUT ROWID)",
    uR"(CREATE TABLE arrivals_seen (
        link TEXT NOT NULL,
        digest TEXT NOT NULL,
        at INTEGER NOT NULL,
        PRIMARY KEY (link, digest)) WITHOUT ROWID)",
    uR"(CREATE INDEX arrivals_seen_at ON arrivals_seen(at))",
    uR"(CREATE TABLE link_status (
        link TEXT NOT NULL,
        process TEXT NOT NULL,
        state TEXT NOT NULL,
        since INTEGER,
        outstanding INTEGER NOT NULL,
        sent INTEGER NOT NULL,
        received INTEGER NOT NULL,
        last_error TEXT NOT NULL,
        updated_at INTEGER NOT NULL,
        PRIMARY KEY (link, process)) WITHOUT ROWID)",
};

// Version 4: what the links keep of what an SMSC sends stays bounded and in sight.
// link_unmatched takes two more kinds, the parts of an arrival that never completed and
// a part the SMSC took with an id that cannot find it again, and the indexes its
// retention and the early receipts' lookup read; arrival_parts is read by age to move
// the parts that waited too long. arrivals_seen no longer holds every recent arrival: it
// holds marks, each with its own end, of an arrival the SMSC gave an id to, or of one
// whose answer a dropped session left in doubt (what was there only ever lasted five
// minutes, and is dropped).
const char16_t *const ToV4[] = {
    uR"(CREATE TABLE link_unmatched_next (
        id INTEGER PRIMARY KEY,
        link TEXT NOT NULL,
        kind TEXT NOT NULL CHECK (kind = 'receipt' OR kind = 'arrival' OR kind = 'part'
                                  OR kind = 'answer'),
        source TEXT NOT NULL,
        destination TEXT NOT NULL,
        smsc_id TEXT NOT NULL,
        state TEXT NOT NULL,
        text TEXT NOT NULL,
        at INTEGER NOT NULL))",
    uR"(INSERT INTO link_unmatched_next (id, link, kind, source, destination, smsc_id, state,
        text, at) SELECT id, link, kind, source, destination, smsc_id, state, text, at
        FROM link_unmatched)",
    uR"(DROP TABLE link_unmatched)",
    uR"(ALTER TABLE link_unmatched_next RENAME TO link_unmatched)",
    uR"(CREATE INDEX link_unmatched_at ON link_unmatched(link, at))",
    uR"(CREATE INDEX link_unmatched_receipts ON link_unmatched(link, smsc_id)
        WHERE kind = 'receipt')",
    uR"(CREATE INDEX arrival_parts_at ON arrival_parts(link, at))",
    uR"(DROP TABLE arrivals_seen)",
    uR"(CREATE TABLE arrivals_seen (
        link TEXT NOT NULL,
        mark TEXT NOT NULL,
        expires_at INTEGER NOT NULL,
        PRIMARY KEY (link, mark)) WITHOUT ROWID)",
    uR"(CREATE INDEX arrivals_seen_expiry ON arrivals_seen(link, expires_at))",
};

// Version 5: a message knows more of how it may end. An application or an SMPP client
// may send it (origins api and smpp), give it a reference of its own and a time after
// which it is not handed to an SMSC (valid_until); it may be cancelled before any SMSC
// has it, and a submitted one whose final receipt never comes ends unknown (a late
// receipt still settles it), counted from when the SMSC took its last part
// (accepted_at). A receipt's id is found again whatever its case and leading zeros
// (the _key indexes, read by the same expression).
//
// mt is rebuilt for its wider lists of values. mt_parts refers to it, and SQLite checks
// a foreign key when the table it refers to is dropped, so the parts wait in a table of
// their own meanwhile and come back to a table made anew.
const char16_t *const ToV5[] = {
    uR"(CREATE TABLE mt_next (
        id INTEGER PRIMARY KEY,
        account_id INTEGER NOT NULL REFERENCES accounts(id),
        phone TEXT NOT NULL,
        text TEXT NOT NULL,
        segments INTEGER NOT NULL CHECK (segments > 0),
        cost INTEGER NOT NULL CHECK (cost >= 0),
        origin TEXT NOT NULL
            CHECK (origin = 'send' OR origin = 'forward' OR origin = 'auto_reply'
                   OR origin = 'api' OR origin = 'smpp'),
        submitted_at INTEGER NOT NULL,
        due_at INTEGER NOT NULL,
        state TEXT NOT NULL
            CHECK (state = 'scheduled' OR state = 'delivered' OR state = 'not_sent'
                   OR state = 'queued' OR state = 'submitted' OR state = 'undeliverable'
                   OR state = 'expired' OR state = 'rejected' OR state = 'cancelled'
                   OR state = 'unknown'),
        reason TEXT,
        delivered_at INTEGER,
        link TEXT,
        tries INTEGER NOT NULL DEFAULT 0,
        next_try_at INTEGER,
        claimed_by TEXT,
        claimed_until INTEGER,
        reference TEXT,
        valid_until INTEGER,
        accepted_at INTEGER))",
    uR"(INSERT INTO mt_next (id, account_id, phone, text, segments, cost, origin,
        submitted_at, due_at, state, reason, delivered_at, link, tries, next_try_at,
        claimed_by, claimed_until, accepted_at)
        SELECT id, account_id, phone, text, segments, cost, origin, submitted_at, due_at,
               state, reason, delivered_at, link, tries, next_try_at, claimed_by,
               claimed_until, CASE WHEN state = 'submitted' THEN due_at END FROM mt)",
    uR"(CREATE TABLE mt_parts_kept AS SELECT mt_id, part, smsc_id, state FROM mt_parts)",
    uR"(DROP TABLE mt_parts)",
    uR"(DROP TABLE mt)",
    uR"(ALTER TABLE mt_next RENAME TO mt)",
    uR"(CREATE TABLE mt_parts (
        mt_id INTEGER NOT NULL REFERENCES mt(id),
        part INTEGER NOT NULL CHECK (part > 0),
        smsc_id TEXT NOT NULL,
        state TEXT NOT NULL,
        PRIMARY KEY (mt_id, part)) WITHOUT ROWID)",
    uR"(INSERT INTO mt_parts SELECT mt_id, part, smsc_id, state FROM mt_parts_kept)",
    uR"(DROP TABLE mt_parts_kept)",
    uR"(CREATE INDEX mt_parts_smsc ON mt_parts(smsc_id))",
    uR"(CREATE INDEX mt_parts_key ON mt_parts(ltrim(lower(smsc_id), '0')))",
    uR"(CREATE INDEX link_unmatched_key ON link_unmatched(link, ltrim(lower(smsc_id), '0'))
        WHERE kind = 'receipt')",
    uR"(CREATE INDEX mt_due ON mt(due_at) WHERE state = 'scheduled')",
    uR"(CREATE INDEX mt_delivered_to ON mt(phone, delivered_at, id, account_id, text)
        WHERE state = 'delivered')",
    uR"(CREATE INDEX mt_queued ON mt(link, next_try_at, id) WHERE state = 'queued')",
    uR"(CREATE INDEX mt_submitted ON mt(link, accepted_at) WHERE state = 'submitted')",
    uR"(CREATE INDEX mt_listed ON mt(submitted_at, id))",
    uR"(CREATE TRIGGER mt_state_moves_forward BEFORE UPDATE OF state ON mt
        WHEN NOT ((OLD.state = 'scheduled'
                   AND NEW.state IN ('delivered', 'not_sent', 'queued', 'cancelled', 'expired'))
               OR (OLD.state = 'queued' AND NEW.state IN ('submitted', 'delivered',
                   'undeliverable', 'expired', 'rejected', 'cancelled'))
               OR (OLD.state = 'submitted' AND NEW.state IN ('delivered',
                   'undeliverable', 'expired', 'rejected', 'unknown'))
               OR (OLD.state = 'unknown' AND NEW.state IN ('delivered',
                   'undeliverable', 'expired', 'rejected')))
        BEGIN SELECT RAISE(ABORT, 'message state only moves forward'); END)",
};

// Version 6: what the gateway tells an application. An account may have a callback (its
// URL, which events it takes, and the secret that signs them, sealed with a key the
// service keeps outside the store). Each event is a row of the outbox, written by the
// triggers below in the transaction that made the change it reports, whichever path made
// it (a send, a link's receipt, a cancel, an expiry, a handset's message), so a crash
// loses none. A message's event carries the state it reached; the dispatcher claims due
// rows with leases, as the links claim messages, and a row ends delivered or dead.
//
// An arrival for an account whose callback takes arrivals goes to the callback alone: it
// is fetched as it arrives, so that no receive call takes it as well. That happens inside
// mo_arrives, after the counters have counted it, because SQLite gives no order among
// triggers of one event: counted and then fetched, the counters never dip below zero.
const char16_t *const ToV6[] = {
    uR"(CREATE TABLE callbacks (
        account_id INTEGER PRIMARY KEY REFERENCES accounts(id),
        url TEXT NOT NULL,
        on_state INTEGER NOT NULL CHECK (on_state = 0 OR on_state = 1),
        on_arrival INTEGER NOT NULL CHECK (on_arrival = 0 OR on_arrival = 1),
        secret_sealed BLOB NOT NULL,
        created_at INTEGER NOT NULL))",
    uR"(CREATE TABLE outbox (
        id INTEGER PRIMARY KEY,
        account_id INTEGER NOT NULL REFERENCES accounts(id),
        type TEXT NOT NULL CHECK (type = 'message.state' OR type = 'arrival'),
        subject_id INTEGER NOT NULL,
        state TEXT,
        at INTEGER NOT NULL,
        delivery TEXT NOT NULL DEFAULT 'pending'
            CHECK (delivery = 'pending' OR delivery = 'delivered' OR delivery = 'dead'),
        attempts INTEGER NOT NULL DEFAULT 0,
        next_try_at INTEGER,
        claimed_by TEXT,
        claimed_until INTEGER,
        last_error TEXT,
        delivered_at INTEGER))",
    uR"(CREATE INDEX outbox_pending ON outbox(next_try_at, id) WHERE delivery = 'pending')",
    uR"(CREATE INDEX outbox_subject ON outbox(subject_id, type, id) WHERE delivery = 'pending')",
    uR"(CREATE INDEX outbox_dead ON outbox(id) WHERE delivery = 'dead')",
    // The store's own clock: a trigger has no other.
    uR"(CREATE TRIGGER mt_state_reported AFTER UPDATE OF state ON mt
        WHEN OLD.state <> NEW.state
         AND NEW.state IN ('delivered', 'not_sent', 'undeliverable', 'expired', 'rejected',
                           'cancelled', 'unknown')
        BEGIN
        INSERT INTO outbox (account_id, type, subject_id, state, at)
            SELECT NEW.account_id, 'message.state', NEW.id, NEW.state,
                   CAST((julianday('now') - 2440587.5) * 86400000.0 AS INTEGER)
            FROM callbacks WHERE account_id = NEW.account_id AND on_state = 1;
        END)",
    // A message handed to its handset at once is written delivered, and one the balance
    // could not cover not sent: they never pass through an update.
    uR"(CREATE TRIGGER mt_born_final AFTER INSERT ON mt
        WHEN NEW.state IN ('delivered', 'not_sent', 'undeliverable', 'expired', 'rejected',
                           'cancelled', 'unknown')
        BEGIN
        INSERT INTO outbox (account_id, type, subject_id, state, at)
            SELECT NEW.account_id, 'message.state', NEW.id, NEW.state,
                   CAST((julianday('now') - 2440587.5) * 86400000.0 AS INTEGER)
            FROM callbacks WHERE account_id = NEW.account_id AND on_state = 1;
        END)",
    uR"(DROP TRIGGER mo_arrives)",
    uR"(CREATE TRIGGER mo_arrives AFTER INSERT ON mo WHEN NEW.state = 'waiting' BEGIN
        UPDATE accounts SET waiting = waiting + 1 WHERE id = NEW.account_id;
        INSERT INTO waiting_counts (account_id, extension, waiting)
            VALUES (NEW.account_id, NEW.extension, 1)
            ON CONFLICT (account_id, extension) DO UPDATE SET waiting = waiting + 1;
        INSERT INTO outbox (account_id, type, subject_id, at)
            SELECT NEW.account_id, 'arrival', NEW.id, NEW.sent_at
            FROM callbacks WHERE account_id = NEW.account_id AND on_arrival = 1;
        UPDATE mo SET state = 'fetched', fetched_at = NEW.sent_at
            WHERE id = NEW.id AND EXISTS (SELECT 1 FROM callbacks
                WHERE account_id = NEW.account_id AND on_arrival = 1);
        END)",
};

// Version 7: customers' applications over SMPP. An account may have one set of SMPP
// credentials (its system_id, unique, and its password's slow hash: the password itself
// is shown once, when it is made). A bind is a row while it lasts, written by the service
// process that holds it and seen again every little while, so that the operator sees
// every process's binds and a revoke reaches a bind in any process: the bind's row goes
// with its credentials, and a process that finds its row gone ends the bind.
//
// Receipts and arrivals for those binds go through the outbox as the callbacks' events
// do, written by the same triggers in the change's own transaction, with destination
// 'smpp': a receipt for each message whose submit asked for one (smpp_receipt: 1 for any
// final state, 2 for a failure only), kept until expires_at (the message's validity) or
// the service's own time for keeping them, whichever is later; an arrival for each of an
// account that has credentials and no callback taking arrivals. An arrival stays waiting
// meanwhile: the console or POST /v1/arrivals/next may still take it while no receiver
// is bound, and one taken so is not sent over SMPP.
const char16_t *const ToV7[] = {
    uR"(CREATE TABLE smpp_credentials (
        account_id INTEGER PRIMARY KEY REFERENCES accounts(id),
        system_id TEXT NOT NULL UNIQUE,
        password_hash TEXT NOT NULL,
        created_at INTEGER NOT NULL))",
    uR"(CREATE TABLE smpp_binds (
        id INTEGER PRIMARY KEY,
        account_id INTEGER NOT NULL REFERENCES accounts(id),
        process TEXT NOT NULL,
        mode TEXT NOT NULL
            CHECK (mode = 'transmitter' OR mode = 'receiver' OR mode = 'transceiver'),
        address TEXT NOT NULL,
        since INTEGER NOT NULL,
        seen_at INTEGER NOT NULL,
        submitted INTEGER NOT NULL DEFAULT 0,
        receipts INTEGER NOT NULL DEFAULT 0,
        arrivals INTEGER NOT NULL DEFAULT 0))",
    uR"(CREATE INDEX smpp_binds_account ON smpp_binds(account_id))",
    uR"(ALTER TABLE mt ADD COLUMN smpp_receipt INTEGER NOT NULL DEFAULT 0
        CHECK (smpp_receipt >= 0 AND smpp_receipt <= 2))",
    uR"(ALTER TABLE outbox ADD COLUMN destination TEXT NOT NULL DEFAULT 'callback'
        CHECK (destination = 'callback' OR destination = 'smpp'))",
    uR"(ALTER TABLE outbox ADD COLUMN expires_at INTEGER)",
    uR"(CREATE INDEX outbox_smpp ON outbox(account_id, id)
        WHERE delivery = 'pending' AND destination = 'smpp')",
    uR"(DROP TRIGGER mt_state_reported)",
    uR"(CREATE TRIGGER mt_state_reported AFTER UPDATE OF state ON mt
        WHEN OLD.state <> NEW.state
         AND NEW.state IN ('delivered', 'not_sent', 'undeliverable', 'expired', 'rejected',
                           'cancelled', 'unknown')
        BEGIN
        INSERT INTO outbox (account_id, type, subject_id, state, at)
            SELECT NEW.account_id, 'message.state', NEW.id, NEW.state,
                   CAST((julianday('now') - 2440587.5) * 86400000.0 AS INTEGER)
            FROM callbacks WHERE account_id = NEW.account_id AND on_state = 1;
        INSERT INTO outbox (account_id, type, subject_id, state, at, destination, expires_at)
            SELECT NEW.account_id, 'message.state', NEW.id, NEW.state,
                   CAST((julianday('now') - 2440587.5) * 86400000.0 AS INTEGER), 'smpp',
                   NEW.valid_until
            WHERE NEW.smpp_receipt = 1 OR (NEW.smpp_receipt = 2 AND NEW.state <> 'delivered');
        END)",
    uR"(DROP TRIGGER mt_born_final)",
    uR"(CREATE TRIGGER mt_born_final AFTER INSERT ON mt
        WHEN NEW.state IN ('delivered', 'not_sent', 'undeliverable', 'expired', 'rejected',
                           'cancelled', 'unknown')
        BEGIN
        INSERT INTO outbox (account_id, type, subject_id, state, at)
            SELECT NEW.account_id, 'message.state', NEW.id, NEW.state,
                   CAST((julianday('now') - 2440587.5) * 86400000.0 AS INTEGER)
            FROM callbacks WHERE account_id = NEW.account_id AND on_state = 1;
        INSERT INTO outbox (account_id, type, subject_id, state, at, destination, expires_at)
            SELECT NEW.account_id, 'message.state', NEW.id, NEW.state,
                   CAST((julianday('now') - 2440587.5) * 86400000.0 AS INTEGER), 'smpp',
                   NEW.valid_until
            WHERE NEW.smpp_receipt = 1 OR (NEW.smpp_receipt = 2 AND NEW.state <> 'delivered');
        END)",
    uR"(DROP TRIGGER mo_arrives)",
    uR"(CREATE TRIGGER mo_arrives AFTER INSERT ON mo WHEN NEW.state = 'waiting' BEGIN
        UPDATE accounts SET waiting = waiting + 1 WHERE id = NEW.account_id;
        INSERT INTO waiting_counts (account_id, extension, waiting)
            VALUES (NEW.account_id, NEW.extension, 1)
            ON CONFLICT (account_id, extension) DO UPDATE SET waiting = waiting + 1;
        INSERT INTO outbox (account_id, type, subject_id, at)
            SELECT NEW.account_id, 'arrival', NEW.id, NEW.sent_at
            FROM callbacks WHERE account_id = NEW.account_id AND on_arrival = 1;
        INSERT INTO outbox (account_id, type, subject_id, at, destination)
            SELECT NEW.account_id, 'arrival', NEW.id, NEW.sent_at, 'smpp'
            FROM smpp_credentials s WHERE s.account_id = NEW.account_id
            AND NOT EXISTS (SELECT 1 FROM callbacks
                WHERE account_id = NEW.account_id AND on_arrival = 1);
        UPDATE mo SET state = 'fetched', fetched_at = NEW.sent_at
            WHERE id = NEW.id AND EXISTS (SELECT 1 FROM callbacks
                WHERE account_id = NEW.account_id AND on_arrival = 1);
        END)",
};

// Version 8: when a message reached its final state (done_at, set by the statement that
// moves it there, on the gateway's clock; a message already final when the store moved to
// this version has its delivered_at there, or none), and a message that is one part of a
// text its application split itself: the concatenation it came with (its reference, 8 or
// 16 bits wide as given, the count of parts and its place from 1), which the link sends
// with it so that the phone joins the parts. Such a message is one segment. And the links
// each link stands in for, in its status.
const char16_t *const ToV8[] = {
    uR"(ALTER TABLE mt ADD COLUMN done_at INTEGER
        CHECK (done_at IS NULL OR state = 'delivered' OR state = 'not_sent'
               OR state = 'undeliverable' OR state = 'expired' OR state = 'rejected'
               OR state = 'cancelled' OR state = 'unknown'))",
    uR"(ALTER TABLE mt ADD COLUMN concat_ref INTEGER)",
    uR"(ALTER TABLE mt ADD COLUMN concat_ref_bits INTEGER)",
    uR"(ALTER TABLE mt ADD COLUMN concat_total INTEGER)",
    uR"(ALTER TABLE mt ADD COLUMN concat_seq INTEGER
        CHECK ((concat_ref IS NULL AND concat_ref_bits IS NULL AND concat_total IS NULL
                AND concat_seq IS NULL)
               OR (concat_ref IS NOT NULL AND concat_ref_bits IS NOT NULL
                   AND concat_total IS NOT NULL AND concat_seq IS NOT NULL
                   AND ((concat_ref_bits = 8 AND concat_ref BETWEEN 0 AND 255)
                    OR (concat_ref_bits = 16 AND concat_ref BETWEEN 0 AND 65535))
                   AND concat_total BETWEEN 1 AND 255 AND concat_seq BETWEEN 1 AND concat_total
                   AND segments = 1)))",
    uR"(UPDATE mt SET done_at = delivered_at
        WHERE state = 'delivered' AND delivered_at IS NOT NULL)",
    // The links a link takes the messages of while they are down, comma-separated.
    uR"(ALTER TABLE link_status ADD COLUMN standing_in TEXT NOT NULL DEFAULT '')",
};

// The revision of how this engine lays out a store of the current schema version, kept
// in the header's user version. Revision 1:
// - mt's lists of allowed values are OR chains. A CHECK with a list of three or more
//   values makes SQLite build a temporary b-tree of the list each time it checks a row
//   (two per message written); the chain is evaluated in place. Both forms accept
//   exactly the same rows, and a CHECK is no part of what is stored on disk, so a store
//   is brought to this revision by swapping the table's text.
// - The indexes that find waiting messages hold waiting messages only: fetching one
//   takes it out of each index rather than moving it to another place in it, and a
//   seek compares no state.
constexpr int LayoutRevision = 1;
const char16_t *const WaitingIndexes[] = {
    uR"(CREATE INDEX mo_waiting ON mo(account_id, sent_at, id) WHERE state = 'waiting')",
    uR"(CREATE INDEX mo_waiting_extension ON mo(account_id, extension, sent_at, id)
        WHERE state = 'waiting')",
};
struct CheckForm {
    const char16_t *listed;
    const char16_t *chained;
};
const CheckForm MtChecks[] = {
    { u"CHECK (origin IN ('send', 'forward', 'auto_reply'))",
      u"CHECK (origin = 'send' OR origin = 'forward' OR origin = 'auto_reply')" },
    { u"CHECK (state IN ('scheduled', 'delivered', 'not_sent'))",
      u"CHECK (state = 'scheduled' OR state = 'delivered' OR state = 'not_sent')" },
};

// mt's definition with its lists chained; empty when it is not the one version 1 wrote.
QString chainedChecks(const QString &table)
{
    QString chained = table;
    for (const CheckForm &check : MtChecks) {
        const QString listed = QString::fromUtf16(check.listed);
        if (chained.count(listed) != 1)
            return {};
        chained.replace(listed, QString::fromUtf16(check.chained));
    }
    return chained;
}

// How many stores of this process have each file open. Closing any descriptor of a
// file drops every POSIX lock the process holds on it, SQLite's included: the header
// check opens and closes the file, so it runs only while no store here has it open.
// Otherwise another process could take the file for unused and remove its WAL.
std::mutex openFilesLock;
std::map<std::pair<quint64, quint64>, int> openFiles;

// Threads of this process that write one file take their turn here, in order, before
// BEGIN IMMEDIATE. Left to SQLite's busy handler they would poll for the lock with
// sleeps of up to 100 ms while it changes hands between them, which halves a service's
// writes with eight workers. Other processes still meet at SQLite's lock. Kept for the
// life of the process, one per file it wrote.
std::mutex writerTurnsLock;
std::map<std::pair<quint64, quint64>, std::unique_ptr<std::recursive_timed_mutex>> writerTurns;

} // namespace

SqliteEngine::~SqliteEngine()
{
    if (!m_file)
        return;
    const std::lock_guard<std::mutex> guard(openFilesLock);
    const auto key = std::make_pair(m_file->device, m_file->inode);
    if (--openFiles[key] == 0)
        openFiles.erase(key);
}

std::recursive_timed_mutex *SqliteEngine::writerTurn() const
{
    if (!m_file)
        return nullptr;
    const std::lock_guard<std::mutex> guard(writerTurnsLock);
    auto &turn = writerTurns[std::make_pair(m_file->device, m_file->inode)];
    if (!turn)
        turn = std::make_unique<std::recursive_timed_mutex>();
    return turn.get();
}

// As long as SQLite waits for another process's lock.
std::chrono::milliseconds SqliteEngine::turnTimeout() const
{
    return std::chrono::milliseconds(BusyTimeoutMs);
}

QString SqliteEngine::driverName() const
{
    return u"QSQLITE"_s;
}

QString SqliteEngine::connectOptions() const
{
    return u"QSQLITE_BUSY_TIMEOUT="_s + QString::number(BusyTimeoutMs);
}

// The folder is made 0700 and the file 0600 before SQLite sees them, so the store is
// never readable by others, not even for a moment. Existing ones are left as they are.
// errno is saved before any text is built, since building one may change it.
Status SqliteEngine::prepare(const Store &store)
{
    const QString &path = store.path();
    const QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo(folder).exists()) {
        const QString parent = QFileInfo(folder).absolutePath();
        if (const int error = makeFolders(parent); error != 0)
            return store.failure(createFailureCode(error),
                                 LocalTexts::cannotCreateFolder(parent, systemError(error)));
        if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST) {
            const int error = errno;
            return store.failure(createFailureCode(error),
                                 LocalTexts::cannotCreateFolder(folder, systemError(error)));
        }
    }
    if (!QFileInfo(folder).isDir())
        return store.failure(Store::Unavailable, LocalTexts::notAFolder(folder));

    const QByteArray encoded = QFile::encodeName(path);
    struct stat info { };
    if (::stat(encoded.constData(), &info) != 0) {
        if (const int error = errno; error != ENOENT)
            return store.failure(Store::Unavailable,
                                 LocalTexts::cannotReadFile(systemError(error)));
        const int fd = ::open(encoded.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (const int error = errno; fd < 0 && error != EEXIST)
            return store.failure(createFailureCode(error),
                                 LocalTexts::cannotCreateFile(systemError(error)));
        if (fd >= 0)
            ::close(fd);
        if (::stat(encoded.constData(), &info) != 0) {
            const int error = errno;
            return store.failure(Store::Unavailable,
                                 LocalTexts::cannotReadFile(systemError(error)));
        }
    }
    if (!S_ISREG(info.st_mode))
        return store.failure(Store::Unavailable, LocalTexts::notAFile());

    // A file with content must begin with SQLite's header; anything else is left alone
    // without handing it to SQLite at all. A file another store here has open passed
    // this check already, and must not be opened and closed beside it.
    const std::lock_guard<std::mutex> guard(openFilesLock);
    const auto key = std::make_pair(quint64(info.st_dev), quint64(info.st_ino));
    if (info.st_size > 0 && openFiles.count(key) == 0) {
        QFile raw(path);
        if (!raw.open(QIODevice::ReadOnly))
            return store.failure(Store::AccessDenied,
                                 LocalTexts::cannotReadFile(raw.errorString()));
        static constexpr char Header[] = "SQLite format 3";
        const QByteArray head = raw.read(sizeof(Header));
        if (head != QByteArray(Header, sizeof(Header)))
            return store.failure(Store::Unavailable, LocalTexts::notSqlite());
    }
    ++openFiles[key];
    m_file = FileId { key.first, key.second };
    return Status::ok();
}

QStringList SqliteEngine::sessionSettings() const
{
    return { u"PRAGMA busy_timeout = "_s + QString::number(BusyTimeoutMs),
             u"PRAGMA foreign_keys = ON"_s, u"PRAGMA synchronous = FULL"_s };
}

Result<bool> SqliteEngine::isNew(Store &store)
{
    QSqlQuery q = store.query();
    QUILLET_TRY(store.run(q, u"PRAGMA application_id"_s));
    const qint64 applicationId = q.next() ? q.value(0).toLongLong() : 0;
    QUILLET_TRY(store.run(q, u"SELECT count(*) FROM sqlite_master"_s));
    const qint64 objects = q.next() ? q.value(0).toLongLong() : 0;
    q.finish();
    if (applicationId == 0 && objects == 0)
        return true;
    if (applicationId != ApplicationId)
        return store.failure(Store::Unavailable, LocalTexts::notAQuilletStore());
    return false;
}

// A whole check reads every page of the store: about half a second for a million
// messages, paid by every operator command and by the console's first press. Up to
// WholeCheckBytes the store is checked whole. Beyond, only the tables of accounts,
// money and cards are, which stay small; SQLite checks the messages and the ledger
// page by page as it reads them: a damaged page fails the call that reads it with the
// same report, and nothing is written over it.
Status SqliteEngine::checkSound(Store &store)
{
    QSqlQuery q = store.query();
    QUILLET_TRY(store.run(q,
                          u"SELECT page_count * page_size FROM pragma_page_count(), "
                          u"pragma_page_size()"_s));
    const qint64 bytes = q.next() ? q.value(0).toLongLong() : 0;
    QStringList checks;
    if (bytes <= WholeCheckBytes) {
        checks << u"PRAGMA quick_check"_s;
    } else {
        // Those of them that the store's version has.
        QUILLET_TRY(store.run(q,
                              u"SELECT name FROM sqlite_master WHERE type = 'table' AND name "
                              u"IN ('meta', 'accounts', 'cards', 'recharge_failures', "
                              u"'waiting_counts') ORDER BY name"_s));
        while (q.next())
            checks << u"PRAGMA quick_check(%1)"_s.arg(q.value(0).toString());
    }
    q.finish();
    for (const QString &check : std::as_const(checks)) {
        QUILLET_TRY(store.run(q, check));
        const QString result = q.next() ? q.value(0).toString() : QString();
        q.finish();
        if (result != u"ok"_s)
            return store.failure(Store::Unavailable, LocalTexts::corrupt(result));
    }
    return Status::ok();
}

Status SqliteEngine::readyForWrites(Store &store)
{
    QSqlQuery q = store.query();
    QUILLET_TRY(store.run(q, u"PRAGMA journal_mode"_s));
    const QString mode = q.next() ? q.value(0).toString() : QString();
    q.finish();
    if (mode.compare(u"wal"_s, Qt::CaseInsensitive) != 0) {
        QUILLET_TRY(store.run(q, u"PRAGMA journal_mode = WAL"_s));
        q.finish();
    }
    bringToRevision(store);
    return Status::ok();
}

// Once per store, under the write lock. The store works as well without it, only slower,
// so a failure leaves it as it was and the next open tries again.
void SqliteEngine::bringToRevision(Store &store)
{
    const auto revision = [&store]() -> Result<int> {
        QSqlQuery q = store.query();
        QUILLET_TRY(store.run(q, u"PRAGMA user_version"_s));
        return q.next() ? q.value(0).toInt() : 0;
    };
    const Result<int> before = revision();
    if (before.failed() || *before >= LayoutRevision)
        return;
    // A new store gets its schema at this revision.
    {
        QSqlQuery q = store.query();
        if (store
                .run(q,
                     u"SELECT count(*) FROM sqlite_master WHERE type = 'table' "
                     u"AND name = 'mt'"_s)
                .failed()
            || !q.next() || q.value(0).toLongLong() == 0)
            return;
    }
    (void)store.transaction([&]() -> Result<Store::Decision> {
        QUILLET_TRY_VALUE(const int current, revision());
        if (current >= LayoutRevision)
            return Store::Decision::RollBack; // another process did it meanwhile
        QSqlQuery q = store.query();
        QUILLET_TRY(store.run(q,
                              u"SELECT sql FROM sqlite_master WHERE type = 'table' "
                              u"AND name = 'mt'"_s));
        if (!q.next())
            return Store::Decision::RollBack; // a new store: its schema comes chained
        const QString chained = chainedChecks(q.value(0).toString());
        q.finish();
        if (chained.isEmpty())
            return Store::Decision::RollBack;
        QUILLET_TRY(store.run(q, u"PRAGMA schema_version"_s));
        const qint64 schemaVersion = q.next() ? q.value(0).toLongLong() : 0;
        q.finish();
        QUILLET_TRY(store.execute(u"PRAGMA writable_schema = ON"_s));
        const Status swapped = store.run(q,
                                         u"UPDATE sqlite_master SET sql = ? "
                                         u"WHERE type = 'table' AND name = 'mt'"_s,
                                         { chained });
        // Other connections read the schema again when its version moves on.
        const Status versioned = swapped.failed()
            ? swapped
            : store.execute(u"PRAGMA schema_version = %1"_s.arg(schemaVersion + 1));
        const Status closed = store.execute(u"PRAGMA writable_schema = OFF"_s);
        QUILLET_TRY(versioned);
        QUILLET_TRY(closed);
        QUILLET_TRY(store.execute(u"DROP INDEX IF EXISTS mo_waiting"_s));
        QUILLET_TRY(store.execute(u"DROP INDEX IF EXISTS mo_waiting_extension"_s));
        for (const char16_t *index : WaitingIndexes)
            QUILLET_TRY(store.execute(QString::fromUtf16(index)));
        QUILLET_TRY(store.execute(u"PRAGMA user_version = %1"_s.arg(LayoutRevision)));
        return Store::Decision::Commit;
    });
}

// A new store is made at the current layout revision.
QStringList SqliteEngine::schema() const
{
    QStringList statements = schemaOfVersion(Store::SchemaVersion);
    for (QString &statement : statements) {
        if (statement.startsWith(u"CREATE TABLE mt "_s)) {
            if (const QString chained = chainedChecks(statement); !chained.isEmpty())
                statement = chained;
        } else if (statement.startsWith(u"CREATE INDEX mo_waiting ON "_s)) {
            statement = QString::fromUtf16(WaitingIndexes[0]);
        } else if (statement.startsWith(u"CREATE INDEX mo_waiting_extension ON "_s)) {
            statement = QString::fromUtf16(WaitingIndexes[1]);
        }
    }
    statements.append(u"PRAGMA user_version = %1"_s.arg(LayoutRevision));
    return statements;
}

QStringList SqliteEngine::schemaOfVersion(int version)
{
    QStringList statements;
    for (const char16_t *statement : SchemaV1)
        statements.append(QString::fromUtf16(statement));
    for (int from = 1; from < version; ++from)
        statements.append(SqliteEngine().migration(from));
    statements.append(u"PRAGMA application_id = %1"_s.arg(ApplicationId));
    return statements;
}

// The statements that move a store from `fromVersion` to the next version.
QStringList SqliteEngine::migration(int fromVersion) const
{
    QStringList statements;
    if (fromVersion == 1) {
        for (const char16_t *statement : ToV2)
            statements.append(QString::fromUtf16(statement));
    } else if (fromVersion == 2) {
        for (const char16_t *statement : ToV3)
            statements.append(QString::fromUtf16(statement));
        // mt comes back with its lists chained; the waiting indexes follow, so the
        // store is at the current layout revision.
        statements.append(u"DROP INDEX IF EXISTS mo_waiting"_s);
        statements.append(u"DROP INDEX IF EXISTS mo_waiting_extension"_s);
        for (const char16_t *index : WaitingIndexes)
            statements.append(QString::fromUtf16(index));
        statements.append(u"PRAGMA user_version = %1"_s.arg(LayoutRevision));
    } else if (fromVersion == 3) {
        for (const char16_t *statement : ToV4)
            statements.append(QString::fromUtf16(statement));
    } else if (fromVersion == 4) {
        for (const char16_t *statement : ToV5)
            statements.append(QString::fromUtf16(statement));
    } else if (fromVersion == 5) {
        for (const char16_t *statement : ToV6)
            statements.append(QString::fromUtf16(statement));
    } else if (fromVersion == 6) {
        for (const char16_t *statement : ToV7)
            statements.append(QString::fromUtf16(statement));
    } else if (fromVersion == 7) {
        for (const char16_t *statement : ToV8)
            statements.append(QString::fromUtf16(statement));
    }
    return statements;
}

QString SqliteEngine::leaveCheckpoints() const
{
    return u"PRAGMA wal_autocheckpoint = 0"_s;
}

QString SqliteEngine::checkpoint() const
{
    return u"PRAGMA wal_checkpoint(PASSIVE)"_s;
}

QString SqliteEngine::beginWrite() const
{
    return u"BEGIN IMMEDIATE"_s;
}

// In WAL mode at synchronous NORMAL a commit is written to the log but not flushed; the
// log is flushed by the next commit at FULL and before every checkpoint, so the store
// stays consistent and only the newest NORMAL commits can be lost. The level is set
// between transactions (SQLite refuses to change it inside one), and only lowered:
// a connection already at NORMAL or OFF keeps its own.
Result<QString> SqliteEngine::deferFlush(Store &store)
{
    constexpr int Normal = 1;
    QSqlQuery *q = nullptr;
    QUILLET_TRY(store.step(q, u"PRAGMA synchronous"_s));
    const int level = q->next() ? q->value(0).toInt() : Normal;
    q->finish();
    if (level <= Normal)
        return QString();
    QUILLET_TRY(store.step(q, u"PRAGMA synchronous = NORMAL"_s));
    return QString(u"PRAGMA synchronous = "_s + QString::number(level));
}

StoreEngine::Fault SqliteEngine::classify(const QSqlError &error) const
{
    bool numeric = false;
    const int native = error.nativeErrorCode().toInt(&numeric);
    switch (numeric ? (native & 0xff) : -1) {
    case SqliteFull:
        return Fault::Full;
    case SqliteBusy:
    case SqliteLocked:
        return Fault::Busy;
    case SqliteCorrupt:
        return Fault::Corrupt;
    case SqliteNotADb:
        return Fault::NotADatabase;
    case SqliteReadOnly:
    case SqliteAuth:
        return Fault::AccessDenied;
    case SqliteCantOpen:
        return Fault::CannotOpen;
    default:
        return Fault::Other;
    }
}

QString SqliteEngine::returningId(const QString &insert) const
{
    return insert;
}

qint64 SqliteEngine::insertedId(QSqlQuery &statement) const
{
    return statement.lastInsertId().toLongLong();
}

// The row id.
QString SqliteEngine::numberedKey() const
{
    return u"INTEGER PRIMARY KEY"_s;
}

// Milliseconds since the epoch.
QString SqliteEngine::timeType() const
{
    return u"BIGINT"_s;
}

// Tables kept beside the gateway's have never declared references in an SQLite store;
// with foreign keys on (see sessionSettings), one declared now would refuse rows in new
// stores that every older store takes.
QString SqliteEngine::reference(const QString &target) const
{
    Q_UNUSED(target);
    return {};
}
