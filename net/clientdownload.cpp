#include "ui/mainwindow.h"

#include "storage/paths.h"
#include "ui_mainwindow.h"

#include <QDir>
#include <QFileInfo>

void MainWindow::startClientDownload()
{
    // Only the files that changed, when the release has an index and an
    // earlier version is installed to take the others from.
    if (clientRelease.hasFileIndex && !differentialRefused &&
        !installedVersionFolders().isEmpty()) {
        startDifferentialUpdate();
        return;
    }
    const QUrl url = QUrl::fromUserInput(clientRelease.artifactUrl);
    if (!isUsableUrl(url)) {
        showFailure(QStringLiteral("IVRA client artifact URL is invalid."), false);
        return;
    }
    const QString fileName =
        QStringLiteral("%1_%2.zip").arg(clientRelease.product, clientRelease.latestVersion);
    const QString target =
        QDir(downloadsPath())
            .absoluteFilePath(QStringLiteral("%1/%2").arg(clientProductId, fileName));
    ui->statusLabel->setText(QStringLiteral("Downloading IVRA..."));
    startDownload(url, target, RequestPurpose::ClientZip, clientRelease.artifactSizeBytes);
}

void MainWindow::onClientPackageDownloaded()
{
    // The size comes first, so a short or overlong file is never hashed. 0 means no size given.
    const qint64 size = QFileInfo(downloadTargetPath).size();
    if (clientRelease.artifactSizeBytes > 0 && size != clientRelease.artifactSizeBytes) {
        showFailure(
            QStringLiteral(
                "Downloaded IVRA client size mismatch. Expected %1 bytes, received %2 bytes.")
                .arg(clientRelease.artifactSizeBytes)
                .arg(size),
            true);
        return;
    }
    if (!verifyDownloadedFile(downloadTargetPath, clientRelease.artifactSha256,
                              QStringLiteral("IVRA client zip")))
        return;
    ui->statusLabel->setText(QStringLiteral("Installing IVRA..."));
    installClientPackage(downloadTargetPath);
}
