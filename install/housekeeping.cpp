#include "install/housekeeping.h"

#include "install/directories.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace {
const QString kTrashPrefix = QStringLiteral(".trash-");
const QString kStagingPrefix = QStringLiteral(".staging-");
} // namespace

QStringList prunableClientFolders(const QString &productPath, const QStringList &keptVersions)
{
    QStringList prunable;
    const QFileInfoList folders =
        QDir(productPath)
            .entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    for (const QFileInfo &folder : folders) {
        const QString name = folder.fileName();
        if (keptVersions.contains(name))
            continue;
        if (name.startsWith(QLatin1Char('.')) && !name.startsWith(kTrashPrefix) &&
            !name.startsWith(kStagingPrefix))
            continue;
        prunable.append(folder.absoluteFilePath());
    }
    return prunable;
}

QStringList obsoleteInstallRecords(const QString &productPath, const QStringList &keptVersions)
{
    QStringList obsolete;
    const QString suffix = QStringLiteral(".record");
    const QDir product(productPath);
    for (const QFileInfo &file :
         product.entryInfoList({QStringLiteral("*") + suffix}, QDir::Files, QDir::Name)) {
        if (!keptVersions.contains(file.fileName().chopped(suffix.size())))
            obsolete.append(file.absoluteFilePath());
    }
    // A record whose writing was cut short (a crash, a power cut) before it
    // replaced the old one: no record is being written while a pass prunes.
    for (const QFileInfo &file : product.entryInfoList({QStringLiteral("*.record.*.tmp")},
                                                       QDir::Files | QDir::Hidden, QDir::Name))
        obsolete.append(file.absoluteFilePath());
    return obsolete;
}

QStringList obsoleteDownloads(const QString &downloadsRoot, const QString &productId,
                              const QStringList &keptVersions, const ReleaseVersion &gatewayBuild)
{
    QStringList obsolete;
    const QString prefix = productId + QLatin1Char('_');
    const QFileInfoList packages = QDir(QDir(downloadsRoot).absoluteFilePath(productId))
                                       .entryInfoList(QDir::Files, QDir::Name);
    for (const QFileInfo &file : packages) {
        const QString name = file.fileName();
        if (!name.startsWith(prefix))
            continue;
        const bool kept = name.endsWith(QLatin1String(".zip")) &&
                          keptVersions.contains(name.mid(prefix.size()).chopped(4));
        if (!kept)
            obsolete.append(file.absoluteFilePath());
    }

    static const QRegularExpression installerName(
        QStringLiteral("^IvraGateway_.+_([^_]+)_Setup\\.exe(\\.part(\\.resume)?)?$"));
    const QFileInfoList installers =
        QDir(QDir(downloadsRoot).absoluteFilePath(QStringLiteral("gateway")))
            .entryInfoList(QDir::Files, QDir::Name);
    for (const QFileInfo &file : installers) {
        const QRegularExpressionMatch match = installerName.match(file.fileName());
        if (!match.hasMatch())
            continue;
        // An installer newer than this build may still be wanted; older ones have done their work.
        const ReleaseVersion version = parseReleaseVersion(match.captured(1));
        if (isValid(version) && isAtLeast(gatewayBuild, version))
            obsolete.append(file.absoluteFilePath());
    }
    return obsolete;
}

bool discardDirectory(const QString &path, QString *error)
{
    const QFileInfo info(path);
    if (!info.isDir())
        return true;
    if (info.fileName().startsWith(kTrashPrefix))
        return removeDirectoryIfPresent(path, error);
    const QString trash = QStringLiteral("%1%2-%3")
                              .arg(kTrashPrefix, info.fileName())
                              .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    if (!QDir(info.absolutePath()).rename(info.fileName(), trash)) {
        if (error)
            *error = QStringLiteral("Unable to remove directory: %1.").arg(path);
        return false;
    }
    return removeDirectoryIfPresent(QDir(info.absolutePath()).absoluteFilePath(trash), error);
}
