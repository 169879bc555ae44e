#pragma once

#include <QString>
#include <QtGlobal>

// Sends every Qt log message of the process to one file per day and nowhere else.
void installFileLogging();

// The log file in use, as the handler writes to it (empty before installation).
QString currentLogFilePath();

// The log file below the application-local data location, creating its folder.
QString resolveLogFilePath();

// The same for a given base folder; an empty base means the temporary folder.
QString resolveLogFilePathIn(const QString &base);

void fileLogMessageHandler(QtMsgType type, const QMessageLogContext &context,
                           const QString &message);

// Launcher log lines go through the Qt message log with quoting switched off,
// so the text reaches the file exactly as formatted.
void logInfo(const QString &message);
void logWarning(const QString &message);

// "1 file", "2 files": a count with its noun, for log lines and reports.
QString countOf(qint64 count, const char *one, const char *many);
