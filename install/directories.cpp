#include "install/directories.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

bool removeDirectoryIfPresent(const QString &path, QString *error)
{
    const QFileInfo info(path);
    if (!info.isDir())
        return true;
    // A link to a folder is removed itself: following it would empty a folder
    // that is not ours.
    const bool removed = info.isSymLink() ? QFile::remove(path) : QDir(path).removeRecursively();
    if (removed)
        return true;
    if (error)
        *error = QStringLiteral("Unable to remove directory: %1.").arg(path);
    return false;
}
