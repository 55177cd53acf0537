#pragma once

#include <QString>
#include <QStringList>

// Looks into a local gateway store from the side, through a connection of its own, to
// check what the component promises about it. It takes the store's URL (or its file),
// and speaks to an SQLite file or a PostgreSQL database alike.
class StoreProbe {
public:
    explicit StoreProbe(const QString &url);
    ~StoreProbe();
    StoreProbe(const StoreProbe &) = delete;
    StoreProbe &operator=(const StoreProbe &) = delete;

    bool isOpen() const { return m_open; }
    // The first line of PRAGMA quick_check ("ok" when sound).
    QString quickCheck() const;
    // Accounts whose balance differs from the sum of their ledger rows, as
    // "number: balance != sum" lines.
    QStringList ledgerMismatches() const;
    // Charges without their message, and charged messages without their charge.
    QStringList unmatchedCharges() const;
    // Waiting counters that differ from the waiting messages they count, as
    // "account[/extension]: counter != count" lines.
    QStringList waitingMismatches() const;
    // Every row of every table that a failed operation must leave alone.
    QStringList snapshot() const;
    qint64 count(const QString &sql) const;
    // An SQL expression for a time column's value from `ms`, an expression in
    // milliseconds since the epoch (PostgreSQL keeps times as timestamptz).
    QString timeFromMs(const QString &ms) const;
    // Runs a statement that changes the store (to build damaged or foreign stores).
    bool exec(const QString &sql) const;

    // Each row of `sql` as its fields joined by "|".
    QStringList rows(const QString &sql) const;

private:
    QString m_connection;
    bool m_open = false;
    bool m_postgresql = false;
};
