#include "install/differentialjob.h"

#include "app/logging.h"
#include "net/downloadjob.h"
#include "storage/paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>

#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>

DifferentialJob::DifferentialJob(QNetworkAccessManager *manager, const ClientRelease &release,
                                 const QString &productId, const QStringList &installedFolders,
                                 QObject *parent, const QString &intactFolder, RecordTrust trust)
    : QObject(parent), manager(manager), release(release), productId(productId),
      installedFolders(installedFolders), intactFolder(intactFolder), trust(trust),
      cacheFolder(clientObjectCachePath(productId))
{
}

DifferentialJob::~DifferentialJob()
{
    cancelPlanning->store(true);
    planning.waitForFinished();
}

void DifferentialJob::start()
{
    const QUrl url = QUrl::fromUserInput(release.fileIndexUrl);
    if (!isUsableUrl(url)) {
        fallBack(QStringLiteral("the file index URL is invalid"));
        return;
    }
    // Parsed whole in memory: bounded before a byte of it is fetched.
    if (release.fileIndexSizeBytes > kFileIndexLimitBytes) {
        fallBack(QStringLiteral("the file index is larger than the %1-byte limit")
                     .arg(kFileIndexLimitBytes));
        return;
    }
    Q_EMIT progress(-1);
    const QString target =
        QDir(downloadsPath())
            .absoluteFilePath(
                QStringLiteral("%1/%1_%2.files.json").arg(productId, release.latestVersion));
    logInfo(QStringLiteral("Differential update to %1: fetching its file index")
                .arg(release.latestVersion));
    fetch(url, target, int(RequestPurpose::ClientFileIndex), release.fileIndexSizeBytes);
}

void DifferentialJob::fetch(const QUrl &url, const QString &target, int purpose, qint64 size)
{
    if (download)
        download->deleteLater();
    download = new DownloadJob(manager, url, target, RequestPurpose(purpose), size, this);
    const bool isIndex = purpose == int(RequestPurpose::ClientFileIndex);
    connect(download, &DownloadJob::finished, this,
            isIndex ? &DifferentialJob::onIndexDownloaded : &DifferentialJob::onObjectDownloaded);
    if (!isIndex) {
        connect(download, &DownloadJob::progress, this, [this](qint64 received, qint64) {
            const qint64 all = ready.plan.fetchBytes;
            if (all > 0 && received >= 0)
                Q_EMIT progress(int(qMin<qint64>(100, (bytesDone + received) * 100 / all)));
        });
    }
    download->start();
}

// A wrong answer of the host (an HTTP status, more bytes than declared) is a
// reason to take the package instead; a broken network or disk is not.
bool DifferentialJob::downloadFailed(const DownloadResult &result, const QString &name)
{
    if (result.ok())
        return false;
    if (result.outcome == DownloadResult::HttpFailure) {
        fallBack(QStringLiteral("%1: HTTP %2").arg(name).arg(result.httpStatus));
    } else if (result.outcome == DownloadResult::Stopped && result.bytesExceeded) {
        fallBack(QStringLiteral("%1: more bytes than declared").arg(name));
    } else {
        DifferentialResult failed;
        failed.outcome = DifferentialResult::Failed;
        failed.message = result.message;
        Q_EMIT finished(failed);
    }
    return true;
}

void DifferentialJob::onIndexDownloaded(const DownloadResult &result)
{
    if (downloadFailed(result, requestPurposeName(int(RequestPurpose::ClientFileIndex))))
        return;
    const qint64 size = QFileInfo(result.targetPath).size();
    if (size != release.fileIndexSizeBytes) {
        fallBack(QStringLiteral("the file index holds %1 bytes, not %2")
                     .arg(size)
                     .arg(release.fileIndexSizeBytes));
        return;
    }
    if (QString::compare(result.sha256, release.fileIndexSha256.trimmed(), Qt::CaseInsensitive) !=
        0) {
        fallBack(QStringLiteral("the file index has the digest %1, not %2")
                     .arg(result.sha256, release.fileIndexSha256));
        return;
    }
    QFile file(result.targetPath);
    const FileIndexResult parsed = file.open(QIODevice::ReadOnly)
                                       ? parseFileIndex(file.readAll())
                                       : FileIndexResult{FileIndex(), file.errorString()};
    if (!parsed.error.isEmpty()) {
        fallBack(QStringLiteral("the file index is not valid: %1").arg(parsed.error));
        return;
    }
    ready.index = parsed.index;
    // Hashing the installed files takes a while: off the caller's thread.
    auto *watcher = new QFutureWatcher<DifferentialPlan>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher]() {
        watcher->deleteLater();
        onPlanned(watcher->result());
    });
    planning = QtConcurrent::run(
        [index = ready.index, folders = installedFolders, cancel = cancelPlanning,
         trust = trust]() { return planDifferentialInstall(index, folders, cancel.get(), trust); });
    watcher->setFuture(planning);
}

void DifferentialJob::onPlanned(const DifferentialPlan &plan)
{
    if (!intactFolder.isEmpty() && plan.fetchBytes == 0 &&
        std::all_of(plan.sources.cbegin(), plan.sources.cend(), [this](const QString &source) {
            return source.startsWith(intactFolder + QLatin1Char('/'));
        })) {
        logInfo(QStringLiteral("Version %1 holds every file of its index (%2 known by their "
                               "record, %3 read)")
                    .arg(release.latestVersion)
                    .arg(plan.known)
                    .arg(plan.hashed));
        ready.outcome = DifferentialResult::Intact;
        ready.plan = plan;
        Q_EMIT finished(ready);
        return;
    }
    if (plan.fetchBytes * 2 > release.artifactSizeBytes) {
        fallBack(QStringLiteral("%1 bytes of objects to fetch are more than half of the "
                                "%2-byte package")
                     .arg(plan.fetchBytes)
                     .arg(release.artifactSizeBytes),
                 false);
        return;
    }
    ready.plan = plan;
    logInfo(QStringLiteral("Differential update to %1: %2 of %3 files reused (%4 known by their "
                           "record, %5 read), %6 bytes of objects to fetch")
                .arg(release.latestVersion)
                .arg(plan.reused)
                .arg(ready.index.files.size())
                .arg(plan.known)
                .arg(plan.hashed)
                .arg(plan.fetchBytes));
    Q_EMIT progress(0);
    fetchNextObject();
}

void DifferentialJob::fetchNextObject()
{
    while (nextObject < ready.index.files.size()) {
        const qsizetype i = nextObject++;
        if (!ready.plan.sources.at(i).isEmpty())
            continue;
        const FileIndexEntry &entry = ready.index.files.at(i);
        const QString cached = objectCacheFile(cacheFolder, entry.object);
        // Fetched by an earlier, interrupted attempt (or for another file of the same content).
        if (QFileInfo(cached).size() == entry.objectSize && QFileInfo(cached).isFile()) {
            bytesDone += entry.objectSize;
            continue;
        }
        currentObject = i;
        const QUrl url = QUrl::fromUserInput(release.fileIndexUrl)
                             .resolved(QUrl(objectRelativePath(entry.object)));
        fetch(url, cached, int(RequestPurpose::ClientObject), entry.objectSize);
        return;
    }
    logInfo(QStringLiteral("Differential update to %1: %2 files reused, %3 bytes fetched")
                .arg(release.latestVersion)
                .arg(ready.plan.reused)
                .arg(bytesFetched));
    ready.outcome = DifferentialResult::Ready;
    Q_EMIT finished(ready);
}

void DifferentialJob::onObjectDownloaded(const DownloadResult &result)
{
    if (downloadFailed(result, requestPurposeName(int(RequestPurpose::ClientObject))))
        return;
    const FileIndexEntry &entry = ready.index.files.at(currentObject);
    const qint64 size = QFileInfo(result.targetPath).size();
    if (size != entry.objectSize) {
        fallBack(QStringLiteral("object %1 holds %2 bytes, not %3")
                     .arg(entry.object)
                     .arg(size)
                     .arg(entry.objectSize));
        return;
    }
    bytesDone += size;
    bytesFetched += size;
    fetchNextObject();
}

void DifferentialJob::fallBack(const QString &reason, bool fault)
{
    DifferentialResult result;
    result.outcome = DifferentialResult::FallBack;
    result.reason = reason;
    result.fault = fault;
    Q_EMIT finished(result);
}
