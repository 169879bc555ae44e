#include "net/downloadjob.h"

#include "base/logging.h"
#include "net/ratelimit.h"
#include "net/releaserequest.h"
#include "net/resume.h"
#include "platform/filesync.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

namespace {
// Bounds what the network thread may queue ahead of the disk, so memory stays
// flat however large the artifact is.
constexpr qint64 kDownloadReadBufferBytes = 1024 * 1024;

// Qt sets no transfer time-out: a download that gets almost nothing for a
// whole window is aborted, and ends as a network failure.
void watchForStall(QNetworkReply *reply, const QString &urlText)
{
    auto received = std::make_shared<qint64>(0);
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [received](qint64 bytes, qint64) { *received = bytes; });
    auto *watchdog = new QTimer(reply);
    QObject::connect(watchdog, &QTimer::timeout, reply,
                     [reply, received, urlText, checked = qint64(0)]() mutable {
                         if (!reply->isRunning())
                             return;
                         // Bytes the speed limit holds back in the reply: the
                         // host is not the one that stalls.
                         if (*received - checked >= kDownloadStallMinimumBytes ||
                             reply->bytesAvailable() > 0) {
                             checked = *received;
                             return;
                         }
                         logWarning(QStringLiteral("Download stalled: fewer than %1 bytes in %2 "
                                                   "ms, aborting: %3")
                                        .arg(kDownloadStallMinimumBytes)
                                        .arg(kDownloadStallWindowMs)
                                        .arg(urlText));
                         reply->abort();
                     });
    watchdog->start(kDownloadStallWindowMs);
}
} // namespace

DownloadJob::DownloadJob(QNetworkAccessManager *manager, const QUrl &url, const QString &targetPath,
                         RequestPurpose purpose, qint64 declaredSize, QObject *parent)
    : QObject(parent), manager(manager), url(url), targetPath(targetPath),
      partPath(targetPath + QStringLiteral(".part")), purpose(purpose), declaredSize(declaredSize)
{
}

DownloadJob::~DownloadJob()
{
    cancel();
    cancelHashing->store(true);
    hashing.waitForFinished();
}

QString DownloadJob::name() const
{
    return requestPurposeName(int(purpose));
}

void DownloadJob::start()
{
    route = HostRoute(manager, url);
    const QString directory = QFileInfo(targetPath).absolutePath();
    if (!QDir().mkpath(directory)) {
        finish(DownloadResult::FileFailure,
               QStringLiteral("Unable to create download directory: %1").arg(directory));
        return;
    }
    const ResumeState resume = loadResumeState(resumeStatePath(partPath));
    offset = resumableOffset(resume, route.url().toString(QUrl::RemovePassword),
                             QFileInfo(partPath).size(), declaredSize);
    if (offset == 0)
        discardPart();
    written = offset;
    file = new QFile(partPath, this);
    if (follower)
        follower->grow(offset);
    if (!file->open(offset > 0 ? QIODevice::Append : QIODevice::WriteOnly)) {
        const QString error = file->errorString();
        delete file;
        file = nullptr;
        finish(DownloadResult::FileFailure,
               QStringLiteral("Unable to write download file: %1").arg(error));
        return;
    }
    Q_EMIT progress(0, -1);
    if (offset == 0) {
        digest = sha256Begin();
        sendRequest(QByteArray());
        return;
    }
    logInfo(QStringLiteral("Resuming %1 from byte %2: %3")
                .arg(name())
                .arg(offset)
                .arg(route.url().toString(QUrl::RemovePassword)));
    hashPartThenSend(resumeValidator(resume));
}

// What is already on disk is hashed first, off the caller's thread; the
// request for the rest goes out when that is done.
void DownloadJob::hashPartThenSend(const QByteArray &validator)
{
    auto *watcher = new QFutureWatcher<Sha256Stream>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, validator]() {
        watcher->deleteLater();
        if (done)
            return;
        digest = watcher->result();
        if (digest.context) {
            sendRequest(validator);
            return;
        }
        // The part could not be read back: start again from zero.
        cutPartBack();
        sendRequest(QByteArray());
    });
    const QString part = partPath;
    const qint64 bytes = offset;
    const auto cancel = cancelHashing;
    hashing = QtConcurrent::run([part, bytes, cancel]() {
        Sha256Stream stream = sha256Begin();
        if (!sha256AddFile(stream, part, bytes, nullptr, cancel.get()))
            stream.context.reset();
        return stream;
    });
    watcher->setFuture(hashing);
}

void DownloadJob::sendRequest(const QByteArray &validator)
{
    QNetworkRequest request = releaseRequest(route.url());
    rateLimiter = RateLimiter::of(manager);
    const bool limited = rateLimiter && rateLimiter->rate() > 0;
    // Qt's HTTP/2 takes a stream in whole whatever the reply's buffer: a
    // limited download would run ahead on the link into memory. HTTP/1.1
    // stops at the buffer.
    if (limited)
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    if (offset > 0) {
        // The rest only if the file is still the one the part came from; else the whole.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + "-");
        request.setRawHeader("If-Range", validator);
    }
    answered = false;
    reply = manager->get(request);
    tagReply(reply, purpose);
    reply->setReadBufferSize(limited
                                 ? qMin(rateLimiter->readBufferBytes(), kDownloadReadBufferBytes)
                                 : kDownloadReadBufferBytes);
    replyEnded = false;
    connect(reply, &QIODevice::readyRead, this, &DownloadJob::consume);
    // Counted from the part's start: after a resume, what is on disk counts too.
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64 total) {
        Q_EMIT progress(offset + received, total > 0 ? offset + total : total);
    });
    connect(reply, &QNetworkReply::finished, this, &DownloadJob::onReplyFinished);
    watchForStall(reply, route.url().toString(QUrl::RemovePassword));
    if (route.hasNext())
        abortIfUnanswered(reply, kMirrorAnswerTimeoutMs);
}

bool DownloadJob::consume()
{
    if (!reply || !file || !stopReason.isEmpty() || !reply->isOpen())
        return false;
    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!answered && statusAttribute.isValid()) {
        answered = true;
        const int status = statusAttribute.toInt();
        if (offset > 0 && status != 206) {
            // The server ignored the range or the file changed: the answer is the whole file.
            logInfo(QStringLiteral("%1 did not resume (HTTP %2): starting again from byte 0")
                        .arg(name())
                        .arg(status));
            cutPartBack();
        }
        if (status >= 200 && status <= 299) {
            const QString requested = reply->request().url().toString(QUrl::RemovePassword);
            ResumeState state = loadResumeState(resumeStatePath(partPath));
            if (status != 206 || state.url != requested)
                state = ResumeState();
            state.url = requested;
            if (reply->hasRawHeader("ETag"))
                state.etag = reply->rawHeader("ETag");
            if (reply->hasRawHeader("Last-Modified"))
                state.lastModified = reply->rawHeader("Last-Modified");
            state.bytes = offset;
            saveResumeState(resumeStatePath(partPath), state);
        }
    }
    qint64 allowed = reply->bytesAvailable();
    if (rateLimiter) {
        allowed = rateLimiter->take(allowed);
        // The rest waits in the reply, whose full buffer stops the transfer.
        if (allowed < reply->bytesAvailable()) {
            if (!paceTimer) {
                paceTimer = new QTimer(this);
                paceTimer->setSingleShot(true);
                connect(paceTimer, &QTimer::timeout, this, [this] {
                    const bool reading = consume();
                    if (replyEnded && file && (!reading || reply->bytesAvailable() == 0))
                        onReplyEnded();
                });
            }
            if (!paceTimer->isActive())
                paceTimer->start(rateLimiter->waitMs(reply->bytesAvailable() - allowed));
        }
    }
    // readAll() hands over the reply's buffered chunks without copying them.
    const QByteArray data =
        allowed == reply->bytesAvailable() ? reply->readAll() : reply->read(allowed);
    if (data.isEmpty())
        return true;
    written += data.size();
    // A host that sends more than the manifest declares is stopped at once,
    // before it can fill the disk.
    if (declaredSize > 0 && written > declaredSize) {
        bytesExceeded = true;
        stopReason =
            QStringLiteral(
                "Downloaded IVRA client size mismatch. Expected %1 bytes, received %2 bytes.")
                .arg(declaredSize)
                .arg(written);
        reply->abort();
        return false;
    }
    if (file->write(data) != data.size()) {
        stopReason = QStringLiteral("Unable to write download file: %1").arg(file->errorString());
        reply->abort();
        return false;
    }
    sha256Add(digest, data.constData(), data.size());
    partGrew();
    // The install that follows is synced to disk, and a package that is kept
    // with it: its write-back runs while it arrives rather than after.
    unsentToDisk += data.size();
    if (unsentToDisk >= kWriteBackChunkBytes && !transientFile) {
        startWriteBack(*file);
        unsentToDisk = 0;
    }
    return true;
}

void DownloadJob::onReplyFinished()
{
    replyEnded = true;
    // Under a rate limit, what the reply still holds is read at the rate first.
    if (consume() && reply->bytesAvailable() > 0 && stopReason.isEmpty() &&
        reply->error() == QNetworkReply::NoError)
        return;
    onReplyEnded();
}

void DownloadJob::onReplyEnded()
{
    if (paceTimer)
        paceTimer->stop();
    if (stopReason.isEmpty() && !file->flush())
        stopReason = QStringLiteral("Unable to write download file: %1").arg(file->errorString());
    file->close();
    delete file;
    file = nullptr;
    const qint64 elapsed = replyElapsedMs(reply);
    if (!stopReason.isEmpty()) {
        if (bytesExceeded && tryNextHost(stopReason, false))
            return;
        // Stopped by the launcher itself: too many bytes, or the disk refused them.
        discardPart();
        logWarning(
            QStringLiteral("%1 stopped after %2 ms: %3").arg(name()).arg(elapsed).arg(stopReason));
        finish(DownloadResult::Stopped, stopReason);
        return;
    }

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool judged = reply->url().scheme().startsWith(QLatin1String("http"));
    const bool httpFailure = judged && (status < 200 || status > 299);
    // Qt also flags an HTTP error status as a reply error; an answer that came
    // with a status is judged by that status, not reported as a network failure.
    if (reply->error() != QNetworkReply::NoError && !(httpFailure && status != 0)) {
        if (tryNextHost(unansweredReason(reply), true))
            return;
        // What arrived stays for the next try to continue, when the server allows it.
        keepPartForResume();
        logWarning(QStringLiteral("%1 failed after %2 ms: networkError=%3, message=%4")
                       .arg(name())
                       .arg(elapsed)
                       .arg(int(reply->error()))
                       .arg(reply->errorString()));
        finish(DownloadResult::NetworkFailure,
               QStringLiteral("Unable to download release data: %1").arg(reply->errorString()));
        return;
    }
    if (httpFailure) {
        if ((status == 404 || status >= 500) &&
            tryNextHost(QStringLiteral("HTTP %1").arg(status), false))
            return;
        discardPart();
        logRefusedRedirect(reply, name());
        logWarning(QStringLiteral("%1 failed after %2 ms: HTTP %3, body=%4")
                       .arg(name())
                       .arg(elapsed)
                       .arg(status)
                       .arg(replyBodyPreview(QByteArray())));
        finish(DownloadResult::HttpFailure,
               QStringLiteral("Release service returned HTTP %1.").arg(status), status);
        return;
    }

    finishedSha256 = sha256Finish(digest);
    if (!expectedSha256.isEmpty() &&
        QString::compare(finishedSha256, expectedSha256, Qt::CaseInsensitive) != 0 &&
        tryNextHost(QStringLiteral("SHA-256 %1, expected %2").arg(finishedSha256, expectedSha256),
                    false))
        return;
    route.answered(name());
    QFile::remove(resumeStatePath(partPath));
    // QFile::rename does not overwrite, so a file left by an earlier download goes first.
    QFile::remove(targetPath);
    if (!QFile::rename(partPath, targetPath)) {
        QFile::remove(partPath);
        finish(DownloadResult::FileFailure,
               QStringLiteral("Unable to finalize downloaded file: %1").arg(targetPath));
        return;
    }
    logInfo(
        QStringLiteral("%1 downloaded after %2 ms: %3").arg(name()).arg(elapsed).arg(targetPath));
    finish(DownloadResult::Downloaded, QString(), status);
}

std::shared_ptr<GrowingFile> DownloadJob::followPart()
{
    if (!follower)
        follower = std::make_shared<GrowingFile>(partPath);
    return follower;
}

void DownloadJob::cutPartBack()
{
    file->resize(0);
    offset = written = 0;
    digest = sha256Begin();
    if (follower)
        follower->restart();
}

// Whoever follows the part reads what is on disk, not in QFile's buffer.
void DownloadJob::partGrew()
{
    if (follower && file->flush())
        follower->grow(written);
}

void DownloadJob::keepPartForResume()
{
    ResumeState state = loadResumeState(resumeStatePath(partPath));
    const qint64 size = QFileInfo(partPath).size();
    if (resumeValidator(state).isEmpty() || size <= 0) {
        discardPart();
        return;
    }
    state.bytes = size;
    saveResumeState(resumeStatePath(partPath), state);
    logInfo(QStringLiteral("Kept %1 bytes of %2 to resume").arg(size).arg(partPath));
}

void DownloadJob::discardPart()
{
    QFile::remove(partPath);
    QFile::remove(resumeStatePath(partPath));
}

void DownloadJob::finish(DownloadResult::Outcome outcome, const QString &message, int status)
{
    if (done)
        return;
    done = true;
    if (reply) {
        reply->disconnect(this);
        reply->deleteLater();
        reply = nullptr;
    }
    DownloadResult result;
    result.outcome = outcome;
    result.message = message;
    result.httpStatus = status;
    result.bytesExceeded = bytesExceeded;
    result.targetPath = targetPath;
    if (outcome == DownloadResult::Downloaded)
        result.sha256 = finishedSha256;
    Q_EMIT finished(result);
}

// The same path on the next host, from its first byte: what this host sent
// is dropped, in place, so that whoever follows the part reads the new bytes.
bool DownloadJob::tryNextHost(const QString &reason, bool unreachable)
{
    if (!route.moveOn(reason, unreachable))
        return false;
    if (reply) {
        reply->disconnect(this);
        reply->deleteLater();
        reply = nullptr;
    }
    stopReason.clear();
    bytesExceeded = false;
    QFile::remove(resumeStatePath(partPath));
    offset = written = unsentToDisk = 0;
    digest = sha256Begin();
    file = new QFile(partPath, this);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        const QString error = file->errorString();
        delete file;
        file = nullptr;
        finish(DownloadResult::FileFailure,
               QStringLiteral("Unable to write download file: %1").arg(error));
        return true;
    }
    if (follower)
        follower->restart();
    Q_EMIT progress(0, -1);
    sendRequest(QByteArray());
    return true;
}

void DownloadJob::cancel()
{
    if (done)
        return;
    done = true;
    cancelHashing->store(true);
    if (paceTimer)
        paceTimer->stop();
    if (reply) {
        // Disconnected, then deleted, which stops its request: it reports
        // nothing to anyone. An abort could be a second error after one
        // already on its way, which Qt warns about.
        reply->disconnect(this);
        reply->deleteLater();
        reply = nullptr;
    }
    // Closing leaves the part on disk; the next download of the same artifact
    // continues or replaces it.
    delete file;
    file = nullptr;
}

QString checkDownloadedDigest(const DownloadResult &result, const QString &expectedSha256,
                              const QString &label)
{
    // The digest of the download itself was computed as its bytes were written.
    QString error;
    const QString actual =
        result.sha256.isEmpty() ? fileSha256Hex(result.targetPath, &error) : result.sha256;
    if (actual.isEmpty())
        return error;
    if (QString::compare(actual, expectedSha256.trimmed(), Qt::CaseInsensitive) == 0)
        return QString();
    QFile::remove(result.targetPath);
    return QStringLiteral("%1 checksum mismatch. Expected %2, received %3.")
        .arg(label, expectedSha256, actual);
}
