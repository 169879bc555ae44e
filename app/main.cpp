#include "base/logging.h"
#include "base/processstart.h"
#include "pass/instanceguard.h"
#include "pass/launcherupdate.h"
#include "pass/updatepass.h"
#include "storage/paths.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QMessageBox>
#include <QNetworkProxyFactory>
#include <QTimer>

int main(int argc, char **argv)
{
    // Before anything can change them: a launcher update starts its new build with these.
    rememberProcessStart(argc, argv);
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("IVRA Labs"));
    QCoreApplication::setApplicationName(QStringLiteral("IvraLauncher"));
    // The log folder is derived from the two names above, so this comes after them.
    installFileLogging();
    // The machine's proxy settings (https_proxy, http_proxy, no_proxy on Linux;
    // the system settings on Windows), as behind a corporate proxy.
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    qInfo().noquote() << QStringLiteral("IVRA Launcher started.");
    qInfo().noquote() << QStringLiteral("Logging mode: file only.");
    qInfo().noquote() << QStringLiteral("Log file: %1").arg(currentLogFilePath());

    // A second launcher on the same data folder would run a second pass over
    // the same downloads, staging folder and state file.
    InstanceGuard guard(dataRootPath());
    // The new build of a launcher update asks the launcher that started it for the data folder.
    switch (guard.acquire(true, !startHealthFile().isEmpty())) {
    case InstanceGuard::Outcome::AnotherAnswered:
        qInfo().noquote() << QStringLiteral("The launcher already running came to the front.");
        return 0;
    case InstanceGuard::Outcome::AnotherRuns:
    case InstanceGuard::Outcome::LockedOut: {
        const QString message = guard.lockedOutMessage().isEmpty()
                                    ? QStringLiteral("IVRA Gateway is already running.")
                                    : guard.lockedOutMessage();
        qWarning().noquote() << message;
        // Started by a launcher update: the launcher that started it says what happened.
        if (!startHealthFile().isEmpty())
            return LauncherUpdate::kLockedOutExitCode;
        QMessageBox::information(nullptr, QStringLiteral("IVRA ENGINE 2.0 Beta"), message);
        return 0;
    }
    case InstanceGuard::Outcome::Acquired:
        break;
    }
    // Only a start that runs a pass counts: a per-user launcher whose last
    // three such starts never showed their window goes back to the previous build.
    const QString instead = countLauncherStart(QStringLiteral("IvraLauncher"));
    if (!instead.isEmpty()) {
        guard.release();
        runInstead(instead);
        guard.acquire(false);
    }
    guard.listen();

    MainWindow window;
    QObject::connect(&guard, &InstanceGuard::comeForwardRequested, &window, [&window] {
        window.showNormal();
        window.raise();
        window.activateWindow();
    });
    // The new build of a launcher update takes the data folder when it asks
    // for it (later starts come to this window meanwhile); should it not
    // start, this one keeps it, or takes it back, and goes on.
    QObject::connect(window.updatePass(), &UpdatePass::launcherHandingOver, &guard,
                     &InstanceGuard::handOver);
    QObject::connect(window.updatePass(), &UpdatePass::launcherKept, &guard, [&guard] {
        if (guard.keep() || guard.acquire(false) == InstanceGuard::Outcome::Acquired) {
            guard.listen();
            return;
        }
        // Another launcher took the data folder meanwhile: it runs the pass.
        qWarning().noquote() << QStringLiteral("IVRA Gateway is already running.");
        QCoreApplication::exit(0);
    });
    window.show();
    // Healthy once the window shows its first status.
    QTimer::singleShot(0, &window, &reportLauncherHealthy);
    return application.exec();
}
