#include "install/diskspace.h"

#include "net/transfermeter.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

QString diskSpaceProblem(const QString &folder, qint64 needed)
{
    // A first install has no data folder yet: its parent's file system will hold it.
    QString existing = QDir::cleanPath(QDir(folder).absolutePath());
    while (!QFileInfo(existing).exists() && existing != QFileInfo(existing).path())
        existing = QFileInfo(existing).path();
    const QStorageInfo storage(existing);
    if (!storage.isValid() || needed <= 0)
        return QString();
    const qint64 free = storage.bytesAvailable();
    if (free < 0 || free >= needed)
        return QString();
    return QStringLiteral("Not enough disk space: %1 needed in %2, %3 free.")
        .arg(readableBytes(needed), QDir::toNativeSeparators(folder), readableBytes(free));
}
