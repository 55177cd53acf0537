#pragma once

// Where the local gateway's store lives, named by one URL in the component's own
// settings.
//
//   QUILLET_GATEWAY_STORE (environment) ─┐
//   quillet-gateway/gateway.conf, `store` ┼─> parse() ─> StoreLocation ─> Store::open
//   neither of them ──────────────────────┘             (engine, file or server)
//   (the SQLite file under the user's data folder)
//
//   sqlite:PATH                              an SQLite file (a bare PATH means the same)
//   postgresql://USER@HOST:PORT/DB?sslmode=  a PostgreSQL database; every part optional,
//        &service=NAME&connect_timeout=S     `postgres://` the same
//
// A URL never carries a password: one that does is refused before anything connects.
// libpq reads passwords from its own password file (PGPASSFILE) or service file
// (PGSERVICEFILE), which is where they belong.

#include "gateway/status.h"

#include <QString>

struct StoreLocation {
    enum class Engine { Sqlite, Postgresql };

    static constexpr qint32 BadLocation = Status::InvalidArgument;
    static inline const QString EnvironmentVariable = QStringLiteral("QUILLET_GATEWAY_STORE");
    // Under QStandardPaths::GenericConfigLocation.
    static inline const QString SettingsFile = QStringLiteral("quillet-gateway/gateway.conf");
    static inline const QString SettingsKey = QStringLiteral("store");
    // Seconds libpq waits for a server when the URL names none.
    static constexpr int DefaultConnectTimeout = 10;

    Engine engine = Engine::Sqlite;
    QString path; // SQLite: the file
    // PostgreSQL: empty parts (and port 0) are left to libpq's defaults and the service.
    QString user;
    QString host;
    int port = 0;
    QString database;
    QString sslmode;
    QString service;
    int connectTimeout = DefaultConnectTimeout;

    // A URL or a bare file path. A failure Status says what is wrong with it and never
    // repeats a password.
    static Status parse(const QString &url, StoreLocation &location);
    // The environment variable, else the settings file, else the default SQLite file.
    static Status configured(StoreLocation &location);

    // Whether the store is a file, at `path` (or else a database on a server).
    bool isFile() const { return engine == Engine::Sqlite; }
    // How reports name this store: the file, or the server and database (nothing secret).
    QString describe() const;
    // libpq keywords beyond host, port, user and database, as QtSql's driver takes them.
    QString connectOptions() const;
};
