#include "install/clientinstall.h"

#include "install/directories.h"
#include "install/launchpath.h"
#include "install/zipdirectory.h"
#include "install/zipstream.h"
#include "platform/filesync.h"
#include "storage/paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

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
    plan.origin.version = version.trimmed();
    return plan;
}

ClientInstallOutcome runClientInstall(const ClientInstallPlan &plan, ExtractionProgress *progress,
                                      std::atomic<qint64> *totalBytes, const StagingFiller &fill)
{
    ClientInstallOutcome outcome;
    if (!removeDirectoryIfPresent(plan.stagingPath, &outcome.error))
        return outcome;
    if (!QDir().mkpath(plan.stagingPath)) {
        outcome.error =
            QStringLiteral("Unable to create client staging directory: %1").arg(plan.stagingPath);
        return outcome;
    }
    // From here on a failure before promotion leaves no staging folder behind,
    // nor a record of it.
    bool recordWritten = false;
    auto abandon = [&](const QString &message) {
        removeDirectoryIfPresent(plan.stagingPath);
        if (recordWritten)
            QFile::remove(installRecordPath(plan.productPath, plan.version));
        outcome.error = message;
        outcome.cancelled = progress && progress->cancelled.load();
        return outcome;
    };
    QString error;
    StagedFiles staged;
    if (fill) {
        error = fill(plan.stagingPath, progress, &outcome.cause, &staged);
        if (!error.isEmpty())
            return abandon(error);
    } else {
        ExtractionOptions options;
        options.progress = progress;
        options.cause = &outcome.cause;
        options.digests = &staged.digests;
        QList<StreamedEntry> streamed;
        if (plan.growing) {
            const int generation = plan.growing->generation();
            const StreamLimits limits{plan.packageBytes, plan.streamBudget, &outcome.streamNote};
            streamed = streamZipEntries(*plan.growing, generation, plan.stagingPath, progress,
                                        false, limits);
            // Nothing is kept from a package that is not finished, or not checked.
            if (plan.growing->waitForEnd(progress ? &progress->cancelled : nullptr) !=
                GrowingFile::Wait::Finished)
                return abandon(QStringLiteral("Extraction was cancelled."));
            // Cut back and downloaded again meanwhile: what was written is of
            // another file. Written from local headers that the central
            // directory does not place where they were read: extracted again
            // from the directory alone, which is what the release was checked by.
            const bool cutBack = plan.growing->generation() != generation;
            const QString disagreement =
                cutBack ? QString() : streamedEntriesProblem(plan.packagePath, streamed);
            if (cutBack || !disagreement.isEmpty()) {
                if (!disagreement.isEmpty())
                    outcome.streamNote =
                        QStringLiteral("extracted again from the central directory: %1")
                            .arg(disagreement);
                streamed.clear();
                if (!removeDirectoryIfPresent(plan.stagingPath, &error) ||
                    !QDir().mkpath(plan.stagingPath))
                    return abandon(QStringLiteral("Unable to create client staging directory: %1")
                                       .arg(plan.stagingPath));
                if (progress)
                    progress->bytesWritten.store(0);
            }
            options.streamed = &streamed;
            outcome.streamedEntries = streamed.size();
        }
        if (totalBytes)
            totalBytes->store(zipPayloadSize(plan.packagePath));
        if (!extractZipPayload(plan.packagePath, plan.stagingPath, &error, options))
            return abandon(error);
    }
    if (resolveLaunchPath(plan.stagingPath, plan.launchExePath, &error).isEmpty())
        return abandon(error);
    if (progress && progress->cancelled.load())
        return abandon(QStringLiteral("Extraction was cancelled."));
    noteOwnChanges(plan.sourceFolders);
    // The record goes first: a version folder is never without one. Should
    // the promotion not follow, a record that describes other files only
    // makes the launcher read them.
    InstallRecord origin = plan.origin;
    origin.launchExePath = plan.launchExePath;
    const InstallRecordResult recorded = recordFolder(plan.stagingPath, staged, origin);
    if (!recorded.error.isEmpty() ||
        !writeInstallRecord(installRecordPath(plan.productPath, plan.version), recorded.record,
                            &error))
        return abandon(
            QStringLiteral("Unable to record installed IVRA client: %1.").arg(plan.versionPath));
    recordWritten = true;
    if (!QDir().mkpath(plan.productPath))
        return abandon(
            QStringLiteral("Unable to create client product directory: %1").arg(plan.productPath));
    // An earlier folder of this version (staging may have been filled from
    // it) is set aside by a rename, whole, until the new one stands in its place.
    QDir product(plan.productPath);
    const QString setAside =
        QStringLiteral(".trash-%1-%2")
            .arg(plan.version)
            .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    const bool replacing = QFileInfo(plan.versionPath).isDir();
    if (replacing && !product.rename(plan.version, setAside))
        return abandon(QStringLiteral("Unable to remove directory: %1.").arg(plan.versionPath));
    if (!product.rename(QFileInfo(plan.stagingPath).fileName(), plan.version)) {
        if (replacing)
            product.rename(setAside, plan.version);
        return abandon(
            QStringLiteral("Unable to promote installed IVRA client: %1.").arg(plan.versionPath));
    }
    if (replacing) {
        // Left over if this fails: the next prune takes it.
        removeDirectoryIfPresent(product.absoluteFilePath(setAside));
        noteOwnChanges(QStringList(plan.sourceFolders) << plan.versionPath);
    }
    if (plan.packageTransient && !plan.packagePath.isEmpty())
        outcome.packageRemoved = QFile::remove(plan.packagePath);
    // The files, the record and the folder's name reach the disk before the
    // caller records the version as installed: after a power cut the state
    // never names a version whose files were still only in memory.
    if (!syncFileSystemOf(plan.productPath))
        outcome.cause = QStringLiteral("syncfs of %1 failed").arg(plan.productPath);
    outcome.promoted = true;
    return outcome;
}

void noteOwnChanges(const QStringList &versionFolders)
{
    if (versionFolders.isEmpty())
        return;
    const qint64 now = fileSystemTimeAfterNow(QFileInfo(versionFolders.first()).absolutePath());
    if (now < 0)
        return;
    for (const QString &folder : versionFolders) {
        const QFileInfo info(folder);
        noteOwnChange(installRecordPath(info.absolutePath(), info.fileName()), now);
    }
}
