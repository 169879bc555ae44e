#include "install/diskspace.h"

#include "net/transfermeter.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <limits>

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

qint64 saturatingAdd(qint64 a, qint64 b)
{
    qint64 sum = 0;
    if (!__builtin_add_overflow(a, b, &sum))
        return sum;
    return b > 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
}

qint64 packageSpaceNeeded(qint64 size, qint64 arrived)
{
    if (size <= 0)
        return 0;
    return saturatingAdd(size - qBound<qint64>(0, arrived, size), size);
}

qint64 streamBudget(qint64 packageBytes, qint64 indexedBytes)
{
    if (indexedBytes >= 0)
        return indexedBytes;
    return packageBytes > 0 ? saturatingAdd(packageBytes, packageBytes) : 0;
}
