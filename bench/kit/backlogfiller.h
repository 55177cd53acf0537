#pragma once

// Fills a local gateway store with rows in bulk, for benchmarks and their tests:
//
//   BacklogFiller ── its own SQLite connection, synchronous=OFF ── one INSERT ... SELECT
//                    over a counter per call, in one transaction ──> mo / mt rows
//
// The rows are what the gateway itself would write (waiting MO messages from handsets,
// delivered MT messages to handsets) and are numbered, so a test can say which rows a
// listing must show. Only for stores that hold nothing of value: it writes behind the
// gateway's back.

#include <QString>

class BacklogFiller {
public:
    explicit BacklogFiller(const QString &storePath);
    ~BacklogFiller();
    BacklogFiller(const BacklogFiller &) = delete;
    BacklogFiller &operator=(const BacklogFiller &) = delete;

    bool isOpen() const { return m_open; }
    // What went wrong last, for the benchmark's report.
    const QString &error() const { return m_error; }

    // Messages first + 1 ... first + count from handsets, waiting for the account:
    // message i comes from 1390000 followed by i modulo 10000 in four digits, reads
    // "回复 i", carries `extension` and was sent at firstSentMs + i seconds.
    bool addWaiting(const QString &accountNo, qint64 first, qint64 count, const QString &extension,
                    qint64 firstSentMs);

    // `count` delivered messages from the account, message i going to phone 138 followed
    // by i modulo `phones` in eight digits, reading "通知 i", delivered at firstMs + i ms.
    bool addDelivered(const QString &accountNo, qint64 count, qint64 phones, qint64 firstMs);

    // Sets PRAGMA synchronous on every connection this process holds to a local gateway
    // store: "FULL" as the gateway keeps it, "OFF" to leave the disk out of a figure.
    static bool setGatewaySynchronous(const QString &mode);

private:
    // Runs one INSERT ... SELECT over the counter in a transaction; values[0] is the count.
    bool run(const QString &sql, const QVariantList &values);

    QString m_connectionName;
    bool m_open = false;
    QString m_error;
};
