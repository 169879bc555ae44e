#include "ui/mainwindow.h"

#include "app/logging.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

void MainWindow::setLaunchTarget(const QString &executablePath)
{
    launchExecutablePath = executablePath;
    launchArguments = clientRelease.launchArgs;
    launchWorkingDirectory = QFileInfo(executablePath).absolutePath();
}

void MainWindow::onLaunchClicked()
{
    if (launchExecutablePath.isEmpty()) {
        showFailure(QStringLiteral("IVRA is not ready to launch."), true);
        return;
    }
    // One start per click sequence: a double click must not start the client twice.
    ui->launchButton->setEnabled(false);
#ifndef Q_OS_WIN
    // Packages made on Windows or by jar record no execute bit; the launch file needs one.
    QFile::setPermissions(launchExecutablePath,
                          QFile::permissions(launchExecutablePath) | QFileDevice::ExeOwner);
#endif
    logInfo(QStringLiteral("Launching client: %1").arg(launchExecutablePath));
    if (QProcess::startDetached(launchExecutablePath, launchArguments, launchWorkingDirectory)) {
        QCoreApplication::quit();
        return;
    }
    showFailure(QStringLiteral("Unable to launch IVRA executable: %1").arg(launchExecutablePath),
                true);
}
