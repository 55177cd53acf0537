#include "gatewayloader.h"

#include "gatewaytexts.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QPluginLoader>

using namespace Qt::StringLiterals;

namespace {

const QString GatewaysFolder = u"quillet-gateways"_s;

bool declares(const QJsonObject &metaData, const QString &classId)
{
    if (metaData.value(u"IID"_s).toString() != QLatin1StringView(QUILLET_GATEWAY_COMPONENT_IID))
        return false;
    const QJsonObject own = metaData.value(u"MetaData"_s).toObject();
    if (own.value(u"ClassId"_s).toString().compare(classId, Qt::CaseInsensitive) != 0)
        return false;
    const QJsonArray interfaces = own.value(u"Interfaces"_s).toArray();
    const QString clientIid = QString::fromUtf16(GatewayIds::GatewayClientIid);
    return std::any_of(interfaces.begin(), interfaces.end(), [&](const QJsonValue &iid) {
        return iid.toString().compare(clientIid, Qt::CaseInsensitive) == 0;
    });
}

} // namespace

GatewayLoader::GatewayLoader()
    : GatewayLoader(defaultFolders())
{
}

GatewayLoader::GatewayLoader(QStringList folders)
    : m_folders(std::move(folders))
{
}

QStringList GatewayLoader::defaultFolders()
{
    QStringList roots = QCoreApplication::libraryPaths();
    roots.append(QDir(QCoreApplication::applicationDirPath())
                     .filePath(QStringLiteral(QUILLET_PLUGIN_RELDIR)));
    QStringList folders;
    for (const QString &root : std::as_const(roots)) {
        const QString folder = QDir::cleanPath(QDir(root).filePath(GatewaysFolder));
        if (!folders.contains(folder))
            folders.append(folder);
    }
    return folders;
}

Status GatewayLoader::create(const QString &classId, std::unique_ptr<GatewayClient> &client) const
{
    QStringList unreadable;
    for (const QString &folder : m_folders) {
        const QDir dir(folder);
        const QStringList files = dir.entryList(QDir::Files | QDir::Readable, QDir::Name);
        for (const QString &name : files) {
            const QString path = dir.absoluteFilePath(name);
            if (!QLibrary::isLibrary(path))
                continue;
            QPluginLoader loader(path);
            const QJsonObject metaData = loader.metaData();
            if (metaData.isEmpty()) {
                unreadable.append(path);
                continue;
            }
            if (!declares(metaData, classId))
                continue;

            QObject *root = loader.instance();
            if (!root)
                return Status::failure(Status::CreationFailed,
                                       GatewayTexts::loadFailed(path, loader.errorString()));
            auto *component = qobject_cast<GatewayComponent *>(root);
            if (!component)
                return Status::failure(Status::NoInterface, GatewayTexts::notAComponent(path));
            std::unique_ptr<GatewayClient> made;
            const Status status = component->create(made);
            if (status.failed())
                return Status::failure(status.code(),
                                       GatewayTexts::creationFailed(path, status.description()));
            if (!made)
                return Status::failure(
                    Status::CreationFailed,
                    GatewayTexts::creationFailed(path, GatewayTexts::noInstance()));
            client = std::move(made);
            return Status::ok();
        }
    }
    return Status::failure(Status::ClassNotRegistered,
                           GatewayTexts::notInstalled(classId, m_folders, unreadable));
}
