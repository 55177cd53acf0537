#pragma once

#include "gateway/gatewayclient.h"

#include <QLoggingCategory>
#include <QStringList>

#include <memory>

// Finds the gateway component that declares a class identifier and makes a
// GatewayClient from it.
//
//   create(classId) ──> locate(classId) ──> the file the user's setting names, if any
//                   │                   └─> else the first declaring file in search order
//                   └─> createFrom(file) ──> QPluginLoader ──> GatewayComponent::create
//
// Search order: the folders `quillet-gateways/` under each of
// QCoreApplication::libraryPaths() (so Qt's plugin path variable comes first), then
// under the application's own plugin folder; within a folder, file names in ascending
// order of their UTF-16 code units. Each plugin's metadata is read without loading it.
// When several files declare the class identifier and the GatewayClient interface, the
// first wins: that is how a test or a user puts a component in front of an installed
// one. The ones passed over are named in the category quillet.gateway.loader
// (QT_LOGGING_RULES="quillet.gateway.loader.debug=true") and in the error text when the
// chosen one fails.
//
// The setting: `quillet/components.conf` in the user's config folder (or a system one,
// QStandardPaths::GenericConfigLocation), an INI file of
//   {class identifier}=component file
// A file name is looked up in the search folders, an absolute path is taken as it is.
// Without an entry for the class identifier, the search order decides.
class GatewayLoader {
public:
    // The default search folders and the user's setting.
    GatewayLoader();
    // These folders, and the setting in settingsFile (none when empty).
    explicit GatewayLoader(QStringList folders, QString settingsFile = QString());

    static QStringList defaultFolders();
    // The setting file in force, or the empty text when there is none.
    static QString defaultSettingsFile();
    // Where a user puts the setting: quillet/components.conf in the user's config folder.
    static QString userSettingsFile();

    const QStringList &folders() const { return m_folders; }
    const QString &settingsFile() const { return m_settingsFile; }

    // The component file that serves classId, or a failure saying why there is none.
    // passedOver, when given, receives the other files that declare it, in search order.
    Status locate(const QString &classId, QString &file, QStringList *passedOver = nullptr) const;
    // A fresh client from the component in file, which must declare the GatewayClient
    // interface and, unless classId is empty, that class identifier.
    static Status createFrom(const QString &file, const QString &classId,
                             std::unique_ptr<GatewayClient> &client);
    // locate, then createFrom.
    Status create(const QString &classId, std::unique_ptr<GatewayClient> &client) const;

private:
    struct Candidates {
        QStringList declaring; // in search order
        QStringList unreadable;
    };
    Candidates candidates(const QString &classId) const;
    Status configuredFile(const QString &classId, QString &file) const;

    QStringList m_folders;
    QString m_settingsFile;
};

Q_DECLARE_LOGGING_CATEGORY(lcGatewayLoader)
