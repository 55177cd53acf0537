// The store as a file on disk: who may read it, what it holds, and what happens when
// the file at its place is not a sound Quillet store.

#include "gateway/local/localgateway.h"
#include "gateway/local/localoperator.h"
#include "gateway/local/sqliteengine.h"
#include "tests/gateway/local/storeprobe.h"

#include <sodium.h>

#include <QFile>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-123-XYZ-00001"_s;

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

unsigned modeOf(const QString &path)
{
    struct stat info { };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

Bool16 registerAccount(LocalGateway &gateway, const QString &password)
{
    RegisterParticulars p;
    p.accountNo = Account;
    p.password = password;
    Bool16 outcome = 1;
    return gateway.Register(p, outcome).isOk() ? outcome : Bool16(1);
}

// The indexes that find waiting messages, when they hold waiting messages only.
const QString WaitingOnlyIndexes
    = u"SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name IN "
      u"('mo_waiting', 'mo_waiting_extension') AND sql LIKE '%WHERE state = ''waiting'''"_s;

// A raw SQLite database that the test shapes by hand.
bool makeDatabase(const QString &path, const QStringList &statements)
{
    const QString name = u"raw-"_s + path;
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, name);
        db.setDatabaseName(path);
        ok = db.open();
        QSqlQuery q(db);
        for (const QString &statement : statements)
            ok = ok && q.exec(statement);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

} // namespace

class TestStoreFiles : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;

    QString storePath() const { return m_dir->filePath(u"quillet-gateway/gateway.sqlite3"_s); }

    std::unique_ptr<LocalGateway> open(Status *status = nullptr,
                                       PasswordHasher::Cost cost = PasswordHasher::fastest())
    {
        LocalGateway::Options options;
        options.hashCost = cost;
        std::unique_ptr<LocalGateway> gateway;
        const Status result = LocalGateway::open(storePath(), gateway, options);
        if (status)
            *status = result;
        return gateway;
    }

    // A store with an account, money and messages in it, closed again.
    void makeStore()
    {
        std::unique_ptr<LocalGateway> gateway = open();
        QVERIFY(gateway);
        QCOMPARE(registerAccount(*gateway, u"pw"_s), True16);
        QList<LocalGateway::IssuedCard> cards;
        QVERIFY(LocalOperator(*gateway).issueCards(1000, 1, cards).isOk());
        Bool16 outcome = 0;
        QVERIFY(gateway->Recharge(Account, cards.first().number, cards.first().password, outcome)
                    .isOk());
        for (int i = 0; i < 20; ++i)
            QVERIFY(gateway->SendMessage(Account, u"13800138000"_s, QString(100, u'x'), outcome)
                        .isOk());
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void cleanup() { m_dir.reset(); }

    void createdPrivate()
    {
        const mode_t previous = ::umask(022);
        std::unique_ptr<LocalGateway> gateway = open();
        ::umask(previous);
        QVERIFY(gateway);
        QCOMPARE(registerAccount(*gateway, u"pw"_s), True16);
        QCOMPARE(modeOf(m_dir->filePath(u"quillet-gateway"_s)), 0700u);
        QCOMPARE(modeOf(storePath()), 0600u);
        // SQLite gives its side files the database file's mode.
        for (const QString &side : { u"-wal"_s, u"-shm"_s }) {
            if (QFile::exists(storePath() + side))
                QCOMPARE(modeOf(storePath() + side), 0600u);
        }
    }

    // Neither account passwords nor card passwords are ever written, in any form.
    void secretsNotInTheFile()
    {
        const QStringList secrets { u"First-Secret-7781"_s, u"Second-Secret-9915"_s };
        QStringList cardPasswords;
        QByteArrayList snapshots;
        {
            std::unique_ptr<LocalGateway> gateway = open();
            QVERIFY(gateway);
            QCOMPARE(registerAccount(*gateway, secrets.at(0)), True16);
            Bool16 outcome = 0;
            QVERIFY(gateway->ChangePassword(Account, secrets.at(1), outcome).isOk());
            QCOMPARE(outcome, True16);
            QList<LocalGateway::IssuedCard> cards;
            QVERIFY(LocalOperator(*gateway).issueCards(500, 5, cards).isOk());
            for (const auto &card : std::as_const(cards))
                cardPasswords.append(card.password);
            QVERIFY(
                gateway->Recharge(Account, cards.first().number, cards.first().password, outcome)
                    .isOk());
            QCOMPARE(outcome, True16);
            snapshots << readAll(storePath()) + readAll(storePath() + u"-wal"_s);
        }
        snapshots << readAll(storePath()) + readAll(storePath() + u"-wal"_s);
        for (const QByteArray &bytes : std::as_const(snapshots)) {
            QVERIFY(bytes.size() > 4096);
            for (const QString &secret : secrets + cardPasswords) {
                QVERIFY2(!bytes.contains(secret.toUtf8()), qPrintable(secret));
                const QByteArray utf16(reinterpret_cast<const char *>(secret.utf16()),
                                       secret.size() * 2);
                QVERIFY2(!bytes.contains(utf16), qPrintable(secret));
            }
        }
    }

    // Production hashes with libsodium's interactive limits; only tests make it cheaper.
    void productionHashCost()
    {
        QCOMPARE(LocalGateway::Options().hashCost, PasswordHasher::interactive());
        QCOMPARE(PasswordHasher().cost(), PasswordHasher::interactive());
        QCOMPARE(PasswordHasher::interactive().opsLimit,
                 quint64(crypto_pwhash_OPSLIMIT_INTERACTIVE));
        QCOMPARE(PasswordHasher::interactive().memLimit,
                 size_t(crypto_pwhash_MEMLIMIT_INTERACTIVE));

        std::unique_ptr<LocalGateway> gateway = open(nullptr, LocalGateway::Options().hashCost);
        QVERIFY(gateway);
        QCOMPARE(registerAccount(*gateway, u"pw"_s), True16);
        StoreProbe probe(storePath());
        QCOMPARE(probe.count(u"SELECT count(*) FROM accounts WHERE password_hash "
                             u"LIKE '$argon2id$v=19$m=65536,t=2,p=1$%'"_s),
                 1);
    }

    void unusableFiles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("text file") << u"text"_s << u"不是 SQLite 数据库文件"_s;
        QTest::newRow("random bytes") << u"random"_s << u"不是 SQLite 数据库文件"_s;
        QTest::newRow("foreign SQLite database")
            << u"foreign"_s << u"不是 Quillet 短信网关的存储"_s;
        QTest::newRow("newer schema") << u"newer"_s << u"结构版本为 99，高于本程序支持的版本 8"_s;
        QTest::newRow("damaged pages") << u"damaged"_s << u"损坏"_s;
        QTest::newRow("damaged header") << u"header"_s << u"不是 SQLite 数据库文件"_s;
        QTest::newRow("truncated") << u"truncated"_s << u"损坏"_s;
    }

    // Each is a failure Status that names the file and the reason, and the file's bytes
    // are exactly what they were.
    void unusableFiles()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QVERIFY(QDir().mkpath(m_dir->filePath(u"quillet-gateway"_s)));
        if (kind == u"text"_s) {
            QVERIFY(writeAll(storePath(), "account,balance\nABC,100\n"));
        } else if (kind == u"random"_s) {
            QByteArray bytes(8192, '\0');
            for (char &b : bytes)
                b = char(QRandomGenerator::global()->bounded(256));
            QVERIFY(writeAll(storePath(), bytes));
        } else if (kind == u"foreign"_s) {
            QVERIFY(makeDatabase(storePath(),
                                 { u"CREATE TABLE contacts (name TEXT)"_s,
                                   u"INSERT INTO contacts VALUES ('x')"_s }));
        } else {
            makeStore();
            if (kind == u"newer"_s) {
                StoreProbe probe(storePath());
                QVERIFY(probe.exec(u"UPDATE meta SET value = '99' WHERE key = 'schema_version'"_s));
            }
            QByteArray bytes = readAll(storePath());
            QVERIFY(bytes.size() >= qsizetype(4) * 4096);
            if (kind == u"damaged"_s)
                bytes.replace(4096, qsizetype(4096) * 3, QByteArray(qsizetype(4096) * 3, '\x5a'));
            else if (kind == u"header"_s)
                bytes.replace(0, 16, QByteArray(16, 'Q'));
            else if (kind == u"truncated"_s)
                bytes.truncate(bytes.size() - 4096);
            if (kind != u"newer"_s)
                QVERIFY(writeAll(storePath(), bytes));
        }
        const QByteArray before = readAll(storePath());

        Status status;
        QVERIFY(!open(&status));
        QVERIFY(status.failed());
        QVERIFY2(status.description().contains(storePath()), qPrintable(status.description()));
        QVERIFY2(status.description().contains(reason), qPrintable(status.description()));
        QCOMPARE(readAll(storePath()), before);
    }

    // The folders above the store's own cannot be made: the report says why.
    void parentFolderCannotBeMade()
    {
        QVERIFY(writeAll(m_dir->filePath(u"file"_s), "x"));
        std::unique_ptr<LocalGateway> gateway;
        const Status status = LocalGateway::open(
            m_dir->filePath(u"file/below/quillet-gateway/gateway.sqlite3"_s), gateway);
        QVERIFY(status.failed());
        QVERIFY2(status.description().contains(m_dir->filePath(u"file/below"_s)),
                 qPrintable(status.description()));
        QVERIFY2(!status.description().contains(u"（）"_s), qPrintable(status.description()));
        QCOMPARE(readAll(m_dir->filePath(u"file"_s)), QByteArray("x"));
    }

    void folderIsAFile()
    {
        QVERIFY(writeAll(m_dir->filePath(u"quillet-gateway"_s), "x"));
        Status status;
        QVERIFY(!open(&status));
        QVERIFY(status.description().contains(u"不是文件夹"_s));
        QCOMPARE(readAll(m_dir->filePath(u"quillet-gateway"_s)), QByteArray("x"));
    }

    // A store of the first version, with messages waiting under two extensions, gets
    // the counters and the index on open; what the calls return is what it held.
    void migratesFromVersion1()
    {
        QVERIFY(QDir().mkpath(m_dir->filePath(u"quillet-gateway"_s)));
        QStringList statements = SqliteEngine::schemaOfVersion(1);
        statements << u"INSERT INTO meta VALUES ('schema_version', '1')"_s
                   << u"INSERT INTO accounts (id, number, password_hash, province, city, trade, "
                      u"company, contact_name, telephone, mobile, email, fax, address, postcode, "
                      u"service_number, signed_on, created_at) VALUES (1, '"_s
                + Account
                + u"', 'x', '', '', '', '', '', '', '', '', '', '', '', '106900000001', 1, 0)"_s;
        const QString mo = u"INSERT INTO mo (account_id, sender, extension, text, sent_at, state) "
                           u"VALUES (1, '139', '%1', '%2', %3, '%4')"_s;
        for (int i = 0; i < 14; ++i)
            statements << mo.arg(i % 2 ? u"5"_s : QString()).arg(i).arg(1000 * i).arg(u"waiting"_s);
        statements << mo.arg(u"5"_s).arg(u"old"_s).arg(0).arg(u"fetched"_s)
                   << u"INSERT INTO mt (account_id, phone, text, segments, cost, origin, "
                      u"submitted_at, due_at, state, delivered_at) VALUES "
                      u"(1, '138', 'a', 1, 0, 'send', 0, 0, 'delivered', 0)"_s;
        QVERIFY(makeDatabase(storePath(), statements));

        std::unique_ptr<LocalGateway> gateway = open();
        QVERIFY(gateway);
        StoreProbe probe(storePath());
        QCOMPARE(probe.count(u"SELECT value FROM meta WHERE key = 'schema_version'"_s), 8);
        QCOMPARE(probe.waitingMismatches(), QStringList());
        QList<LocalGateway::AccountSummary> list;
        QVERIFY(LocalOperator(*gateway).accounts(list).isOk());
        QCOMPARE(list.value(0).waiting, 14);

        Variant total, current, messages;
        Bool16 outcome = 0;
        QVERIFY(
            gateway->ReceiveMessagesNet(Account, total, current, messages, u"5"_s, outcome).isOk());
        QCOMPARE(outcome, True16);
        QString text;
        QVERIFY(total.toText(text).isOk());
        QCOMPARE(text, u"7"_s);
        QVERIFY(gateway->ReceiveMessages(Account, total, current, messages, outcome).isOk());
        QVERIFY(total.toText(text).isOk());
        QCOMPARE(text, u"7"_s);
        QList<LocalGateway::HandsetMessage> received;
        QVERIFY(LocalOperator(*gateway).handsetMessages(u"138"_s, received).isOk());
        QCOMPARE(received.size(), 1);
        QCOMPARE(probe.waitingMismatches(), QStringList());
        // mt's lists of allowed values are chained, the header says so, and the store
        // is sound.
        QCOMPARE(probe.rows(u"PRAGMA user_version"_s), QStringList { u"1"_s });
        QCOMPARE(probe.count(u"SELECT count(*) FROM sqlite_master WHERE name = 'mt' "
                             u"AND sql LIKE '%origin = ''send'' OR origin = ''forward''%' "
                             u"AND sql LIKE '%state = ''scheduled'' OR state = ''delivered''%'"_s),
                 1);
        QCOMPARE(probe.rows(u"PRAGMA integrity_check"_s), QStringList { u"ok"_s });
        QCOMPARE(probe.count(WaitingOnlyIndexes), 2);

        // Opened again, a store of this version is left as it is.
        gateway.reset();
        const QByteArray migrated = readAll(storePath());
        QVERIFY(open());
        QCOMPARE(readAll(storePath()), migrated);
    }

    void messageChecks_data()
    {
        QTest::addColumn<bool>("upgraded");
        QTest::addColumn<QString>("origin");
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("accepted");
        for (const bool upgraded : { false, true }) {
            const char *store = upgraded ? "upgraded" : "new";
            QTest::addRow("%s: send, delivered", store)
                << upgraded << u"send"_s << u"delivered"_s << true;
            QTest::addRow("%s: forward, scheduled", store)
                << upgraded << u"forward"_s << u"scheduled"_s << true;
            QTest::addRow("%s: auto_reply, not_sent", store)
                << upgraded << u"auto_reply"_s << u"not_sent"_s << true;
            QTest::addRow("%s: unknown origin", store)
                << upgraded << u"sent"_s << u"delivered"_s << false;
            QTest::addRow("%s: send, queued for a link", store)
                << upgraded << u"send"_s << u"queued"_s << true;
            QTest::addRow("%s: api, cancelled", store)
                << upgraded << u"api"_s << u"cancelled"_s << true;
            QTest::addRow("%s: smpp, unknown", store)
                << upgraded << u"smpp"_s << u"unknown"_s << true;
            QTest::addRow("%s: unknown state", store)
                << upgraded << u"send"_s << u"sent"_s << false;
            QTest::addRow("%s: origin in another case", store)
                << upgraded << u"Send"_s << u"delivered"_s << false;
        }
    }

    // A new store and one made before mt's checks were chained refuse the same rows, and
    // both find waiting messages in indexes of waiting messages only; a new store is in
    // WAL mode from the start.
    void messageChecks()
    {
        QFETCH(bool, upgraded);
        QFETCH(QString, origin);
        QFETCH(QString, state);
        QFETCH(bool, accepted);
        if (!upgraded) {
            makeStore();
        } else {
            // As version 2 wrote mt, before its lists were chained.
            QVERIFY(QDir().mkpath(m_dir->filePath(u"quillet-gateway"_s)));
            QVERIFY(makeDatabase(
                storePath(),
                SqliteEngine::schemaOfVersion(2)
                    << u"INSERT INTO meta VALUES ('schema_version', '2')"_s
                    << u"INSERT INTO accounts (id, number, password_hash, province, city, trade, "
                       u"company, contact_name, telephone, mobile, email, fax, address, "
                       u"postcode, service_number, signed_on, created_at) VALUES (1, 'A', 'x', "
                       u"'', '', '', '', '', '', '', '', '', '', '', '106900000001', 1, 0)"_s));
            QVERIFY(open());
        }
        StoreProbe probe(storePath());
        QCOMPARE(probe.rows(u"PRAGMA journal_mode"_s), QStringList { u"wal"_s });
        QCOMPARE(probe.rows(u"PRAGMA user_version"_s), QStringList { u"1"_s });
        QCOMPARE(probe.count(WaitingOnlyIndexes), 2);
        const qint64 before = probe.count(u"SELECT count(*) FROM mt"_s);
        QCOMPARE(probe.exec(u"INSERT INTO mt (account_id, phone, text, segments, cost, origin, "
                            u"submitted_at, due_at, state) VALUES (1, '138', 't', 1, 0, '%1', 0, "
                            u"0, '%2')"_s.arg(origin, state)),
                 accepted);
        QCOMPARE(probe.count(u"SELECT count(*) FROM mt"_s), before + (accepted ? 1 : 0));
    }

    // A store too large to check whole when it opens: a damaged page of the accounts is
    // found there; one of the messages fails the call that reads it. Either report names
    // the damage and the file, and the file's bytes stay exactly as they were.
    void largeStoreDamage_data()
    {
        QTest::addColumn<QString>("btree");
        QTest::addColumn<bool>("opens");
        QTest::newRow("accounts") << u"accounts"_s << false;
        QTest::newRow("delivered messages' index") << u"mt_delivered_to"_s << true;
    }

    void largeStoreDamage()
    {
        QFETCH(QString, btree);
        QFETCH(bool, opens);
        makeStore();
        qint64 page = 0;
        qint64 pageSize = 0;
        {
            StoreProbe probe(storePath());
            QVERIFY(probe.exec(u"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                               u"WHERE i < 30000) INSERT INTO mt (account_id, phone, text, "
                               u"segments, cost, origin, submitted_at, due_at, state, "
                               u"delivered_at) SELECT 1, '139' || i, hex(randomblob(300)), 1, 0, "
                               u"'send', i, i, 'delivered', i FROM n"_s));
            pageSize = probe.count(u"PRAGMA page_size"_s);
            QVERIFY(probe.count(u"PRAGMA page_count"_s) * pageSize > 32'000'000);
            page = probe.count(u"SELECT rootpage FROM sqlite_master WHERE name = '"_s + btree
                               + u"'"_s);
        }
        QByteArray bytes = readAll(storePath());
        QVERIFY(page > 1 && page * pageSize <= bytes.size());
        bytes.replace((page - 1) * pageSize, pageSize, QByteArray(pageSize, '\x5a'));
        QVERIFY(writeAll(storePath(), bytes));

        Status status;
        std::unique_ptr<LocalGateway> gateway = open(&status);
        QCOMPARE(bool(gateway), opens);
        if (gateway) {
            QList<LocalGateway::HandsetMessage> messages;
            status = LocalOperator(*gateway).handsetMessages(u"13800138000"_s, messages);
        }
        QVERIFY(status.failed());
        QVERIFY2(status.description().contains(storePath()), qPrintable(status.description()));
        QVERIFY2(status.description().contains(u"损坏"_s), qPrintable(status.description()));
        gateway.reset();
        QCOMPARE(readAll(storePath()), bytes);
    }

    // A receive commits without waiting for the disk, and leaves the connection's own
    // level as it found it, whether the receive commits or rolls back, so that the next
    // send or recharge waits for the disk again.
    void receiveKeepsTheFlushLevel_data()
    {
        QTest::addColumn<QString>("level");
        QTest::addColumn<bool>("signedOn");
        QTest::addColumn<QString>("after");
        QTest::newRow("full, fetched") << u"FULL"_s << true << u"2"_s;
        QTest::newRow("full, rolled back") << u"FULL"_s << false << u"2"_s;
        QTest::newRow("extra") << u"EXTRA"_s << true << u"3"_s;
        QTest::newRow("off stays off") << u"OFF"_s << true << u"0"_s;
    }

    void receiveKeepsTheFlushLevel()
    {
        QFETCH(QString, level);
        QFETCH(bool, signedOn);
        QFETCH(QString, after);
        std::unique_ptr<LocalGateway> gateway = open();
        QVERIFY(gateway);
        QCOMPARE(registerAccount(*gateway, u"pw"_s), True16);
        LocalGateway::MoReport report;
        QVERIFY(LocalOperator(*gateway)
                    .receiveFromHandset(u"13900139000"_s, Account, {}, u"hi"_s, report)
                    .isOk());
        Bool16 outcome = 0;
        if (!signedOn)
            QVERIFY(gateway->Deregister(Account, outcome).isOk() && outcome == True16);

        const QStringList names
            = QSqlDatabase::connectionNames().filter(u"quillet-local-gateway-"_s);
        QCOMPARE(names.size(), 1);
        QSqlQuery pragma(QSqlDatabase::database(names.first(), false));
        QVERIFY(pragma.exec(u"PRAGMA synchronous = "_s + level));
        // Twice: the second call runs the statements the first one kept.
        for (int call = 0; call < 2; ++call) {
            Variant total, current, messages;
            QVERIFY(gateway->ReceiveMessages(Account, total, current, messages, outcome).isOk());
            QCOMPARE(outcome, signedOn ? True16 : False16);
            QVERIFY(pragma.exec(u"PRAGMA synchronous"_s) && pragma.next());
            QCOMPARE(pragma.value(0).toString(), after);
            pragma.finish();
        }
        QCOMPARE(
            StoreProbe(storePath()).count(u"SELECT count(*) FROM mo WHERE state = 'waiting'"_s),
            signedOn ? 0 : 1);
    }

    void reopensWhatItMade()
    {
        makeStore();
        Status status;
        std::unique_ptr<LocalGateway> gateway = open(&status);
        QVERIFY2(gateway, qPrintable(status.description()));
        QCOMPARE(StoreProbe(storePath()).quickCheck(), u"ok"_s);
    }
};

QTEST_GUILESS_MAIN(TestStoreFiles)
#include "tst_storefiles.moc"
