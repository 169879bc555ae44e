#include "ui/mainwindow.h"

#include "app/logging.h"
#include "net/filedigest.h"
#include "net/releaserequest.h"
#include "ui_mainwindow.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

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

void MainWindow::startDownload(const QUrl &url, const QString &targetPath, RequestPurpose purpose)
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
    QFile::remove(downloadPartPath);

    delete downloadFile;
    downloadFile = new QFile(downloadPartPath);
    if (!downloadFile->open(QIODevice::WriteOnly)) {
        const QString error = downloadFile->errorString();
        delete downloadFile;
        downloadFile = nullptr;
        showFailure(QStringLiteral("Unable to write download file: %1").arg(error), true);
        return;
    }

    ui->progressBar->show();
    ui->progressBar->setRange(0, 0);

    QNetworkReply *reply = networkManager->get(releaseRequest(url));
    tagReply(reply, purpose);
    downloadReply = reply;
    // Bounds what the network thread may queue ahead of the disk, so memory
    // stays flat however large the artifact is.
    reply->setReadBufferSize(kDownloadReadBufferBytes);
    // Artifacts go straight to disk as they arrive; they are never held whole in memory.
    connect(reply, &QIODevice::readyRead, this, [this, reply]() {
        if (reply == downloadReply && downloadFile)
            downloadFile->write(reply->readAll());
    });
    connect(reply, &QNetworkReply::downloadProgress, this, &MainWindow::onDownloadProgress);
    watchForStall(reply, url.toString(QUrl::RemovePassword));
}

void MainWindow::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
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
    QString error;
    const QString actual = fileSha256Hex(path, &error);
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
