#include "install/launcherfolders.h"

#include "install/directories.h"
#include "install/housekeeping.h"
#include "platform/filesync.h"
#include "release/version.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>

#include <cstdio>

namespace {
const QString kCurrent = QStringLiteral("current");

QString randomSuffix()
{
    return QStringLiteral("%1").arg(QRandomGenerator::global()->generate(), 8, 16,
                                    QLatin1Char('0'));
}

// Version folders below root, by their names.
QStringList versionFolders(const QString &root)
{
    QStringList versions;
    for (const QString &name : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (isValid(parseReleaseVersion(name)) && !QFileInfo(QDir(root).filePath(name)).isSymLink())
            versions << name;
    }
    return versions;
}

} // namespace

QStringList launcherProgramNames()
{
    return {QStringLiteral("IvraLauncher"), QStringLiteral("ivra-update")};
}

bool isWholeLauncherFolder(const QString &folder)
{
    for (const QString &name : launcherProgramNames()) {
        const QFileInfo program(QDir(folder).filePath(name));
        if (!program.isFile() || !program.isExecutable() || program.size() == 0)
            return false;
    }
    return true;
}

QString perUserLauncherVersion(const QString &root, const QString &programDir)
{
    const QFileInfo folder(programDir);
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    if (canonicalRoot.isEmpty() ||
        QFileInfo(folder.canonicalFilePath()).absolutePath() != canonicalRoot)
        return QString();
    const QString version = QFileInfo(folder.canonicalFilePath()).fileName();
    return isValid(parseReleaseVersion(version)) ? version : QString();
}

QString currentLauncherVersion(const QString &root)
{
    const QFileInfo link(QDir(root).filePath(kCurrent));
    if (!link.isSymLink())
        return QString();
    const QString version = QFileInfo(link.symLinkTarget()).fileName();
    if (!isValid(parseReleaseVersion(version)) ||
        !isWholeLauncherFolder(QDir(root).filePath(version)))
        return QString();
    return version;
}

QString previousLauncherVersion(const QString &root, const QString &current,
                                const QStringList &failed)
{
    QString best;
    for (const QString &version : versionFolders(root)) {
        if (version == current || failed.contains(version) ||
            !isWholeLauncherFolder(QDir(root).filePath(version)))
            continue;
        if (best.isEmpty() ||
            compareReleaseVersions(parseReleaseVersion(version), parseReleaseVersion(best)) > 0)
            best = version;
    }
    return best;
}

QString switchCurrentLauncher(const QString &root, const QString &version)
{
    const QDir dir(root);
    if (!isWholeLauncherFolder(dir.filePath(version)))
        return QStringLiteral("Launcher %1 is not installed whole in %2.").arg(version, root);
    // Relative, so that the data folder may move with its links intact.
    const QString fresh = QStringLiteral("current.new-%1").arg(randomSuffix());
    if (!QFile::link(version, dir.filePath(fresh)))
        return QStringLiteral("Unable to create the link %1.").arg(dir.filePath(fresh));
    // QFile::rename refuses to replace; this replaces the old link at once.
    if (!renameOver(dir.filePath(fresh), dir.filePath(kCurrent))) {
        QFile::remove(dir.filePath(fresh));
        return QStringLiteral("Unable to switch %1 to %2.").arg(dir.filePath(kCurrent), version);
    }
    syncFolder(root);
    return QString();
}

QString promoteLauncherFolder(const QString &root, const QString &staging, const QString &version)
{
    if (!isWholeLauncherFolder(staging))
        return QStringLiteral("The launcher package does not hold %1.")
            .arg(launcherProgramNames().join(QStringLiteral(" and ")));
    // The files reach the disk before any name points at them.
    syncFileSystemOf(staging);
    QDir dir(root);
    const QString target = dir.filePath(version);
    if (QFileInfo(target).isDir()) {
        QString error;
        if (!discardDirectory(target, &error))
            return error;
    }
    if (!dir.rename(QFileInfo(staging).fileName(), version))
        return QStringLiteral("Unable to promote the launcher update: %1.").arg(target);
    syncFolder(root);
    return QString();
}

QString copyLauncherPrograms(const QString &programDir, const QString &staging)
{
    removeDirectoryIfPresent(staging);
    if (!QDir().mkpath(staging))
        return QStringLiteral("Unable to create %1.").arg(staging);
    for (const QString &name : launcherProgramNames()) {
        const QString source = QDir(programDir).filePath(name);
        const QString target = QDir(staging).filePath(name);
        if (!QFile::copy(source, target))
            return QStringLiteral("Unable to copy %1 to %2.").arg(source, target);
        QFile::setPermissions(target, QFile::permissions(source) | QFileDevice::ExeOwner);
    }
    return QString();
}

QStringList removeLauncherLeftovers(const QString &root)
{
    QStringList removed;
    const QDir dir(root);
    const QStringList names =
        dir.entryList({QStringLiteral(".staging-*"), QStringLiteral(".trash-*"),
                       QStringLiteral(".health-*"), QStringLiteral("current.new-*")},
                      QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString path = dir.filePath(name);
        const bool gone =
            QFileInfo(path).isSymLink() ? QFile::remove(path) : removeDirectoryIfPresent(path);
        if (gone)
            removed << path;
    }
    return removed;
}

QStringList pruneLauncherFolders(const QString &root, const QStringList &kept)
{
    QStringList removed;
    for (const QString &version : versionFolders(root)) {
        const QString folder = QDir(root).filePath(version);
        if (!kept.contains(version) && discardDirectory(folder))
            removed << folder;
    }
    return removed;
}

LauncherEntryPoints launcherEntryPointsIn(const QString &home, const QString &dataHome)
{
    LauncherEntryPoints where;
    where.commandPath = QDir(home).filePath(QStringLiteral(".local/bin/ivra-gateway"));
    where.desktopFilePath =
        QDir(dataHome).filePath(QStringLiteral("applications/ivra-gateway.desktop"));
    where.iconPath =
        QDir(dataHome).filePath(QStringLiteral("icons/hicolor/256x256/apps/ivra-gateway.png"));
    return where;
}

QString writeLauncherEntryPoints(const QString &root, const LauncherEntryPoints &where,
                                 const QByteArray &iconPng)
{
    // The command: a link through "current", replaced whole like "current" itself.
    QDir().mkpath(QFileInfo(where.commandPath).absolutePath());
    const QString command = QDir(root).filePath(QStringLiteral("current/IvraLauncher"));
    const QString fresh = where.commandPath + QStringLiteral(".new-") + randomSuffix();
    if (!QFile::link(command, fresh) || !renameOver(fresh, where.commandPath)) {
        QFile::remove(fresh);
        return QStringLiteral("Unable to create the command %1.").arg(where.commandPath);
    }
    const std::pair<QString, QByteArray> files[] = {
        {where.iconPath, iconPng},
        {where.desktopFilePath,
         QStringLiteral("[Desktop Entry]\n"
                        "Type=Application\n"
                        "Name=IVRA ENGINE 2.0 Beta\n"
                        "GenericName=Game Launcher\n"
                        "Comment=Keeps IVRA ENGINE 2.0 Beta up to date and launches it\n"
                        "Exec=\"%1\"\n"
                        "Icon=ivra-gateway\n"
                        "Terminal=false\n"
                        "Categories=Game;\n"
                        "StartupWMClass=IvraLauncher\n")
             .arg(where.commandPath)
             .toUtf8()},
    };
    for (const auto &[path, content] : files) {
        if (content.isEmpty())
            continue; // a program built without the icon
        QDir().mkpath(QFileInfo(path).absolutePath());
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() ||
            !file.commit())
            return QStringLiteral("Unable to write %1.").arg(path);
    }
    return QString();
}
