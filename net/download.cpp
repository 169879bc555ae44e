#include "ui/mainwindow.h"

#include "net/filedigest.h"
#include "net/releaserequest.h"
#include "ui_mainwindow.h"

namespace {
constexpr qint64 kDownloadReadBufferBytes = 1024 * 1024;
}

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>

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
