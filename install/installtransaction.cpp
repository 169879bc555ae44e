#include "ui/mainwindow.h"

#include "app/buildidentity.h"
#include "app/logging.h"
#include "install/directories.h"
#include "install/housekeeping.h"
#include "install/launchpath.h"
#include "install/zipextract.h"
#include "storage/paths.h"
#include "ui_mainwindow.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

void MainWindow::installClientPackage(const QString &packagePath)
{
    // A blank version would make the version folder the empty path, that is
    // the current directory: refuse it before any removal or extraction.
    if (clientRelease.latestVersion.trimmed().isEmpty()) {
        showFailure(QStringLiteral("Client manifest contains invalid version data."), true);
        return;
    }
    runInstallWorker(clientInstallPlan(clientProductId, clientRelease.latestVersion,
                                       clientRelease.launchExePath, packagePath),
                     0, StagingFiller());
}

void MainWindow::runInstallWorker(const ClientInstallPlan &plan, qint64 totalBytes,
                                  const StagingFiller &fill)
{
    // The install runs on a worker; the window keeps painting and shows the
    // bytes written against the unpacked size.
    ui->progressBar->show();
    ui->progressBar->setRange(0, 100);
    ui->progressBar->setValue(0);
    auto total = std::make_shared<std::atomic<qint64>>(totalBytes);
    auto progress = workerProgress;
    progress->bytesWritten = 0;
    auto *poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this, progress, total]() {
        const qint64 all = total->load();
        if (all > 0)
            ui->progressBar->setValue(int(qMin<qint64>(100, progress->bytesWritten * 100 / all)));
    });
    poll->start(kInstallProgressIntervalMs);
    auto *watcher = new QFutureWatcher<ClientInstallOutcome>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, poll, plan, fill]() {
        poll->deleteLater();
        watcher->deleteLater();
        const ClientInstallOutcome outcome = watcher->result();
        // Anything that goes wrong before promotion in a differential install
        // is a reason to fetch the package instead.
        if (fill && !outcome.promoted && !outcome.cancelled) {
            fallBackToPackage(outcome.error);
            return;
        }
        onClientInstallFinished(plan, outcome);
    });
    const QFuture<ClientInstallOutcome> done = QtConcurrent::run([plan, progress, total, fill]() {
        return runClientInstall(plan, progress.get(), total.get(), fill);
    });
    workerDone = QFuture<void>(done);
    watcher->setFuture(done);
}

void MainWindow::onClientInstallFinished(const ClientInstallPlan &plan,
                                         const ClientInstallOutcome &outcome)
{
    if (!outcome.error.isEmpty()) {
        if (!outcome.cause.isEmpty())
            logWarning(QStringLiteral("Extraction of %1 failed: %2 (%3)")
                           .arg(plan.packagePath, outcome.error, outcome.cause));
        showFailure(outcome.error, true);
        return;
    }
    QString error;
    const QString executable = resolveLaunchPath(plan.versionPath, plan.launchExePath, &error);
    if (executable.isEmpty()) {
        showFailure(error, true);
        return;
    }
    recordInstalledClientVersion(gatewayState, clientProductId, plan.version);
    if (!persistGatewayState())
        return;
    // Fetched objects have served once the install is recorded.
    removeDirectoryIfPresent(clientObjectCachePath(clientProductId));
    pruneOldClientInstalls(clientProductId);
    setLaunchTarget(executable);
    showReady();
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
