#include "storage/paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

QString dataRootPathIn(const QString &genericDataLocation)
{
    const QString base = genericDataLocation.isEmpty() ? QCoreApplication::applicationDirPath()
                                                       : genericDataLocation;
    return QDir(base).absoluteFilePath(QStringLiteral("Ivra Engine"));
}

QString dataRootPath()
{
    return dataRootPathIn(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
}

QString gatewayStatePath()
{
    return QDir(dataRootPath()).absoluteFilePath(QStringLiteral("gateway-state.json"));
}

QString downloadsPath()
{
    return QDir(dataRootPath()).absoluteFilePath(QStringLiteral("downloads"));
}

QString clientProductPath(const QString &productId)
{
    return QDir(dataRootPath()).absoluteFilePath(QStringLiteral("clients/%1").arg(productId));
}

QString clientVersionPath(const QString &productId, const QString &version)
{
    const QString trimmed = version.trimmed();
    if (trimmed.isEmpty())
        return QString();
    return QDir(clientProductPath(productId)).absoluteFilePath(trimmed);
}

QString clientStagingPath(const QString &productId, const QString &version)
{
    return QDir(clientProductPath(productId))
        .absoluteFilePath(QStringLiteral(".staging-%1").arg(version));
}

QString clientObjectCachePath(const QString &productId)
{
    return QDir(downloadsPath()).absoluteFilePath(QStringLiteral("%1/objects").arg(productId));
}

QString launcherRootPath()
{
    return QDir(dataRootPath()).absoluteFilePath(QStringLiteral("gateway"));
}
