#include "install/clientinstall.h"

#include "install/directories.h"
#include "install/launchpath.h"
#include "storage/paths.h"

#include <QDir>
#include <QFileInfo>

ClientInstallPlan clientInstallPlan(const QString &productId, const QString &version,
                                    const QString &launchExePath, const QString &packagePath)
{
    ClientInstallPlan plan;
    plan.packagePath = packagePath;
    plan.version = version;
    plan.productPath = clientProductPath(productId);
    plan.stagingPath = clientStagingPath(productId, version);
    plan.versionPath = clientVersionPath(productId, version);
    plan.launchExePath = launchExePath;
    return plan;
}

ClientInstallOutcome runClientInstall(const ClientInstallPlan &plan, ExtractionProgress *progress,
                                      std::atomic<qint64> *totalBytes, const StagingFiller &fill)
{
    ClientInstallOutcome outcome;
    if (!removeDirectoryIfPresent(plan.stagingPath, &outcome.error) ||
        !removeDirectoryIfPresent(plan.versionPath, &outcome.error))
        return outcome;
    if (!QDir().mkpath(plan.stagingPath)) {
        outcome.error =
            QStringLiteral("Unable to create client staging directory: %1").arg(plan.stagingPath);
        return outcome;
    }
    // From here on a failure before promotion leaves no staging folder behind.
    auto abandon = [&](const QString &message) {
        removeDirectoryIfPresent(plan.stagingPath);
        outcome.error = message;
        outcome.cancelled = progress && progress->cancelled.load();
        return outcome;
    };
    QString error;
    if (fill) {
        error = fill(plan.stagingPath, progress, &outcome.cause);
        if (!error.isEmpty())
            return abandon(error);
    } else {
        if (totalBytes)
            totalBytes->store(zipPayloadSize(plan.packagePath));
        ExtractionOptions options;
        options.progress = progress;
        options.cause = &outcome.cause;
        if (!extractZipPayload(plan.packagePath, plan.stagingPath, &error, options))
            return abandon(error);
    }
    if (resolveLaunchPath(plan.stagingPath, plan.launchExePath, &error).isEmpty())
        return abandon(error);
    if (progress && progress->cancelled.load())
        return abandon(QStringLiteral("Extraction was cancelled."));
    if (!QDir().mkpath(plan.productPath))
        return abandon(
            QStringLiteral("Unable to create client product directory: %1").arg(plan.productPath));
    if (!QDir(plan.productPath).rename(QFileInfo(plan.stagingPath).fileName(), plan.version))
        return abandon(
            QStringLiteral("Unable to promote installed IVRA client: %1.").arg(plan.versionPath));
    outcome.promoted = true;
    return outcome;
}
