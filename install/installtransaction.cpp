#include "ui/mainwindow.h"

#include "app/buildidentity.h"
#include "app/logging.h"
#include "install/directories.h"
#include "install/housekeeping.h"
#include "install/launchpath.h"
#include "install/zipextract.h"
#include "storage/paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

bool MainWindow::installClientPackage(const QString &packagePath)
{
    const QString version = clientRelease.latestVersion;
    // A blank version would make the version folder the empty path, that is
    // the current directory: refuse it before any removal or extraction.
    if (version.trimmed().isEmpty()) {
        showFailure(QStringLiteral("Client manifest contains invalid version data."), true);
        return false;
    }
    const QString productPath = clientProductPath(clientProductId);
    const QString stagingPath = clientStagingPath(clientProductId, version);
    const QString versionPath = clientVersionPath(clientProductId, version);
    QString error;

    if (!removeDirectoryIfPresent(stagingPath, &error) ||
        !removeDirectoryIfPresent(versionPath, &error)) {
        showFailure(error, true);
        return false;
    }
    if (!QDir().mkpath(stagingPath)) {
        showFailure(
            QStringLiteral("Unable to create client staging directory: %1").arg(stagingPath), true);
        return false;
    }
    // From here on a failure before promotion leaves no staging folder behind.
    auto abandonStaging = [&](const QString &message) {
        removeDirectoryIfPresent(stagingPath);
        showFailure(message, true);
        return false;
    };
    QString cause;
    ExtractionOptions options;
    options.cause = &cause;
    if (!extractZipPayload(packagePath, stagingPath, &error, options)) {
        logWarning(
            QStringLiteral("Extraction of %1 failed: %2 (%3)").arg(packagePath, error, cause));
        return abandonStaging(error);
    }
    if (resolveLaunchPath(stagingPath, clientRelease.launchExePath, &error).isEmpty())
        return abandonStaging(error);
    if (!QDir().mkpath(productPath))
        return abandonStaging(
            QStringLiteral("Unable to create client product directory: %1").arg(productPath));
    if (!QDir(productPath).rename(QFileInfo(stagingPath).fileName(), version))
        return abandonStaging(
            QStringLiteral("Unable to promote installed IVRA client: %1.").arg(versionPath));

    const QString executable = resolveLaunchPath(versionPath, clientRelease.launchExePath, &error);
    if (executable.isEmpty()) {
        showFailure(error, true);
        return false;
    }
    recordInstalledClientVersion(gatewayState, clientProductId, version);
    if (!persistGatewayState())
        return false;
    pruneOldClientInstalls(clientProductId);
    setLaunchTarget(executable);
    return true;
}

void MainWindow::pruneOldClientInstalls(const QString &productId)
{
    const QStringList keep = retainedClientVersions(gatewayState, productId);
    for (const QString &folder : prunableClientFolders(clientProductPath(productId), keep)) {
        QString error;
        if (discardDirectory(folder, &error))
            logInfo(QStringLiteral("Pruned client folder: %1").arg(folder));
        else
            logWarning(QStringLiteral("Unable to prune old client install: %1").arg(error));
    }
    const QStringList obsolete = obsoleteDownloads(downloadsPath(), productId, keep,
                                                   parseReleaseVersion(GatewayBuildVersion));
    for (const QString &file : obsolete) {
        if (QFile::remove(file))
            logInfo(QStringLiteral("Removed obsolete download: %1").arg(file));
        else
            logWarning(QStringLiteral("Unable to remove obsolete download: %1").arg(file));
    }
}
