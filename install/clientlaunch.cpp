#include "ui/mainwindow.h"

#include <QCoreApplication>
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
    if (QProcess::startDetached(launchExecutablePath, launchArguments, launchWorkingDirectory)) {
        QCoreApplication::quit();
        return;
    }
    showFailure(QStringLiteral("Unable to launch IVRA executable: %1").arg(launchExecutablePath),
                true);
}
