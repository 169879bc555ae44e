#include "install/fileidentity.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
#ifdef Q_OS_WIN
// FILETIME counts 100 ns ticks since 1601; the rest of the launcher thinks in
// Unix nanoseconds.
qint64 unixNanoseconds(const FILETIME &time)
{
    const qint64 ticks = (qint64(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return (ticks - 116444736000000000LL) * 100;
}

FileIdentity identityOfHandle(HANDLE handle)
{
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandle(handle, &info) ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return identity;
    identity.exists = true;
    identity.regular =
        !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    identity.device = info.dwVolumeSerialNumber;
    identity.inode = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    identity.size = (qint64(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    identity.mtimeNs = unixNanoseconds(info.ftLastWriteTime);
    FILETIME change;
    change.dwLowDateTime = DWORD(basic.ChangeTime.LowPart);
    change.dwHighDateTime = DWORD(basic.ChangeTime.HighPart);
    identity.ctimeNs = unixNanoseconds(change);
    return identity;
}
#else
FileIdentity identityOfStatus(const struct stat &status)
{
    FileIdentity identity;
    identity.exists = true;
    identity.regular = S_ISREG(status.st_mode);
    identity.device = quint64(status.st_dev);
    identity.inode = quint64(status.st_ino);
    identity.size = qint64(status.st_size);
    identity.mtimeNs = qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    identity.ctimeNs = qint64(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
    identity.executable = status.st_mode & S_IXUSR;
    return identity;
}
#endif
} // namespace

FileIdentity fileIdentity(const QString &path)
{
#ifdef Q_OS_WIN
    // Read through an open handle: a directory listing may show stale sizes
    // and times for other links of a file.
    HANDLE handle =
        CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                    FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return FileIdentity();
    const FileIdentity identity = identityOfHandle(handle);
    CloseHandle(handle);
    return identity;
#else
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return FileIdentity();
    return identityOfStatus(status);
#endif
}

FileIdentity fileIdentity(const QFileDevice &file)
{
    if (file.handle() < 0)
        return FileIdentity();
#ifdef Q_OS_WIN
    return identityOfHandle(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle())));
#else
    struct stat status;
    if (::fstat(file.handle(), &status) != 0)
        return FileIdentity();
    return identityOfStatus(status);
#endif
}

qint64 fileSystemNowNs(const QString &folder)
{
#ifdef Q_OS_LINUX
    // A file with no name: nothing is left behind, whenever the process dies.
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        struct stat status;
        const bool written = ::write(fd, "x", 1) == 1 && ::fstat(fd, &status) == 0;
        ::close(fd);
        if (written)
            return qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    }
#endif
    const QString stamp = QDir(folder).absoluteFilePath(
        QStringLiteral(".stamp-%1")
            .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
    QFile file(stamp);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write("x", 1) != 1) {
        file.remove();
        return -1;
    }
    file.close();
    const qint64 now = fileIdentity(stamp).mtimeNs;
    file.remove();
    return now;
}

qint64 fileSystemTimeAfterNow(const QString &folder)
{
    const qint64 first = fileSystemNowNs(folder);
    QElapsedTimer waited;
    waited.start();
    while (first >= 0 && waited.elapsed() < 100) {
        const qint64 now = fileSystemNowNs(folder);
        if (now > first)
            return now;
        QThread::usleep(500);
    }
    return first;
}
