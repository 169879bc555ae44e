// The demo client that the demo publishes: it records how it was started
// (program, working directory, arguments) in "<program>.started.json" beside
// itself and, on a display, shows a small window for a few seconds.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QSaveFile>
#include <QTimer>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList all = QCoreApplication::arguments();
    const QJsonObject record{{"program", QCoreApplication::applicationFilePath()},
                             {"workingDirectory", QDir::currentPath()},
                             {"arguments", QJsonArray::fromStringList(all.mid(1))}};
    QSaveFile file(QCoreApplication::applicationFilePath() + QStringLiteral(".started.json"));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(record).toJson());
        file.commit();
    }
    QLabel window(QStringLiteral("IVRA demo client is running.\nArguments: %1")
                      .arg(all.mid(1).join(QLatin1Char(' '))));
    window.setMargin(24);
    window.setWindowTitle(QStringLiteral("IVRA demo client"));
    window.show();
    QTimer::singleShot(qEnvironmentVariableIntValue("IVRA_DEMO_CLIENT_SECONDS") * 1000 + 5000, &app,
                       &QCoreApplication::quit);
    return app.exec();
}
