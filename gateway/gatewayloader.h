#pragma once

#include "gatewayclient.h"

#include <QStringList>

#include <memory>

// Finds the gateway component that declares a class identifier and makes a
// GatewayClient from it.
//
// The search folders are, in order, `quillet-gateways/` under each of
// QCoreApplication::libraryPaths() (so Qt's plugin path variable comes first) and
// then under the application's own plugin folder. Each plugin's metadata is read
// without loading it; the first one that declares the class identifier and the
// GatewayClient interface is loaded and asked for a fresh instance.
class GatewayLoader {
public:
    GatewayLoader();
    explicit GatewayLoader(QStringList folders);

    static QStringList defaultFolders();
    const QStringList &folders() const { return m_folders; }

    Status create(const QString &classId, std::unique_ptr<GatewayClient> &client) const;

private:
    QStringList m_folders;
};
