#include "ui/mainwindow.h"

#include "app/logging.h"
#include "install/directories.h"
#include "storage/paths.h"
#include "ui_mainwindow.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

QStringList MainWindow::installedVersionFolders() const
{
    QStringList folders;
    for (const QString &version : retainedClientVersions(gatewayState, clientProductId)) {
        const QString folder = clientVersionPath(clientProductId, version);
        if (version != clientRelease.latestVersion && QFileInfo(folder).isDir())
            folders.append(folder);
    }
    return folders;
}

void MainWindow::startDifferentialUpdate()
{
    const QUrl url = QUrl::fromUserInput(clientRelease.fileIndexUrl);
    if (!isUsableUrl(url)) {
        fallBackToPackage(QStringLiteral("the file index URL is invalid"));
        return;
    }
    const QString target =
        QDir(downloadsPath())
            .absoluteFilePath(QStringLiteral("%1/%1_%2.files.json")
                                  .arg(clientProductId, clientRelease.latestVersion));
    ui->statusLabel->setText(QStringLiteral("Downloading IVRA..."));
    logInfo(QStringLiteral("Differential update to %1: fetching its file index")
                .arg(clientRelease.latestVersion));
    startDownload(url, target, RequestPurpose::ClientFileIndex, clientRelease.fileIndexSizeBytes);
}

void MainWindow::onClientFileIndexDownloaded()
{
    const qint64 size = QFileInfo(downloadTargetPath).size();
    if (size != clientRelease.fileIndexSizeBytes) {
        fallBackToPackage(QStringLiteral("the file index holds %1 bytes, not %2")
                              .arg(size)
                              .arg(clientRelease.fileIndexSizeBytes));
        return;
    }
    if (QString::compare(downloadSha256, clientRelease.fileIndexSha256.trimmed(),
                         Qt::CaseInsensitive) != 0) {
        fallBackToPackage(QStringLiteral("the file index has the digest %1, not %2")
                              .arg(downloadSha256, clientRelease.fileIndexSha256));
        return;
    }
    QFile file(downloadTargetPath);
    const FileIndexResult parsed = file.open(QIODevice::ReadOnly)
                                       ? parseFileIndex(file.readAll())
                                       : FileIndexResult{FileIndex(), file.errorString()};
    if (!parsed.error.isEmpty()) {
        fallBackToPackage(QStringLiteral("the file index is not valid: %1").arg(parsed.error));
        return;
    }
    fileIndex = parsed.index;
    // Hashing the installed files takes a while: off the window's thread.
    const FileIndex index = fileIndex;
    const QStringList folders = installedVersionFolders();
    auto progress = workerProgress;
    auto *watcher = new QFutureWatcher<DifferentialPlan>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher]() {
        watcher->deleteLater();
        onDifferentialPlanned(watcher->result());
    });
    const QFuture<DifferentialPlan> planned = QtConcurrent::run([index, folders, progress]() {
        return planDifferentialInstall(index, folders, &progress->cancelled);
    });
    workerDone = QFuture<void>(planned);
    watcher->setFuture(planned);
}

void MainWindow::onDifferentialPlanned(const DifferentialPlan &plan)
{
    if (plan.fetchBytes * 2 > clientRelease.artifactSizeBytes) {
        fallBackToPackage(QStringLiteral("%1 bytes of objects to fetch are more than half of the "
                                         "%2-byte package")
                              .arg(plan.fetchBytes)
                              .arg(clientRelease.artifactSizeBytes),
                          false);
        return;
    }
    differentialPlan = plan;
    nextObject = 0;
    objectBytesDone = 0;
    objectBytesFetched = 0;
    objectBytesTotal = plan.fetchBytes;
    logInfo(QStringLiteral("Differential update to %1: %2 of %3 files reused, %4 bytes of objects "
                           "to fetch")
                .arg(clientRelease.latestVersion)
                .arg(plan.reused)
                .arg(fileIndex.files.size())
                .arg(plan.fetchBytes));
    ui->progressBar->setRange(0, 100);
    ui->progressBar->setValue(0);
    fetchNextObject();
}

void MainWindow::fetchNextObject()
{
    const QString cache = clientObjectCachePath(clientProductId);
    while (nextObject < fileIndex.files.size()) {
        const qsizetype i = nextObject++;
        if (!differentialPlan.sources.at(i).isEmpty())
            continue;
        const FileIndexEntry &entry = fileIndex.files.at(i);
        const QString cached = objectCacheFile(cache, entry.object);
        // Fetched by an earlier, interrupted pass (or for another file of the same content).
        if (QFileInfo(cached).size() == entry.objectSize && QFileInfo(cached).isFile()) {
            objectBytesDone += entry.objectSize;
            continue;
        }
        currentObject = i;
        const QUrl url = QUrl::fromUserInput(clientRelease.fileIndexUrl)
                             .resolved(QUrl(objectRelativePath(entry.object)));
        startDownload(url, cached, RequestPurpose::ClientObject, entry.objectSize);
        return;
    }
    installFromObjects();
}

void MainWindow::onClientObjectDownloaded()
{
    const FileIndexEntry &entry = fileIndex.files.at(currentObject);
    const qint64 size = QFileInfo(downloadTargetPath).size();
    if (size != entry.objectSize) {
        fallBackToPackage(QStringLiteral("object %1 holds %2 bytes, not %3")
                              .arg(entry.object)
                              .arg(size)
                              .arg(entry.objectSize));
        return;
    }
    objectBytesDone += size;
    objectBytesFetched += size;
    fetchNextObject();
}

void MainWindow::installFromObjects()
{
    if (clientRelease.latestVersion.trimmed().isEmpty()) {
        showFailure(QStringLiteral("Client manifest contains invalid version data."), true);
        return;
    }
    ui->statusLabel->setText(QStringLiteral("Installing IVRA..."));
    qint64 total = 0;
    for (const FileIndexEntry &entry : fileIndex.files)
        total += entry.size;
    const FileIndex index = fileIndex;
    const DifferentialPlan plan = differentialPlan;
    const QString cache = clientObjectCachePath(clientProductId);
    logInfo(QStringLiteral("Differential update to %1: %2 files reused, %3 bytes fetched")
                .arg(clientRelease.latestVersion)
                .arg(plan.reused)
                .arg(objectBytesFetched));
    runInstallWorker(
        clientInstallPlan(clientProductId, clientRelease.latestVersion,
                          clientRelease.launchExePath),
        total,
        [index, plan, cache](const QString &staging, ExtractionProgress *progress, QString *) {
            return fillStagingFromIndex(index, plan, cache, staging, progress);
        });
}

void MainWindow::fallBackToPackage(const QString &reason, bool fault)
{
    const QString line =
        QStringLiteral("Differential update not used, downloading the package: %1").arg(reason);
    if (fault)
        logWarning(line);
    else
        logInfo(line);
    differentialRefused = true;
    objectBytesTotal = 0;
    startClientDownload();
}
