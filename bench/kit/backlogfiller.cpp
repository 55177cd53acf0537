#include "bench/kit/backlogfiller.h"

#include <QAtomicInt>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariantList>

using namespace Qt::StringLiterals;

namespace {

// A counter from 1 to ?1, feeding one INSERT ... SELECT.
const QString Counter = u"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                        u"WHERE i < ?) "_s;

} // namespace

BacklogFiller::BacklogFiller(const QString &storePath)
{
    static QAtomicInt connections;
    m_connectionName = u"quillet-bench-filler-%1"_s.arg(connections.fetchAndAddRelaxed(1));
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, m_connectionName);
    db.setDatabaseName(storePath);
    db.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT=5000"_s);
    m_open = db.open();
    if (!m_open) {
        m_error = db.lastError().text();
        return;
    }
    QSqlQuery pragma(db);
    m_open = pragma.exec(u"PRAGMA synchronous = OFF"_s);
    if (!m_open)
        m_error = pragma.lastError().text();
}

BacklogFiller::~BacklogFiller()
{
    QSqlDatabase::database(m_connectionName, false).close();
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool BacklogFiller::addWaiting(const QString &accountNo, qint64 first, qint64 count,
                               const QString &extension, qint64 firstSentMs)
{
    return run(Counter
                   + u"INSERT INTO mo (account_id, sender, extension, text, sent_at, state) "
                     u"SELECT (SELECT id FROM accounts WHERE number = ?), "
                     u"'1390000' || printf('%04d', (? + i) % 10000), coalesce(?, ''), "
                     u"'回复 ' || (? + i), "
                     u"? + (? + i) * 1000, 'waiting' FROM n"_s,
               { count, accountNo, first, extension, first, firstSentMs, first });
}

bool BacklogFiller::addDelivered(const QString &accountNo, qint64 count, qint64 phones,
                                 qint64 firstMs)
{
    return run(Counter
                   + u"INSERT INTO mt (account_id, phone, text, segments, cost, origin, "
                     u"submitted_at, due_at, state, delivered_at) "
                     u"SELECT (SELECT id FROM accounts WHERE number = ?), "
                     u"'138' || printf('%08d', i % ?), '通知 ' || i, 1, 0, 'send', "
                     u"? + i, ? + i, 'delivered', ? + i FROM n"_s,
               { count, accountNo, phones, firstMs, firstMs, firstMs });
}

bool BacklogFiller::setGatewaySynchronous(const QString &mode)
{
    bool any = false;
    const QStringList names = QSqlDatabase::connectionNames();
    for (const QString &name : names) {
        if (!name.startsWith(u"quillet-local-gateway-"_s))
            continue;
        QSqlQuery pragma(QSqlDatabase::database(name, false));
        if (!pragma.exec(u"PRAGMA synchronous = "_s + mode))
            return false;
        any = true;
    }
    return any;
}

bool BacklogFiller::run(const QString &sql, const QVariantList &values)
{
    // The counter always yields its first row, so a count of zero adds nothing here.
    const qint64 count = values.value(0).toLongLong();
    if (count < 0) {
        m_error = u"a negative count of rows"_s;
        return false;
    }
    if (count == 0)
        return true;

    QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    if (!db.isOpen()) {
        m_error = u"the store is not open"_s;
        return false;
    }
    if (!db.transaction()) {
        m_error = db.lastError().text();
        return false;
    }
    QSqlQuery query(db);
    bool ok = query.prepare(sql);
    for (qsizetype i = 0; ok && i < values.size(); ++i)
        query.bindValue(int(i), values.at(i));
    ok = ok && query.exec();
    if (!ok) {
        m_error = query.lastError().text();
        query.finish();
        db.rollback();
        return false;
    }
    query.finish();
    if (!db.commit()) {
        m_error = db.lastError().text();
        return false;
    }
    return true;
}
