#include "base/logging.h"

#include <QDate>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QStandardPaths>

namespace {
// Both live for the whole process; the handler may run on any thread.
QString logFilePath;
QMutex logMutex;
} // namespace

QString resolveLogFilePathIn(const QString &base)
{
    QDir dir(base.isEmpty() ? QDir::tempPath() : base);
    dir.mkpath(QStringLiteral("logs"));
    // When "logs" cannot be made the file goes straight into the base folder.
    dir.cd(QStringLiteral("logs"));
    const QString today = QDate::currentDate().toString(Qt::ISODate);
    return dir.filePath(QStringLiteral("IvraLauncher-%1.log").arg(today));
}

QString resolveLogFilePath()
{
    return resolveLogFilePathIn(
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
}

QString currentLogFilePath()
{
    return logFilePath;
}

void fileLogMessageHandler(QtMsgType type, const QMessageLogContext &context,
                           const QString &message)
{
    const QString text = qFormatLogMessage(type, context, message);
    QMutexLocker locker(&logMutex);
    // Opened per message so that no handle stays open and a deleted file comes back.
    QFile file(logFilePath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        file.write(text.toUtf8());
        file.write("\n");
    }
}

void installFileLogging()
{
    logFilePath = resolveLogFilePath();
    qSetMessagePattern(QStringLiteral("%{time yyyy-MM-dd hh:mm:ss.zzz} %{type} %{message}"));
    qInstallMessageHandler(fileLogMessageHandler);
}

void logInfo(const QString &message)
{
    qInfo().noquote() << message;
}

void logWarning(const QString &message)
{
    qWarning().noquote() << message;
}

QString countOf(qint64 count, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? one : many));
}
