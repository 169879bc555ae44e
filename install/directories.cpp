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

#ifdef Q_OS_LINUX
namespace {
// Opens path and hands the descriptor to sync; false when either fails.
template <class Sync> bool syncOpened(const QString &path, int flags, Sync sync)
{
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = sync(fd) == 0;
    ::close(fd);
    return ok;
}
} // namespace

bool syncFileSystemOf(const QString &path)
{
    return syncOpened(path, O_RDONLY, [](int fd) { return ::syncfs(fd); });
}

bool syncFolder(const QString &path)
{
    return syncOpened(path, O_RDONLY | O_DIRECTORY, [](int fd) { return ::fsync(fd); });
}
#else
// Elsewhere the launcher relies on the system's own write-back.
bool syncFileSystemOf(const QString &)
{
    return true;
}

bool syncFolder(const QString &)
{
    return true;
}
#endif
