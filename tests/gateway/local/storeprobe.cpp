#include "tests/gateway/local/storeprobe.h"

#include "gateway/local/storelocation.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

using namespace Qt::StringLiterals;

namespace {
int connections = 0;
}

StoreProbe::StoreProbe(const QString &url)
    : m_connection(u"store-probe-%1"_s.arg(++connections))
{
    StoreLocation location;
    if (StoreLocation::parse(url, location).failed())
        return;
    m_postgresql = location.engine == StoreLocation::Engine::Postgresql;
    if (m_postgresql) {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, m_connection);
        db.setHostName(location.host);
        if (location.port != 0)
            db.setPort(location.port);
        db.setUserName(location.user);
        db.setDatabaseName(location.database);
        db.setConnectOptions(location.connectOptions());
        m_open = db.open();
        if (m_open)
            exec(u"SET search_path = quillet"_s);
        return;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, m_connection);
    db.setDatabaseName(location.path);
    db.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT=5000"_s);
    m_open = db.open();
}

StoreProbe::~StoreProbe()
{
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
}

QStringList StoreProbe::rows(const QString &sql) const
{
    QStringList result;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (!q.exec(sql))
        return { u"error: "_s + sql + q.lastError().text() };
    while (q.next()) {
        QStringList fields;
        for (int i = 0; i < q.record().count(); ++i)
            fields.append(q.value(i).isNull() ? u"NULL"_s : q.value(i).toString());
        result.append(fields.join(u'|'));
    }
    return result;
}

QString StoreProbe::quickCheck() const
{
    // PostgreSQL checks its pages itself; a query that runs is what can be asked here.
    if (m_postgresql)
        return rows(u"SELECT 'ok'"_s).value(0);
    const QStringList result = rows(u"PRAGMA quick_check"_s);
    return result.value(0);
}

QStringList StoreProbe::ledgerMismatches() const
{
    return rows(u"SELECT a.number || ': ' || a.balance || ' != ' || COALESCE(SUM(l.amount), 0) "
                u"FROM accounts a LEFT JOIN ledger l ON l.account_id = a.id "
                u"GROUP BY a.id HAVING a.balance <> COALESCE(SUM(l.amount), 0)"_s);
}

// Set differences rather than a look-up per row: a store after a long run has thousands
// of messages, and a correlated look-up on a computed reference compares every pair.
QStringList StoreProbe::unmatchedCharges() const
{
    return rows(u"SELECT 'charge without message: ' || l.id FROM ledger l "
                u"WHERE l.reason = 'send' AND (l.reference, -l.amount, l.account_id) NOT IN "
                u"(SELECT 'mt:' || m.id, m.cost, m.account_id FROM mt m) "
                u"UNION ALL SELECT 'message without charge: ' || m.id FROM mt m "
                u"WHERE m.cost > 0 AND 'mt:' || m.id NOT IN "
                u"(SELECT l.reference FROM ledger l WHERE l.reference IS NOT NULL)"_s);
}

QStringList StoreProbe::waitingMismatches() const
{
    return rows(u"SELECT a.number || ': ' || a.waiting || ' != ' || "
                u"(SELECT count(*) FROM mo WHERE mo.account_id = a.id AND mo.state = 'waiting') "
                u"FROM accounts a WHERE a.waiting <> (SELECT count(*) FROM mo "
                u"WHERE mo.account_id = a.id AND mo.state = 'waiting') "
                u"UNION ALL SELECT a.number || '/' || e.extension || ': ' "
                u"|| COALESCE(w.waiting, 0) || ' != ' || e.n FROM (SELECT account_id, extension, "
                u"sum(CASE WHEN state = 'waiting' THEN 1 ELSE 0 END) AS n FROM mo GROUP BY "
                u"account_id, extension) e "
                u"JOIN accounts a ON a.id = e.account_id LEFT JOIN waiting_counts w "
                u"ON w.account_id = e.account_id AND w.extension = e.extension "
                u"WHERE COALESCE(w.waiting, 0) <> e.n"_s);
}

QStringList StoreProbe::snapshot() const
{
    QStringList all;
    for (const QString &table : { u"meta"_s, u"accounts"_s, u"ledger"_s, u"cards"_s, u"mt"_s,
                                  u"mo"_s, u"waiting_counts"_s }) {
        const QStringList tableRows = rows(u"SELECT * FROM "_s + table + u" ORDER BY 1"_s);
        for (const QString &row : tableRows)
            all.append(table + u": "_s + row);
    }
    return all;
}

qint64 StoreProbe::count(const QString &sql) const
{
    return rows(sql).value(0).toLongLong();
}

QString StoreProbe::timeFromMs(const QString &ms) const
{
    if (m_postgresql)
        return u"(TIMESTAMPTZ 'epoch' + ("_s + ms + u") * INTERVAL '1 millisecond')"_s;
    return ms;
}

bool StoreProbe::exec(const QString &sql) const
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    return q.exec(sql);
}
