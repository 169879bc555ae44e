#include "ui/mainwindow.h"

#include "storage/paths.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>

void MainWindow::startGatewayUpdate()
{
    const QUrl url = QUrl::fromUserInput(gatewayRelease.installerUrl);
    if (!isUsableUrl(url)) {
        showFailure(QStringLiteral("Gateway update installer URL is invalid."), false);
        return;
    }
    const QString fileName = QStringLiteral("IvraGateway_%1_%2_Setup.exe")
                                 .arg(gatewayRelease.edition, gatewayRelease.latestVersion);
    const QString target =
        QDir(downloadsPath()).absoluteFilePath(QStringLiteral("gateway/%1").arg(fileName));
    ui->statusLabel->setText(QStringLiteral("Updating IVRA ENGINE 2.0 Beta..."));
    startDownload(url, target, RequestPurpose::GatewayInstaller);
}

void MainWindow::onGatewayInstallerDownloaded()
{
    if (!verifyDownloadedFile(downloadTargetPath, gatewayRelease.installerSha256,
                              QStringLiteral("Gateway installer")))
        return;
    ui->statusLabel->setText(QStringLiteral("Installing the IVRA ENGINE 2.0 Beta update..."));
#ifndef Q_OS_WIN
    // A download carries no execute bit; only the verified file gets one.
    QFile::setPermissions(downloadTargetPath,
                          QFile::permissions(downloadTargetPath) | QFileDevice::ExeOwner);
#endif
    saveAcceptedTimestamps();
    if (QProcess::startDetached(downloadTargetPath, {QStringLiteral("/SP-")}, QString())) {
        QCoreApplication::quit();
        return;
    }
    showFailure(QStringLiteral("Unable to start Gateway installer: %1").arg(downloadTargetPath),
                true);
}
