#include "platform/filelinks.h"

#include <QDir>
#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#endif

namespace {
constexpr qint64 kChunkBytes = 1 << 20;
} // namespace

bool copyFileContents(const QString &source, const QString &target)
{
    QFile in(source);
    QFile out(target);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
#ifdef Q_OS_LINUX
    qint64 left = in.size();
    while (left > 0) {
        const ssize_t copied =
            ::copy_file_range(in.handle(), nullptr, out.handle(), nullptr, size_t(left), 0);
        if (copied <= 0)
            break;
        left -= copied;
    }
    if (left == 0)
        return true;
    // Not supported here: start again the ordinary way.
    if (!in.seek(0) || !out.resize(0) || !out.seek(0))
        return false;
#endif
    QByteArray chunk(kChunkBytes, Qt::Uninitialized);
    for (qint64 read; (read = in.read(chunk.data(), chunk.size())) > 0;) {
        if (out.write(chunk.constData(), read) != read)
            return false;
    }
    return in.error() == QFileDevice::NoError && out.flush();
}

#ifdef Q_OS_WIN
bool cloneFile(const QString &, const QString &, bool *unsupported)
{
    // Block cloning exists only on ReFS and Dev Drives.
    *unsupported = true;
    return false;
}

bool hardLinkFile(const QString &source, const QString &target)
{
    return CreateHardLinkW(
        reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(target).utf16()),
        reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(source).utf16()), nullptr);
}

bool hasExecuteBits()
{
    return false;
}

void setExecutable(const QString &, bool) {}

void addOwnerExecute(const QString &) {}

void applyPermissionBits(const QString &, uint) {}
#else
bool cloneFile(const QString &source, const QString &target, bool *unsupported)
{
#ifdef Q_OS_LINUX
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(QFile::encodeName(target).constData(),
                           O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool cloned = in >= 0 && out >= 0 && ::ioctl(out, FICLONE, in) == 0;
    const int why = errno;
    if (in >= 0)
        ::close(in);
    if (out >= 0)
        ::close(out);
    if (cloned)
        return true;
    if (out >= 0)
        ::unlink(QFile::encodeName(target).constData());
    if (why == EOPNOTSUPP || why == EXDEV || why == EINVAL || why == ENOTTY)
        *unsupported = true;
    return false;
#else
    Q_UNUSED(source);
    Q_UNUSED(target);
    *unsupported = true;
    return false;
#endif
}

bool hardLinkFile(const QString &source, const QString &target)
{
    return ::link(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) ==
           0;
}

bool hasExecuteBits()
{
    return true;
}

void setExecutable(const QString &path, bool executable)
{
    const QFileDevice::Permissions base = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ReadGroup | QFileDevice::ReadOther;
    const QFileDevice::Permissions exec =
        QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    QFile::setPermissions(path, executable ? base | exec : base);
}

void addOwnerExecute(const QString &path)
{
    const QFileDevice::Permissions permissions = QFile::permissions(path);
    if (!(permissions & QFileDevice::ExeOwner))
        QFile::setPermissions(path, permissions | QFileDevice::ExeOwner);
}

void applyPermissionBits(const QString &path, uint mode)
{
    ::chmod(QFile::encodeName(path).constData(), mode_t(mode & 0777));
}
#endif
