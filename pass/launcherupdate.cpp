#include "pass/launcherupdate.h"

#include "base/buildidentity.h"
#include "base/logging.h"
#include "base/processstart.h"
#include "install/directories.h"
#include "install/housekeeping.h"
#include "install/launcherfolders.h"
#include "install/zipextract.h"
#include "net/downloadjob.h"
#include "platform/processes.h"
#include "release/version.h"
#include "storage/gatewaystate.h"
#include "storage/paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

namespace {
constexpr int kPollIntervalMs = 100;
constexpr int kStartsBeforeRollback = 3;

void recordFailedLauncher(const QString &version)
{
    LauncherUpdateState launcher = loadGatewayState(gatewayStatePath()).state.launcher;
    if (!launcher.failedVersions.contains(version))
        launcher.failedVersions << version;
    QString error;
    if (!saveLauncherUpdateState(gatewayStatePath(), launcher, &error))
        logWarning(
            QStringLiteral("Unable to record the failed launcher %1: %2").arg(version, error));
}

} // namespace

LauncherUpdate::LauncherUpdate(QNetworkAccessManager *network, const GatewayRelease &release,
                               const QString &platform, Mode mode, QObject *parent)
    : QObject(parent), network(network), release(release),
      package(release.packages.value(platform)), platform(platform), mode(mode),
      root(launcherRootPath()), versionFolder(QDir(root).filePath(release.latestVersion)),
      poll(new QTimer(this))
{
    poll->setInterval(kPollIntervalMs);
}

LauncherUpdate::~LauncherUpdate()
{
    delete download.data();
    staging.waitForFinished();
    if (child) {
        child->disconnect(this);
        child->kill();
        child->waitForFinished(1000);
    }
}

void LauncherUpdate::start()
{
    for (const QString &leftover : removeLauncherLeftovers(root))
        logInfo(
            QStringLiteral("Removed a leftover of an earlier launcher update: %1").arg(leftover));
    const QUrl url = QUrl::fromUserInput(package.url);
    if (!isUsableUrl(url)) {
        Q_EMIT failed(QStringLiteral("Gateway update package URL is invalid."), false);
        return;
    }
    packagePath = QDir(downloadsPath())
                      .absoluteFilePath(QStringLiteral("gateway/IvraGateway_%1_%2_%3.zip")
                                            .arg(release.edition, release.latestVersion, platform));
    Q_EMIT statusChanged(QStringLiteral("Updating IVRA ENGINE 2.0 Beta..."));
    download = new DownloadJob(network, url, packagePath, RequestPurpose::LauncherPackage,
                               package.sizeBytes, this);
    connect(download, &DownloadJob::progress, this, [this](qint64 received, qint64 total) {
        Q_EMIT transferred(received, total);
        Q_EMIT progressChanged(percentOf(received, total));
    });
    connect(download, &DownloadJob::finished, this, &LauncherUpdate::onDownloaded);
    download->setExpectedSha256(package.sha256);
    download->start();
}

void LauncherUpdate::onDownloaded(const DownloadResult &result)
{
    download->deleteLater();
    download = nullptr;
    if (!result.ok()) {
        Q_EMIT failed(result.message, true);
        return;
    }
    const qint64 size = QFileInfo(result.targetPath).size();
    if (package.sizeBytes > 0 && size != package.sizeBytes) {
        QFile::remove(result.targetPath);
        Q_EMIT failed(QStringLiteral("Downloaded launcher package size mismatch. Expected %1 "
                                     "bytes, received %2 bytes.")
                          .arg(package.sizeBytes)
                          .arg(size),
                      true);
        return;
    }
    const QString error =
        checkDownloadedDigest(result, package.sha256, QStringLiteral("Gateway package"));
    if (!error.isEmpty()) {
        Q_EMIT failed(error, true);
        return;
    }
    logInfo(QStringLiteral("Launcher update %1: downloaded %2 (%3)")
                .arg(release.latestVersion, packagePath, countOf(size, "byte", "bytes")));
    Q_EMIT statusChanged(QStringLiteral("Installing the IVRA ENGINE 2.0 Beta update..."));
    Q_EMIT progressChanged(-1);
    auto *watcher = new QFutureWatcher<QString>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher]() {
        watcher->deleteLater();
        onStaged(watcher->result());
    });
    // The client's extraction rules; the folder is promoted whole or not at all.
    staging =
        QtConcurrent::run([root = root, version = release.latestVersion, package = packagePath]() {
            const QString folder = QDir(root).filePath(QStringLiteral(".staging-%1").arg(version));
            QString error;
            if (!removeDirectoryIfPresent(folder, &error) || !QDir().mkpath(folder) ||
                !extractZipPayload(package, folder, &error)) {
                removeDirectoryIfPresent(folder);
                return error.isEmpty() ? QStringLiteral("Unable to create %1.").arg(folder) : error;
            }
            error = promoteLauncherFolder(root, folder, version);
            if (!error.isEmpty())
                removeDirectoryIfPresent(folder);
            return error;
        });
    watcher->setFuture(staging);
}

void LauncherUpdate::onStaged(const QString &error)
{
    if (!error.isEmpty()) {
        logWarning(
            QStringLiteral("Launcher update %1 not staged: %2").arg(release.latestVersion, error));
        Q_EMIT failed(error, true);
        return;
    }
    logInfo(QStringLiteral("Launcher update %1: staged in %2")
                .arg(release.latestVersion, versionFolder));
    checkNewVersion();
}

void LauncherUpdate::startNewBuild()
{
    healthFile = QDir(root).filePath(
        QStringLiteral(".health-%1")
            .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
    Q_EMIT statusChanged(QStringLiteral("Starting the launcher %1...").arg(release.latestVersion));
    Q_EMIT progressChanged(-1);
    Q_EMIT handingOver();
    const QString program = QDir(versionFolder).filePath(QStringLiteral("IvraLauncher"));
    childPid = startProcessGroup(program,
                                 startArguments() << QLatin1String(kHealthFileOption) + healthFile,
                                 startEnvironment());
    if (childPid <= 0) {
        rollBack(QStringLiteral("%1 could not be started").arg(program));
        return;
    }
    logInfo(QStringLiteral("Launcher update %1: started %2 (process %3), waiting for it to report")
                .arg(release.latestVersion, program)
                .arg(childPid));
    waited.start();
    connect(poll, &QTimer::timeout, this, &LauncherUpdate::watchNewBuild);
    poll->start();
}

void LauncherUpdate::watchNewBuild()
{
    if (QFileInfo::exists(healthFile)) {
        poll->stop();
        logInfo(QStringLiteral("Launcher update %1: the new build is healthy after %2 ms")
                    .arg(release.latestVersion)
                    .arg(waited.elapsed()));
        switchToNew();
        Q_EMIT switched(0);
        return;
    }
    int exitCode = 0;
    QString how;
    if (processEnded(childPid, &exitCode, &how)) {
        poll->stop();
        // Another launcher took the data folder during the hand-over: the
        // new build is not at fault, and that launcher runs the pass.
        if (exitCode == kLockedOutExitCode) {
            logInfo(QStringLiteral("Launcher update %1: another launcher took the data folder "
                                   "first; the update is left to it")
                        .arg(release.latestVersion));
            giveUp();
            return;
        }
        rollBack(how);
        return;
    }
    if (waited.elapsed() >= kHealthTimeoutMs) {
        poll->stop();
        endProcessGroup(childPid);
        rollBack(QStringLiteral("it did not report within %1 s").arg(kHealthTimeoutMs / 1000));
    }
}

// The new build must at least run and know its version before it takes
// over: a package of another version would be replaced by itself again and
// again.
void LauncherUpdate::checkNewVersion()
{
    const QString program = QDir(versionFolder).filePath(QStringLiteral("ivra-update"));
    child = new QProcess(this);
    child->setEnvironment(startEnvironment());
    QTimer::singleShot(kHealthTimeoutMs, child, [this]() {
        if (child->state() != QProcess::NotRunning)
            child->kill();
    });
    connect(child, &QProcess::finished, this, [this, program](int code, QProcess::ExitStatus how) {
        const QString printed = QString::fromLocal8Bit(child->readAllStandardOutput()).trimmed();
        child->deleteLater();
        child = nullptr;
        const QString expected = QStringLiteral("ivra-update %1 ").arg(release.latestVersion);
        if (how != QProcess::NormalExit || code != 0 || !printed.startsWith(expected)) {
            rollBack(QStringLiteral("%1 --version printed \"%2\" (exit %3)")
                         .arg(program, printed.left(200))
                         .arg(how == QProcess::NormalExit ? code : -1));
            return;
        }
        logInfo(QStringLiteral("Launcher update %1: %2 runs").arg(release.latestVersion, program));
        if (mode == Mode::Watch)
            startNewBuild();
        else
            runNewUpdater();
    });
    connect(child, &QProcess::errorOccurred, this, [this, program](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            child->deleteLater();
            child = nullptr;
            rollBack(QStringLiteral("%1 could not be started").arg(program));
        }
    });
    child->start(program, {QStringLiteral("--version")});
}

void LauncherUpdate::runNewUpdater()
{
    switchToNew();
    Q_EMIT handingOver();
    // The new updater runs this one's job, with its arguments, in its place.
    child = new QProcess(this);
    child->setEnvironment(startEnvironment());
    child->setProcessChannelMode(QProcess::ForwardedChannels);
    child->setInputChannelMode(QProcess::ForwardedInputChannel);
    connect(child, &QProcess::finished, this, [this](int code, QProcess::ExitStatus how) {
        Q_EMIT switched(how == QProcess::NormalExit ? code : 1);
    });
    connect(child, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            Q_EMIT switched(1);
    });
    child->start(QDir(versionFolder).filePath(QStringLiteral("ivra-update")), startArguments());
}

void LauncherUpdate::switchToNew()
{
    const QString error = switchCurrentLauncher(root, release.latestVersion);
    if (!error.isEmpty()) {
        // The new build runs all the same; the next start tries the switch again.
        logWarning(QStringLiteral("Launcher update %1: %2").arg(release.latestVersion, error));
        return;
    }
    logInfo(QStringLiteral("Switched the launcher to %1; %2 is kept to go back to")
                .arg(release.latestVersion, GatewayBuildVersion));
    for (const QString &folder :
         pruneLauncherFolders(root, {release.latestVersion, GatewayBuildVersion}))
        logInfo(QStringLiteral("Pruned launcher folder: %1").arg(folder));
    QFile::remove(packagePath);
    if (!healthFile.isEmpty())
        QFile::remove(healthFile);
}

void LauncherUpdate::rollBack(const QString &why)
{
    logWarning(QStringLiteral("The launcher update to %1 did not start; staying on %2.")
                   .arg(release.latestVersion, GatewayBuildVersion));
    logWarning(
        QStringLiteral("Launcher %1 recorded as failed: %2").arg(release.latestVersion, why));
    recordFailedLauncher(release.latestVersion);
    giveUp();
}

void LauncherUpdate::giveUp()
{
    discardDirectory(versionFolder);
    QFile::remove(packagePath);
    if (!healthFile.isEmpty())
        QFile::remove(healthFile);
    Q_EMIT keptCurrent();
}

QString countLauncherStart(const QString &programName)
{
    const QString root = launcherRootPath();
    const QString version = perUserLauncherVersion(root, QCoreApplication::applicationDirPath());
    if (version.isEmpty())
        return QString();
    LauncherUpdateState launcher = loadGatewayState(gatewayStatePath()).state.launcher;
    if (launcher.startingVersion != version) {
        launcher.startingVersion = version;
        launcher.startsWithoutHealth = 0;
    }
    QString instead;
    if (launcher.startsWithoutHealth >= kStartsBeforeRollback && startHealthFile().isEmpty() &&
        currentLauncherVersion(root) == version) {
        const QString previous =
            previousLauncherVersion(root, version, QStringList(launcher.failedVersions) << version);
        if (!previous.isEmpty() && switchCurrentLauncher(root, previous).isEmpty()) {
            logWarning(QStringLiteral("The launcher %1 did not start %2 times in a row; going "
                                      "back to %3.")
                           .arg(version)
                           .arg(kStartsBeforeRollback)
                           .arg(previous));
            launcher.failedVersions << version;
            launcher.startingVersion.clear();
            launcher.startsWithoutHealth = 0;
            instead = QDir(QDir(root).filePath(previous)).filePath(programName);
        }
    }
    if (instead.isEmpty())
        ++launcher.startsWithoutHealth;
    saveLauncherUpdateState(gatewayStatePath(), launcher);
    return instead;
}

void runInstead(const QString &program)
{
    replaceProcess(program, startArguments(), startEnvironment());
    logWarning(QStringLiteral("Unable to start %1 in this one's place.").arg(program));
}

void reportLauncherHealthy()
{
    const QString version =
        perUserLauncherVersion(launcherRootPath(), QCoreApplication::applicationDirPath());
    if (!version.isEmpty()) {
        LauncherUpdateState launcher = loadGatewayState(gatewayStatePath()).state.launcher;
        if (launcher.startingVersion == version && launcher.startsWithoutHealth != 0) {
            launcher.startsWithoutHealth = 0;
            saveLauncherUpdateState(gatewayStatePath(), launcher);
        }
    }
    const QString healthFile = startHealthFile();
    if (healthFile.isEmpty())
        return;
    logInfo(QStringLiteral("Launcher %1 started after an update and is healthy.")
                .arg(GatewayBuildVersion));
    QFile file(healthFile);
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray::number(QCoreApplication::applicationPid()));
}

QString installRunningLauncher(QStringList *report, bool allowDowngrade)
{
    const QString root = launcherRootPath();
    const QString version = GatewayBuildVersion;
    const QString programDir = QCoreApplication::applicationDirPath();
    // An older package unpacked by hand must not quietly take the place of a newer launcher.
    const QString current = currentLauncherVersion(root);
    if (!allowDowngrade && !current.isEmpty() &&
        !isAtLeast(parseReleaseVersion(version), parseReleaseVersion(current)))
        return QStringLiteral("The launcher %1 is installed in %2, newer than this one (%3); "
                              "give --allow-downgrade to go back to %3.")
            .arg(current, root, version);
    QString error;
    if (perUserLauncherVersion(root, programDir) != version) {
        for (const QString &leftover : removeLauncherLeftovers(root))
            logInfo(QStringLiteral("Removed a leftover of an earlier launcher update: %1")
                        .arg(leftover));
        const QString staging = QDir(root).filePath(QStringLiteral(".staging-%1").arg(version));
        error = copyLauncherPrograms(programDir, staging);
        if (error.isEmpty())
            error = promoteLauncherFolder(root, staging, version);
        if (!error.isEmpty()) {
            removeDirectoryIfPresent(staging);
            return error;
        }
    }
    error = switchCurrentLauncher(root, version);
    if (!error.isEmpty())
        return error;
    // A version installed again by hand is not a failed one any more.
    LauncherUpdateState launcher = loadGatewayState(gatewayStatePath()).state.launcher;
    if (launcher.failedVersions.removeAll(version) > 0)
        saveLauncherUpdateState(gatewayStatePath(), launcher);
    QFile icon(QStringLiteral(":/images/images/ivra-gateway.png"));
    icon.open(QIODevice::ReadOnly);
    const LauncherEntryPoints where = launcherEntryPointsIn(
        QDir::homePath(), QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    error = writeLauncherEntryPoints(root, where, icon.readAll());
    if (!error.isEmpty())
        return error;
    logInfo(QStringLiteral("Installed the launcher %1 in %2").arg(version, root));
    report->append(QStringLiteral("Installed the launcher %1 in %2.")
                       .arg(version, QDir(root).filePath(version)));
    report->append(QStringLiteral("Command: %1").arg(where.commandPath));
    report->append(QStringLiteral("Desktop entry: %1").arg(where.desktopFilePath));
    return QString();
}

QString rollBackLauncherByHand(QStringList *report)
{
    const QString root = launcherRootPath();
    const QString current = currentLauncherVersion(root);
    if (current.isEmpty())
        return QStringLiteral("No launcher is installed in %1.").arg(root);
    LauncherUpdateState launcher = loadGatewayState(gatewayStatePath()).state.launcher;
    const QString previous = previousLauncherVersion(root, current, launcher.failedVersions);
    if (previous.isEmpty())
        return QStringLiteral("No earlier launcher is kept in %1 to go back to.").arg(root);
    const QString error = switchCurrentLauncher(root, previous);
    if (!error.isEmpty())
        return error;
    if (!launcher.failedVersions.contains(current))
        launcher.failedVersions << current;
    saveLauncherUpdateState(gatewayStatePath(), launcher);
    const QString line = QStringLiteral("The launcher is back on %1; %2 is recorded as failed and "
                                        "will not be installed again.")
                             .arg(previous, current);
    logInfo(line);
    report->append(line);
    // A newer version than the failed ones is still installed when it is published.
    report->append(
        QStringLiteral("To undo this, install %1 again: \"%2\" --install-launcher")
            .arg(current,
                 QDir(QDir(root).filePath(current)).filePath(QStringLiteral("ivra-update"))));
    return QString();
}
