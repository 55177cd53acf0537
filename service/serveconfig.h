#pragma once

// What a serving quillet-gatewayd takes from its command line and its config file, read
// into one typed value before anything is started:
//
//   config file ── unknownSetting: every key is a row of the table, every section a link
//   command line (ServiceCommand::Serve: texts by key) ─┐
//   config file ────────────────────────────────────────┴─ readServeConfig ── ServeConfig
//                                                           └─ a usage error naming the key
//   SIGHUP ── the same file read the same way again ── ServeConfig ── what changed:
//             settings taken again on reload are applied, the others wait for a restart
//
// Each setting is one row of one table (serveconfig.cpp): its key, its command-line
// option if any, whether a reload takes it, and how its text is read. A value the
// command line gives wins over the file's; a setting given by neither keeps its default
// here. Reading touches no file but the config file itself and the links' password
// files (see readLinkConfig); the TLS files are loaded by whoever starts or reloads.

#include "service/gatewayservice.h"
#include "service/link/linksettings.h"
#include "service/servicelog.h"
#include "service/smppserversettings.h"

#include <QHash>
#include <QHostAddress>
#include <QSettings>
#include <QString>
#include <QTemporaryFile>

#include <memory>
#include <optional>

// The config file as it is now, read once into a copy of its own: every look at it (its
// keys, its values, the links' sections in their order) sees the same text. QSettings
// keeps the files it read and tells a changed one by its size and time only, which a file
// rewritten within the same tick of the clock keeps: a reload must never be given the
// text before.
class ConfigFile {
public:
    // A file that is not there reads as an empty one.
    explicit ConfigFile(const QString &path);
    // False when the file is there and cannot be read.
    bool readable() const { return m_readable; }
    const QSettings &settings() const { return *m_settings; }

private:
    QTemporaryFile m_copy;
    bool m_readable = false;
    std::unique_ptr<QSettings> m_settings;
};

struct ServeConfig {
    // Fixed for the life of the process: a change waits for the next start.
    QHostAddress listen { QHostAddress::LocalHost };
    quint16 port = 8440;
    // The scrapers' port: none unless one is given.
    std::optional<quint16> metricsPort;
    QHostAddress metricsListen { QHostAddress::LocalHost };
    // The store as given or in the file, for what a reload compares: every command opens
    // it as main.cpp reads it.
    QString store;
    // The service's workers, its hashing slots, its batches and the cost of a hash are
    // read from here; its limits below are taken again on reload. (The store, the TLS
    // configuration and the links' functions are filled in by whoever starts it.)
    GatewayService::Options service;

    // Taken again on reload.
    // The certificate chain and the private key; both empty: plain HTTP.
    QString tlsCertificate;
    QString tlsKey;
    ServiceLog::Target requestLog;
    int summaryIntervalS = 60;

    // Fixed at start: where applications' callbacks may go (hosts the safety rules would
    // refuse, listed), the CAs their certificates are checked against (none: the
    // system's), how many requests one URL may have in flight, and the key that seals
    // their secrets (none: callback.key in the service's state folder).
    QStringList callbackAllowHosts;
    QString callbackCaFile;
    int callbackPerUrl = 8;
    QString callbackKeyFile;
    // Test settings: how long an answer may take (a deployment keeps 10 s), and the
    // first wait before a failed event is tried again (1 s).
    int callbackTimeoutMs = 10'000;
    int callbackRetryMs = 1'000;
    LinkConfig links;
    // Fixed at start: the SMPP server for accounts' applications, if the file has its
    // section.
    std::optional<SmppServerSettings> smppServer;
    // What the links were read from: their sections' keys and values in order, and
    // their passwords. The links are started again when it changes.
    QByteArray linksRead;

    // The text each setting fixed at start was taken from (given on the command line, in
    // the file, or empty for its default), by key: what a reload compares.
    QHash<QString, QString> fixedTexts;

    // The keys of the settings fixed at start whose text differs in `next`.
    QStringList fixedChangedIn(const ServeConfig &next) const;
};

// The config or why it cannot be used: the text of a usage error.
struct ServeConfigRead {
    std::optional<ServeConfig> config;
    QString error;
};

// The first key or section of `file` that no setting has, as a usage error; empty when
// there is none. `fileName` as the person named it.
QString unknownSetting(const QSettings &file, const QString &fileName);

// Reads `given` (the command line's texts by key) over `file`. Does not look for unknown
// keys (unknownSetting does, for every command).
ServeConfigRead readServeConfig(const QHash<QString, QString> &given, const QSettings &file);

// For the command line: whether `text` is a value of the setting behind `option` (without
// its dashes); the usage error when it is not, empty when it is or no setting has the
// option.
QString checkOption(const QString &option, const QString &text);
// The key the option stands for; empty for an option that is no setting.
QString keyOfOption(const QString &option);
