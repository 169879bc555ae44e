#include "storage/unsyncedfile.h"

#include "platform/filesync.h"

#include <QFile>
#include <QRandomGenerator>

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
    // QFile::rename never overwrites: the old file is replaced in one step.
    const bool renamed = renameOver(temporary, path);
    if (!renamed) {
        if (error)
            *error = QStringLiteral("Unable to write '%1'.").arg(path);
        QFile::remove(temporary);
        return false;
    }
    return true;
}
