#include "app/logging.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QNetworkProxyFactory>

int main(int argc, char **argv)
{
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

    MainWindow window;
    window.show();
    return application.exec();
}
