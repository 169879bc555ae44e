#include "install/differentialjob.h"

#include "base/logging.h"
#include "install/diskspace.h"
#include "net/downloadjob.h"
#include "storage/paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>

#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <utility>

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
    qDeleteAll(active.keys());
    cancelPlanning->store(true);
    planning.waitForFinished();
    records.waitForFinished();
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
    // The installed versions' records need no index: they are read meanwhile.
    records = QtConcurrent::run([folders = installedFolders, trust = trust]() {
        return readRecordedFolders(folders, trust);
    });
    fetchIndex(url, target);
}

void DifferentialJob::fetchIndex(const QUrl &url, const QString &target)
{
    download = new DownloadJob(manager, url, target, RequestPurpose::ClientFileIndex,
                               qMin(release.fileIndexSizeBytes, kFileIndexLimitBytes), this);
    connect(download, &DownloadJob::finished, this, &DifferentialJob::onIndexDownloaded);
    download->setExpectedSha256(release.fileIndexSha256);
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
        conclude(failed);
    }
    return true;
}

// The first ending stands. Objects still in flight finish first: what they
// fetch stays in the cache for the next attempt.
void DifferentialJob::conclude(const DifferentialResult &result)
{
    if (!concluded) {
        concluded = true;
        outcome = result;
    }
    if (active.isEmpty())
        Q_EMIT finished(outcome);
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
    // Parsing a large index and planning take a while: off the caller's thread.
    auto *watcher = new QFutureWatcher<Planned>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher]() {
        watcher->deleteLater();
        onPlanned(watcher->result());
    });
    planning = QtConcurrent::run([path = result.targetPath, folders = installedFolders,
                                  records = records, cancel = cancelPlanning]() {
        Planned planned;
        QFile file(path);
        planned.index = file.open(QIODevice::ReadOnly)
                            ? parseFileIndex(file.readAll())
                            : FileIndexResult{FileIndex(), file.errorString()};
        if (planned.index.error.isEmpty())
            planned.plan = planDifferentialInstall(planned.index.index, folders, records.result(),
                                                   cancel.get());
        return planned;
    });
    watcher->setFuture(planning);
}

void DifferentialJob::onPlanned(const Planned &planned)
{
    if (!planned.index.error.isEmpty()) {
        fallBack(QStringLiteral("the file index is not valid: %1").arg(planned.index.error));
        return;
    }
    ready.index = planned.index.index;
    const DifferentialPlan &plan = planned.plan;
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
    // The objects land in the cache, then the files they make in staging;
    // reused files are linked and take no room.
    qint64 needed = plan.fetchBytes;
    for (qsizetype i = 0; i < plan.sources.size(); ++i)
        if (plan.sources.at(i).isEmpty())
            needed = saturatingAdd(needed, ready.index.files.at(i).size);
    const QString noRoom = diskSpaceProblem(dataRootPath(), needed);
    if (!noRoom.isEmpty()) {
        DifferentialResult failed;
        failed.outcome = DifferentialResult::Failed;
        failed.message = noRoom;
        failed.unreachable = false;
        conclude(failed);
        return;
    }
    ready.plan = plan;
    logInfo(QStringLiteral("Differential update to %1: %2 of %3 reused (%4 known by their "
                           "record, %5 read), %6 of objects to fetch")
                .arg(release.latestVersion)
                .arg(plan.reused)
                .arg(countOf(ready.index.files.size(), "file", "files"))
                .arg(plan.known)
                .arg(plan.hashed)
                .arg(countOf(plan.fetchBytes, "byte", "bytes")));
    Q_EMIT progress(0);
    fetchObjects();
}

void DifferentialJob::fetchObjects()
{
    while (active.size() < kObjectsInFlight &&
           (active.isEmpty() || activeDeclared < kObjectBytesInFlight) &&
           nextObject < ready.index.files.size()) {
        const qsizetype i = nextObject++;
        if (!ready.plan.sources.at(i).isEmpty())
            continue;
        const FileIndexEntry &entry = ready.index.files.at(i);
        // Paths with the same bytes are written from one object, fetched once.
        if (requestedObjects.contains(entry.object))
            continue;
        requestedObjects.insert(entry.object);
        const QString cached = objectCacheFile(cacheFolder, entry.object);
        // Fetched by an earlier, interrupted attempt (or for another file of the same content).
        const QFileInfo info(cached);
        if (info.isFile() && info.size() == entry.objectSize) {
            bytesDone += entry.objectSize;
            continue;
        }
        const QUrl url = QUrl::fromUserInput(release.fileIndexUrl)
                             .resolved(QUrl(objectRelativePath(entry.object)));
        auto *job = new DownloadJob(manager, url, cached, RequestPurpose::ClientObject,
                                    entry.objectSize, this);
        active.insert(job, 0);
        activeDeclared += entry.objectSize;
        connect(job, &DownloadJob::progress, this, [this, job](qint64 received, qint64) {
            active[job] = qMax<qint64>(0, received);
            qint64 arriving = bytesDone;
            for (const qint64 bytes : std::as_const(active))
                arriving += bytes;
            if (ready.plan.fetchBytes > 0)
                Q_EMIT progress(int(qMin<qint64>(100, arriving * 100 / ready.plan.fetchBytes)));
            Q_EMIT transferred(arriving, ready.plan.fetchBytes);
        });
        connect(job, &DownloadJob::finished, this, [this, job, i](const DownloadResult &result) {
            onObjectDownloaded(job, i, result);
        });
        job->start();
    }
    if (!active.isEmpty() || nextObject < ready.index.files.size())
        return;
    logInfo(QStringLiteral("Differential update to %1: %2 reused, %3 fetched")
                .arg(release.latestVersion, countOf(ready.plan.reused, "file", "files"),
                     countOf(bytesFetched, "byte", "bytes")));
    ready.outcome = DifferentialResult::Ready;
    Q_EMIT finished(ready);
}

void DifferentialJob::onObjectDownloaded(DownloadJob *job, qsizetype i,
                                         const DownloadResult &result)
{
    active.remove(job);
    activeDeclared -= ready.index.files.at(i).objectSize;
    job->deleteLater();
    if (concluded) {
        conclude(outcome);
        return;
    }
    if (downloadFailed(result, requestPurposeName(int(RequestPurpose::ClientObject))))
        return;
    const FileIndexEntry &entry = ready.index.files.at(i);
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
    fetchObjects();
}

void DifferentialJob::fallBack(const QString &reason, bool fault)
{
    DifferentialResult result;
    result.outcome = DifferentialResult::FallBack;
    result.reason = reason;
    result.fault = fault;
    result.index = ready.index;
    conclude(result);
}
