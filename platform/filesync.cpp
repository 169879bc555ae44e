#include "platform/filesync.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
namespace {
const wchar_t *wide(const QString &path)
{
    return reinterpret_cast<const wchar_t *>(path.utf16());
}

bool flushFile(const QString &path)
{
    const QString native = QDir::toNativeSeparators(path);
    HANDLE file = CreateFileW(wide(native), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool flushed = FlushFileBuffers(file);
    CloseHandle(file);
    return flushed;
}
} // namespace

void startWriteBack(QFileDevice &file)
{
    file.flush();
}

bool syncFileSystemOf(const QString &path)
{
    if (QFileInfo(path).isFile())
        return flushFile(path);
    bool all = true;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        all = flushFile(it.next()) && all;
    return all;
}

bool syncFolder(const QString &)
{
    return true;
}

bool renameOver(const QString &from, const QString &to)
{
    return MoveFileExW(wide(QDir::toNativeSeparators(from)), wide(QDir::toNativeSeparators(to)),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}
#else
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

void startWriteBack(QFileDevice &file)
{
    file.flush();
#ifdef Q_OS_LINUX
    if (file.handle() >= 0)
        ::sync_file_range(file.handle(), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

bool syncFileSystemOf(const QString &path)
{
#ifdef Q_OS_LINUX
    return syncOpened(path, O_RDONLY, [](int fd) { return ::syncfs(fd); });
#else
    Q_UNUSED(path);
    ::sync();
    return true;
#endif
}

bool syncFolder(const QString &path)
{
    return syncOpened(path, O_RDONLY | O_DIRECTORY, [](int fd) { return ::fsync(fd); });
}

bool renameOver(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}
#endif
