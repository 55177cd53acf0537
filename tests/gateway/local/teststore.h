#pragma once

// A fresh, empty store for one test, on the engine this run of the test is for.
//
//   QUILLET_TEST_STORE unset ────────> an SQLite file in a temporary folder
//   QUILLET_TEST_STORE=postgresql ───> an empty database on the server named by the
//                                      PG* variables (the throwaway cluster that
//                                      pg_virtualenv starts around the run): one per
//                                      process, emptied for each TestStore
//
// The same test executables run once for each engine; only the URL differs.

#include "gateway/local/storelocation.h"

#include <QString>
#include <QTemporaryDir>

class TestStore {
public:
    TestStore();
    ~TestStore();
    TestStore(const TestStore &) = delete;
    TestStore &operator=(const TestStore &) = delete;

    // True when this run is for PostgreSQL.
    static bool onPostgresql();

    bool isValid() const { return m_valid; }
    // What LocalGateway::open and StoreProbe take.
    const QString &url() const { return m_url; }
    StoreLocation location() const;
    // A temporary folder of the test's own, for anything besides the store.
    QString filePath(const QString &name) const { return m_dir.filePath(name); }
    // The PostgreSQL database's name; empty for SQLite.
    const QString &database() const { return m_database; }

    // Runs one statement as the cluster's administrator, outside the store's database
    // (to create roles, or to stop connections).
    static bool administer(const QString &sql);
    // Runs one statement as the administrator in the store's database.
    bool administerStore(const QString &sql) const;

private:
    bool emptyStore() const;

    QTemporaryDir m_dir;
    QString m_url;
    QString m_database;
    bool m_valid = false;
};
