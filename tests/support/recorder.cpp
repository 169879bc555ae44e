// Stands in for the client and the Gateway installer: writes how it was
// started (working directory and each argument) to the file named by
// IVRA_RECORDER_OUTPUT, or beside itself as "<name>.started.json".
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QJsonArray arguments;
    const QStringList all = QCoreApplication::arguments();
    for (int i = 1; i < all.size(); ++i)
        arguments.append(all.at(i));
    const QJsonObject record{{"program", QFileInfo(all.value(0)).absoluteFilePath()},
                             {"workingDirectory", QDir::currentPath()},
                             {"arguments", arguments}};
    QString output = qEnvironmentVariable("IVRA_RECORDER_OUTPUT");
    if (output.isEmpty())
        output = QCoreApplication::applicationFilePath() + QStringLiteral(".started.json");
    QSaveFile file(output);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    file.write(QJsonDocument(record).toJson());
    return file.commit() ? 0 : 1;
}
