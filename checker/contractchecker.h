#pragma once

// The GatewayClient contract as checks, run in this process.
//
//   ContractChecker(plugin file, class id)
//     runGroup("load" | "operations" | "instances" | "hostile-<kind>")
//       makeClient ──> GatewayLoader::createFrom ──> GatewayClient
//       each call: Bool16 slot pre-filled with a sentinel, Variants null, then judge()
//       ──> CheckRow { name, passed, why } handed out as soon as it is known
//
// The checker tool runs each group in a child process of its own, so a crash or a hang
// of the component ends that group only.

#include "gateway/gatewayclient.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

struct CheckRow {
    QString name;
    bool passed = false;
    QString why;
};

class ContractChecker {
public:
    // What an outcome slot holds before the call: a value no component writes.
    static constexpr Bool16 Sentinel = 0x5A5A;

    ContractChecker(QString pluginFile, QString classId);

    // The groups, in the order the tool runs them; "load" first.
    static QStringList groups();
    // The hostile text of a hostile group ("hostile-empty", ...), by its kind.
    static QString hostileText(const QString &group);
    // The name of a group's single row, for a group that reports one row.
    static QString rowName(const QString &group);

    // Runs one group; every row goes to report as soon as it is known.
    void runGroup(const QString &group, const std::function<void(const CheckRow &)> &report);

    // A fresh account number of the form XXX-XXX-XXX-XXXXX from the system's random source.
    static QString scratchAccount();

private:
    Status makeClient(std::unique_ptr<GatewayClient> &client) const;
    void runLoad(const std::function<void(const CheckRow &)> &report);
    void runOperations(const std::function<void(const CheckRow &)> &report);
    void runInstances(const std::function<void(const CheckRow &)> &report);
    void runHostile(const QString &group, const std::function<void(const CheckRow &)> &report);

    QString m_pluginFile;
    QString m_classId;
};
