#include "install/zipextract.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <zip.h>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {
constexpr qint64 kExtractChunkBytes = 1 << 20;
constexpr quint32 kDosDirectoryAttribute = 0x10;

bool fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}

// Streams one entry into target through Qt, checking that the bytes add up
// to the recorded size; libzip checks the CRC-32 when the entry is read to its end.
bool extractEntryToFile(zip_t *archive, zip_uint64_t index, const QString &target,
                        QByteArray &chunk)
{
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, index, 0, &stat) != 0)
        return false;
    zip_file_t *entry = zip_fopen_index(archive, index, 0);
    if (!entry)
        return false;

    QFile file(target);
    bool ok = file.open(QIODevice::WriteOnly);
    zip_uint64_t total = 0;
    // An entry never gets more bytes on disk than the archive records for it:
    // a deflated stream that claims a few bytes can inflate to gigabytes, and
    // libzip would hand them all over before the CRC-32 shows the lie.
    const bool sizeKnown = stat.valid & ZIP_STAT_SIZE;
    while (ok) {
        const zip_int64_t read = zip_fread(entry, chunk.data(), zip_uint64_t(chunk.size()));
        if (read < 0) {
            ok = false;
            break;
        }
        if (read == 0)
            break;
        total += zip_uint64_t(read);
        if (sizeKnown && total > stat.size) {
            ok = false;
            break;
        }
        if (file.write(chunk.constData(), read) != read)
            ok = false;
    }
    if (zip_fclose(entry) != 0)
        ok = false;
    if (ok && sizeKnown && total != stat.size)
        ok = false;
    if (ok && !file.flush())
        ok = false;
    file.close();
    return ok && file.error() == QFileDevice::NoError;
}

#ifdef Q_OS_UNIX
// A regular file made on Unix gets its recorded permission bits (never
// setuid, setgid or sticky); anything else keeps the default permissions.
void applyUnixPermissions(zip_t *archive, zip_uint64_t index, const QString &target)
{
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0 ||
        system != ZIP_OPSYS_UNIX)
        return;
    const mode_t mode = mode_t(attributes >> 16);
    if (!S_ISREG(mode))
        return;
    ::chmod(QFile::encodeName(target).constData(), mode & 0777);
}
#endif
} // namespace

bool isSafeZipEntryName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.contains(QLatin1Char(':')))
        return false;
    const QStringList parts = name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return false;
    for (const QString &part : parts) {
        if (part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

bool isInsideDirectory(const QString &root, const QString &path)
{
    const QString cleanRoot = QDir::cleanPath(QFileInfo(root).absoluteFilePath());
    const QString cleanPath = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    return cleanPath == cleanRoot || cleanPath.startsWith(cleanRoot + QLatin1Char('/'));
}

bool extractZipPayload(const QString &zipPath, const QString &destination, QString *error)
{
    int openError = 0;
    zip_t *archive = zip_open(QDir::toNativeSeparators(zipPath).toLocal8Bit().constData(),
                              ZIP_RDONLY, &openError);
    if (!archive)
        return fail(error, QStringLiteral("Unable to open zip payload: %1.").arg(zipPath));

    // Closes the archive before the message is produced, on every path.
    auto closeAndFail = [&](const QString &message) {
        zip_discard(archive);
        return fail(error, message);
    };

    QDir destinationDir(destination);
    if (!destinationDir.exists() && !QDir().mkpath(destination))
        return closeAndFail(
            QStringLiteral("Unable to create extraction directory: %1.").arg(destination));

    const QString root = QFileInfo(destination).absoluteFilePath();
    // One buffer for every entry: an archive of many small files would
    // otherwise allocate a megabyte per file.
    QByteArray chunk(kExtractChunkBytes, Qt::Uninitialized);
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const zip_uint64_t index = zip_uint64_t(i);
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive, index, ZIP_FL_ENC_RAW, &stat) != 0 ||
            !(stat.valid & ZIP_STAT_NAME))
            return closeAndFail(
                QStringLiteral("Unable to inspect zip entry %1.").arg(quint64(index)));

        const QByteArray rawName(stat.name);
        QString name =
            QString::fromUtf8(rawName).replace(QLatin1Char('\\'), QLatin1Char('/')).trimmed();

        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        zip_file_get_external_attributes(archive, index, 0, &system, &attributes);
        const bool isDirectory = rawName.endsWith('/') || (attributes & kDosDirectoryAttribute);
        if (isDirectory && name.endsWith(QLatin1Char('/')))
            name.chop(1);

        if (!isSafeZipEntryName(name))
            return closeAndFail(QStringLiteral("Unsafe zip entry path: %1.").arg(name));
        const QString target = destinationDir.absoluteFilePath(name);
        if (!isInsideDirectory(root, target))
            return closeAndFail(
                QStringLiteral("Zip entry escapes extraction directory: %1.").arg(name));

        if (isDirectory) {
            if (!QDir().mkpath(target))
                return closeAndFail(
                    QStringLiteral("Unable to create zip directory: %1.").arg(target));
            continue;
        }
        const QString parent = QFileInfo(target).absolutePath();
        if (!QDir().mkpath(parent))
            return closeAndFail(
                QStringLiteral("Unable to create zip entry directory: %1.").arg(parent));
        if (!extractEntryToFile(archive, index, target, chunk))
            return closeAndFail(QStringLiteral("Unable to extract zip entry: %1.").arg(name));
#ifdef Q_OS_UNIX
        applyUnixPermissions(archive, index, target);
#endif
    }
    zip_discard(archive);
    return true;
}
