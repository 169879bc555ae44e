#include "install/directories.h"

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <unistd.h>
#endif

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

bool syncFileSystemOf(const QString &path)
{
#ifdef Q_OS_LINUX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::syncfs(fd) == 0;
    ::close(fd);
    return ok;
#else
    Q_UNUSED(path);
    return true;
#endif
}
