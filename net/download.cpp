#include "ui/mainwindow.h"

#include "app/logging.h"
#include "net/filedigest.h"
#include "net/releaserequest.h"
#include "net/resume.h"
#include "ui_mainwindow.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <memory>

namespace {
constexpr qint64 kDownloadReadBufferBytes = 1024 * 1024;

void watchForStall(QNetworkReply *reply, const QString &urlText)
{
    // Qt sets no transfer time-out; the abort ends the download through the
    // dispatcher's network-error path, as a manifest time-out does.
    auto received = std::make_shared<qint64>(0);
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [received](qint64 bytes, qint64) { *received = bytes; });
    auto *watchdog = new QTimer(reply);
    QObject::connect(watchdog, &QTimer::timeout, reply,
                     [reply, received, urlText, checked = qint64(0)]() mutable {
                         if (!reply->isRunning())
                             return;
                         if (*received - checked >= kDownloadStallMinimumBytes) {
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

void MainWindow::startDownload(const QUrl &url, const QString &targetPath, RequestPurpose purpose,
                               qint64 declaredSize)
{
    // Aborting finishes the running reply at once, through the dispatcher.
    if (downloadReply && downloadReply->isRunning())
        downloadReply->abort();

    const QString directory = QFileInfo(targetPath).absolutePath();
    if (!QDir().mkpath(directory)) {
        showFailure(QStringLiteral("Unable to create download directory: %1").arg(directory), true);
        return;
    }
    downloadTargetPath = targetPath;
    downloadPartPath = targetPath + QStringLiteral(".part");
    downloadDeclaredSize = declaredSize;
    downloadPurpose = int(purpose);
    downloadFailure.clear();
    downloadBytesExceeded = false;
    downloadSha256.clear();
    const QString urlText = url.toString(QUrl::RemovePassword);
    const ResumeState resume = loadResumeState(resumeStatePath(downloadPartPath));
    downloadOffset =
        resumableOffset(resume, urlText, QFileInfo(downloadPartPath).size(), declaredSize);
    if (downloadOffset == 0)
        discardPart();
    downloadWritten = downloadOffset;

    delete downloadFile;
    downloadFile = new QFile(downloadPartPath);
    if (!downloadFile->open(downloadOffset > 0 ? QIODevice::Append : QIODevice::WriteOnly)) {
        const QString error = downloadFile->errorString();
        delete downloadFile;
        downloadFile = nullptr;
        showFailure(QStringLiteral("Unable to write download file: %1").arg(error), true);
        return;
    }

    ui->progressBar->show();
    ui->progressBar->setRange(0, 0);
    if (downloadOffset == 0) {
        downloadHash = sha256Begin();
        sendDownloadRequest(url, purpose, QByteArray());
        return;
    }
    logInfo(QStringLiteral("Resuming %1 from byte %2: %3")
                .arg(requestPurposeName(int(purpose)))
                .arg(downloadOffset)
                .arg(urlText));
    // What is already on disk is hashed first, off the window's thread; the
    // request for the rest goes out when that is done.
    const QString part = downloadPartPath;
    const qint64 bytes = downloadOffset;
    auto progress = workerProgress;
    auto *watcher = new QFutureWatcher<Sha256Stream>(this);
    connect(watcher, &QFutureWatcherBase::finished, this,
            [this, watcher, url, purpose, part, validator = resumeValidator(resume)]() {
                watcher->deleteLater();
                if (part != downloadPartPath || !downloadFile)
                    return; // another download took over meanwhile
                downloadHash = watcher->result();
                if (!downloadHash.context) {
                    // The part could not be read back: start again from zero.
                    downloadFile->resize(0);
                    downloadOffset = downloadWritten = 0;
                    downloadHash = sha256Begin();
                    sendDownloadRequest(url, purpose, QByteArray());
                    return;
                }
                sendDownloadRequest(url, purpose, validator);
            });
    const QFuture<Sha256Stream> hashed = QtConcurrent::run([part, bytes, progress]() {
        Sha256Stream stream = sha256Begin();
        if (!sha256AddFile(stream, part, bytes, nullptr, &progress->cancelled))
            stream.context.reset();
        return stream;
    });
    workerDone = QFuture<void>(hashed);
    watcher->setFuture(hashed);
}

void MainWindow::sendDownloadRequest(const QUrl &url, RequestPurpose purpose,
                                     const QByteArray &validator)
{
    QNetworkRequest request = releaseRequest(url);
    if (downloadOffset > 0) {
        // The rest only if the file is still the one the part came from; else the whole.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(downloadOffset) + "-");
        request.setRawHeader("If-Range", validator);
    }
    downloadAnswered = false;
    QNetworkReply *reply = networkManager->get(request);
    tagReply(reply, purpose);
    downloadReply = reply;
    // Bounds what the network thread may queue ahead of the disk, so memory
    // stays flat however large the artifact is.
    reply->setReadBufferSize(kDownloadReadBufferBytes);
    // Artifacts go straight to disk as they arrive; they are never held whole in memory.
    connect(reply, &QIODevice::readyRead, this, [this, reply]() { consumeDownloadData(reply); });
    connect(reply, &QNetworkReply::downloadProgress, this, &MainWindow::onDownloadProgress);
    watchForStall(reply, url.toString(QUrl::RemovePassword));
}

bool MainWindow::consumeDownloadData(QNetworkReply *reply)
{
    if (reply != downloadReply || !downloadFile || !downloadFailure.isEmpty())
        return false;
    if (!downloadAnswered && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
        downloadAnswered = true;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (downloadOffset > 0 && status != 206) {
            // The server ignored the range or the file changed: the answer is the whole file.
            logInfo(QStringLiteral("%1 did not resume (HTTP %2): starting again from byte 0")
                        .arg(requestPurposeName(reply->property(kRequestPurposeProperty).toInt()))
                        .arg(status));
            downloadFile->resize(0);
            downloadOffset = downloadWritten = 0;
            downloadHash = sha256Begin();
        }
        if (status >= 200 && status <= 299) {
            ResumeState state = loadResumeState(resumeStatePath(downloadPartPath));
            if (status != 206 || state.url != reply->request().url().toString(QUrl::RemovePassword))
                state = ResumeState();
            state.url = reply->request().url().toString(QUrl::RemovePassword);
            if (reply->hasRawHeader("ETag"))
                state.etag = reply->rawHeader("ETag");
            if (reply->hasRawHeader("Last-Modified"))
                state.lastModified = reply->rawHeader("Last-Modified");
            state.bytes = downloadOffset;
            saveResumeState(resumeStatePath(downloadPartPath), state);
        }
    }
    const QByteArray data = reply->readAll();
    if (data.isEmpty())
        return true;
    downloadWritten += data.size();
    // A host that sends more than the manifest declares is stopped at once,
    // before it can fill the disk.
    if (downloadDeclaredSize > 0 && downloadWritten > downloadDeclaredSize) {
        downloadBytesExceeded = true;
        downloadFailure =
            QStringLiteral(
                "Downloaded IVRA client size mismatch. Expected %1 bytes, received %2 bytes.")
                .arg(downloadDeclaredSize)
                .arg(downloadWritten);
        reply->abort();
        return false;
    }
    if (downloadFile->write(data) != data.size()) {
        downloadFailure =
            QStringLiteral("Unable to write download file: %1").arg(downloadFile->errorString());
        reply->abort();
        return false;
    }
    sha256Add(downloadHash, data.constData(), data.size());
    return true;
}

bool MainWindow::keepPartForResume()
{
    ResumeState state = loadResumeState(resumeStatePath(downloadPartPath));
    const qint64 size = QFileInfo(downloadPartPath).size();
    if (resumeValidator(state).isEmpty() || size <= 0) {
        discardPart();
        return false;
    }
    state.bytes = size;
    saveResumeState(resumeStatePath(downloadPartPath), state);
    logInfo(QStringLiteral("Kept %1 bytes of %2 to resume").arg(size).arg(downloadPartPath));
    return true;
}

void MainWindow::discardPart()
{
    QFile::remove(downloadPartPath);
    QFile::remove(resumeStatePath(downloadPartPath));
}

void MainWindow::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // Objects of a differential update: progress over all the bytes to fetch.
    if (downloadPurpose == int(RequestPurpose::ClientObject) && objectBytesTotal > 0) {
        ui->progressBar->setRange(0, 100);
        ui->progressBar->setValue(
            int(qMin<qint64>(100, (objectBytesDone + bytesReceived) * 100 / objectBytesTotal)));
        return;
    }
    if (bytesTotal <= 0) {
        ui->progressBar->setRange(0, 0);
        return;
    }
    ui->progressBar->setRange(0, 100);
    ui->progressBar->setValue(int(bytesReceived * 100 / bytesTotal));
}

bool MainWindow::verifyDownloadedFile(const QString &path, const QString &expectedSha256,
                                      const QString &label)
{
    // The digest of the download itself was computed as its bytes were written.
    QString error;
    const QString actual = path == downloadTargetPath && !downloadSha256.isEmpty()
                               ? downloadSha256
                               : fileSha256Hex(path, &error);
    if (actual.isEmpty()) {
        showFailure(error, true);
        return false;
    }
    if (QString::compare(actual, expectedSha256.trimmed(), Qt::CaseInsensitive) == 0)
        return true;
    QFile::remove(path);
    showFailure(QStringLiteral("%1 checksum mismatch. Expected %2, received %3.")
                    .arg(label, expectedSha256, actual),
                true);
    return false;
}
