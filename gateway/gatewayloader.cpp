#include "gateway/gatewayloader.h"

#include "gateway/gatewaytexts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QPluginLoader>
#include <QSettings>
#include <QStandardPaths>

#include <algorithm>

using namespace Qt::StringLiterals;

// Quiet unless asked for: QT_LOGGING_RULES="quillet.gateway.loader.debug=true".
Q_LOGGING_CATEGORY(lcGatewayLoader, "quillet.gateway.loader", QtInfoMsg)

namespace {

const QString GatewaysFolder = u"quillet-gateways"_s;
const QString SettingsName = u"quillet/components.conf"_s;

// Whether the metadata declares a gateway component with the GatewayClient interface
// and, unless classId is empty, that class identifier.
bool declares(const QJsonObject &metaData, const QString &classId)
{
    if (metaData.value(u"IID"_s).toString() != QLatin1StringView(QUILLET_GATEWAY_COMPONENT_IID))
        return false;
    const QJsonObject own = metaData.value(u"MetaData"_s).toObject();
    if (!classId.isEmpty()
        && own.value(u"ClassId"_s).toString().compare(classId, Qt::CaseInsensitive) != 0)
        return false;
    const QJsonArray interfaces = own.value(u"Interfaces"_s).toArray();
    const QString clientIid = QString::fromUtf16(GatewayIds::GatewayClientIid);
    return std::any_of(interfaces.begin(), interfaces.end(), [&](const QJsonValue &iid) {
        return iid.toString().compare(clientIid, Qt::CaseInsensitive) == 0;
    });
}

// The plugin files of a folder in a fixed order: ascending UTF-16 code units, whatever
// the file system or the locale says.
QStringList pluginFiles(const QString &folder)
{
    const QDir dir(folder);
    QStringList names = dir.entryList(QDir::Files | QDir::Readable, QDir::NoSort);
    std::sort(names.begin(), names.end(),
              [](const QString &a, const QString &b) { return a.compare(b) < 0; });
    QStringList paths;
    for (const QString &name : std::as_const(names)) {
        const QString path = dir.absoluteFilePath(name);
        if (QLibrary::isLibrary(path))
            paths.append(path);
    }
    return paths;
}

} // namespace

GatewayLoader::GatewayLoader()
    : GatewayLoader(defaultFolders(), defaultSettingsFile())
{
}

GatewayLoader::GatewayLoader(QStringList folders, QString settingsFile)
    : m_folders(std::move(folders))
    , m_settingsFile(std::move(settingsFile))
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

QString GatewayLoader::defaultSettingsFile()
{
    return QStandardPaths::locate(QStandardPaths::GenericConfigLocation, SettingsName);
}

QString GatewayLoader::userSettingsFile()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(SettingsName);
}

GatewayLoader::Candidates GatewayLoader::candidates(const QString &classId) const
{
    Candidates found;
    for (const QString &folder : m_folders) {
        const QStringList files = pluginFiles(folder);
        for (const QString &path : files) {
            const QJsonObject metaData = QPluginLoader(path).metaData();
            if (metaData.isEmpty())
                found.unreadable.append(path);
            else if (declares(metaData, classId))
                found.declaring.append(path);
        }
    }
    return found;
}

Status GatewayLoader::configuredFile(const QString &classId, QString &file) const
{
    if (m_settingsFile.isEmpty())
        return Status::ok();
    const QSettings settings(m_settingsFile, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return Status::failure(Status::ClassNotRegistered,
                               GatewayTexts::settingsUnreadable(m_settingsFile));
    const QStringList keys = settings.childKeys();
    const auto key = std::find_if(keys.begin(), keys.end(), [&](const QString &k) {
        return k.compare(classId, Qt::CaseInsensitive) == 0;
    });
    if (key == keys.end())
        return Status::ok();
    const QString named = settings.value(*key).toString().trimmed();
    if (QFileInfo(named).isAbsolute()) {
        if (QFileInfo::exists(named)) {
            file = named;
            return Status::ok();
        }
    } else if (!named.isEmpty() && !named.contains(u'/')) {
        for (const QString &folder : m_folders) {
            const QString path = QDir(folder).absoluteFilePath(named);
            if (QFileInfo::exists(path)) {
                file = path;
                return Status::ok();
            }
        }
    }
    return Status::failure(
        Status::ClassNotRegistered,
        GatewayTexts::settingNamesMissing(m_settingsFile, classId, named, m_folders));
}

Status GatewayLoader::locate(const QString &classId, QString &file, QStringList *passedOver) const
{
    QString configured;
    QUILLET_TRY(configuredFile(classId, configured));
    const Candidates found = candidates(classId);
    QString chosen = configured;
    if (chosen.isEmpty()) {
        if (found.declaring.isEmpty())
            return Status::failure(
                Status::ClassNotRegistered,
                GatewayTexts::notInstalled(classId, m_folders, found.unreadable));
        chosen = found.declaring.first();
    }
    QStringList others = found.declaring;
    others.removeAll(chosen);
    qCDebug(lcGatewayLoader).noquote()
        << "class" << classId << "->" << chosen
        << (configured.isEmpty() ? "(first in search order)" : "(named by the setting)")
        << "passed over:" << (others.isEmpty() ? u"none"_s : others.join(u", "_s));
    file = chosen;
    if (passedOver)
        *passedOver = others;
    return Status::ok();
}

Status GatewayLoader::createFrom(const QString &file, const QString &classId,
                                 std::unique_ptr<GatewayClient> &client)
{
    QPluginLoader loader(file);
    const QJsonObject metaData = loader.metaData();
    if (metaData.isEmpty())
        return Status::failure(Status::CreationFailed,
                               GatewayTexts::loadFailed(file, loader.errorString()));
    if (!declares(metaData, classId))
        return Status::failure(Status::ClassNotRegistered,
                               GatewayTexts::doesNotDeclare(file, classId));

    QObject *root = loader.instance();
    if (!root)
        return Status::failure(Status::CreationFailed,
                               GatewayTexts::loadFailed(file, loader.errorString()));
    auto *component = qobject_cast<GatewayComponent *>(root);
    if (!component)
        return Status::failure(Status::NoInterface, GatewayTexts::notAComponent(file));
    std::unique_ptr<GatewayClient> made;
    const Status status = component->create(made);
    if (status.failed())
        return Status::failure(status.code(),
                               GatewayTexts::creationFailed(file, status.description()));
    if (!made)
        return Status::failure(Status::CreationFailed,
                               GatewayTexts::creationFailed(file, GatewayTexts::noInstance()));
    client = std::move(made);
    return Status::ok();
}

Status GatewayLoader::create(const QString &classId, std::unique_ptr<GatewayClient> &client) const
{
    QString file;
    QStringList passedOver;
    QUILLET_TRY(locate(classId, file, &passedOver));
    Status status = createFrom(file, classId, client);
    if (status.failed() && !passedOver.isEmpty())
        return Status::failure(status.code(),
                               status.description() + GatewayTexts::passedOver(passedOver));
    return status;
}
