#include "storage/unsyncedfile.h"

#include <QFileDevice>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

#include <QFile>
#include <QRandomGenerator>

#include <cstdio>

bool replaceFileUnsynced(const QString &path, const QByteArray &content, QString *error)
{
    const QString temporary =
        QStringLiteral("%1.%2.tmp")
            .arg(path)
            .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    QFile out(temporary);
    if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size() || !out.flush()) {
        if (error)
            *error = QStringLiteral("Unable to write '%1': %2.").arg(path, out.errorString());
        out.remove();
        return false;
    }
    out.close();
    // QFile::rename never overwrites; rename(2) replaces the old file in one
    // step. Windows has no such step: the old file goes first.
#ifdef Q_OS_WIN
    QFile::remove(path);
    const bool renamed = QFile::rename(temporary, path);
#else
    const bool renamed = std::rename(QFile::encodeName(temporary).constData(),
                                     QFile::encodeName(path).constData()) == 0;
#endif
    if (!renamed) {
        if (error)
            *error = QStringLiteral("Unable to write '%1'.").arg(path);
        QFile::remove(temporary);
        return false;
    }
    return true;
}

void startWriteBack(QFileDevice &file)
{
    file.flush();
#ifdef Q_OS_LINUX
    if (file.handle() >= 0)
        ::sync_file_range(file.handle(), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}
