#include "releasetool/packaging.h"

#include "install/parallel.h"
#include "net/filedigest.h"
#include "releasetool/objects.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <atomic>
#include <mutex>
#include <vector>

#include <sys/stat.h>
#include <zip.h>
#include <zstd.h>

namespace {
constexpr qint64 kChunkBytes = 1 << 20;
// A file whose first MiB zstd's fastest level shrinks by less than this is
// taken as incompressible: stored, never given to the slow levels.
constexpr double kCompressibleRatio = 0.97;
// Files at least this large are compressed by zstd's workers too.
constexpr qint64 kWorkersFrom = 8 << 20;
// Used when SOURCE_DATE_EPOCH is not set: 2020-01-01T00:00:00Z.
constexpr qint64 kFixedTimestamp = 1577836800;

// The digest, and whether the first MiB compresses at zstd's fastest level.
bool readFile(PackedFile &file, QString &error)
{
    QFile in(file.source);
    if (!in.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("Unable to read '%1': %2.").arg(file.source, in.errorString());
        return false;
    }
    Sha256Stream digest = sha256Begin();
    QByteArray chunk(kChunkBytes, Qt::Uninitialized);
    bool first = true;
    qint64 total = 0;
    for (qint64 read; (read = in.read(chunk.data(), chunk.size())) > 0;) {
        if (first) {
            QByteArray sample(qint64(ZSTD_compressBound(size_t(read))), Qt::Uninitialized);
            const size_t packed = ZSTD_compress(sample.data(), size_t(sample.size()),
                                                chunk.constData(), size_t(read), 1);
            file.compressible = !ZSTD_isError(packed) && packed < kCompressibleRatio * read;
            first = false;
        }
        sha256Add(digest, chunk.constData(), read);
        total += read;
    }
    if (in.error() != QFileDevice::NoError) {
        error = QStringLiteral("Unable to read '%1': %2.").arg(file.source, in.errorString());
        return false;
    }
    file.size = total;
    file.sha256 = sha256Finish(digest);
    return true;
}

} // namespace

FolderContent scanFolder(const QString &folder)
{
    FolderContent content;
    content.root = QFileInfo(folder).absoluteFilePath();
    const QDir root(content.root);
    QDirIterator it(root.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat status;
        if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || S_ISLNK(status.st_mode) ||
            !(S_ISREG(status.st_mode) || S_ISDIR(status.st_mode))) {
            content.error =
                QStringLiteral("Only plain files and folders can be packed: %1.").arg(path);
            return content;
        }
        const QString relative = root.relativeFilePath(path);
        if (S_ISDIR(status.st_mode)) {
            content.folders.append(relative);
            continue;
        }
        PackedFile file;
        file.path = relative;
        file.source = path;
        file.mode = quint32(status.st_mode) & 07777;
        content.files.append(file);
    }
    std::sort(content.files.begin(), content.files.end(),
              [](const PackedFile &a, const PackedFile &b) { return a.path < b.path; });
    content.folders.sort();
    std::mutex mutex;
    PackedFile *files = content.files.data();
    forEachInParallel(content.files.size(), [&](qsizetype i) {
        QString error;
        if (!readFile(files[i], error)) {
            std::lock_guard<std::mutex> lock(mutex);
            content.error = error;
        }
    });
    return content;
}

qint64 packageTimestamp()
{
    bool number = false;
    const qint64 epoch = qEnvironmentVariable("SOURCE_DATE_EPOCH").toLongLong(&number);
    // A ZIP keeps DOS times, from 1980 on.
    return number && epoch >= 315532800 ? epoch : kFixedTimestamp;
}

QString writePackage(const FolderContent &content, const QString &zipPath)
{
    QFile::remove(zipPath);
    int error = 0;
    zip_t *archive =
        zip_open(QFile::encodeName(zipPath).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive)
        return QStringLiteral("Unable to create '%1'.").arg(zipPath);
    const time_t when = time_t(packageTimestamp());
    auto added = [&](zip_int64_t index, quint32 mode, bool store) {
        return index >= 0 &&
               zip_file_set_external_attributes(archive, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX,
                                                zip_uint32_t(mode) << 16) == 0 &&
               zip_file_set_mtime(archive, zip_uint64_t(index), when, 0) == 0 &&
               (!store ||
                zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_STORE, 0) == 0);
    };
    for (const QString &folder : content.folders) {
        const zip_int64_t index =
            zip_dir_add(archive, folder.toUtf8().constData(), ZIP_FL_ENC_UTF_8);
        if (!added(index, 040755, false)) {
            zip_discard(archive);
            return QStringLiteral("Unable to add '%1' to the package.").arg(folder);
        }
    }
    for (const PackedFile &file : content.files) {
        zip_source_t *source =
            zip_source_file(archive, QFile::encodeName(file.source).constData(), 0, -1);
        const zip_int64_t index =
            source ? zip_file_add(archive, file.path.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8)
                   : -1;
        if (index < 0 && source)
            zip_source_free(source);
        if (!added(index, 0100000 | file.mode, !file.compressible)) {
            zip_discard(archive);
            return QStringLiteral("Unable to add '%1' to the package.").arg(file.source);
        }
    }
    if (zip_close(archive) != 0) {
        zip_discard(archive);
        return QStringLiteral("Unable to write '%1'.").arg(zipPath);
    }
    return QString();
}

QList<FileIndexEntry> indexOfContent(const FolderContent &content)
{
    QList<FileIndexEntry> files;
    for (const PackedFile &file : content.files) {
        FileIndexEntry entry;
        entry.path = file.path;
        entry.size = file.size;
        entry.sha256 = file.sha256;
        entry.executable = file.executable();
        files.append(entry);
    }
    return files;
}

QString writeObjects(const FolderContent &content, const QString &objectsFolder, int level,
                     QList<FileIndexEntry> &entries, int *written)
{
    entries = indexOfContent(content);
    // One job per distinct content: files with the same bytes share one object,
    // and two threads never write the same one.
    QHash<QString, qsizetype> firstWith;
    QList<qsizetype> order;
    for (qsizetype i = 0; i < content.files.size(); ++i)
        if (!firstWith.contains(content.files.at(i).sha256)) {
            firstWith.insert(content.files.at(i).sha256, i);
            order.append(i);
        }
    // Largest first: the long jobs start early and the small ones fill in.
    std::sort(order.begin(), order.end(), [&](qsizetype a, qsizetype b) {
        return content.files.at(a).size > content.files.at(b).size;
    });
    std::mutex mutex;
    QString failure;
    std::atomic<int> made{0};
    FileIndexEntry *slots = entries.data();
    forEachInParallel(order.size(), [&](qsizetype n) {
        const qsizetype i = order.at(n);
        const PackedFile &file = content.files.at(i);
        bool wrote = false;
        const QString error = writeObject(
            objectsFolder, slots[i],
            [&](const ByteSink &sink) {
                QFile in(file.source);
                if (!in.open(QIODevice::ReadOnly))
                    return false;
                QByteArray chunk(kChunkBytes, Qt::Uninitialized);
                for (qint64 read; (read = in.read(chunk.data(), chunk.size())) > 0;)
                    if (!sink(chunk.constData(), read))
                        return false;
                return in.error() == QFileDevice::NoError;
            },
            level, file.compressible, file.size >= kWorkersFrom, &wrote);
        if (wrote)
            ++made;
        if (!error.isEmpty()) {
            std::lock_guard<std::mutex> lock(mutex);
            failure = error;
        }
    });
    for (FileIndexEntry &entry : entries) {
        const FileIndexEntry &first = entries.at(firstWith.value(entry.sha256));
        entry.object = first.object;
        entry.objectSize = first.objectSize;
    }
    if (written)
        *written = made.load();
    return failure;
}

QString firstDifference(const QList<FileIndexEntry> &published, const QList<FileIndexEntry> &fresh)
{
    QHash<QString, const FileIndexEntry *> before;
    for (const FileIndexEntry &entry : published)
        before.insert(entry.path, &entry);
    for (const FileIndexEntry &entry : fresh) {
        const FileIndexEntry *old = before.take(entry.path);
        if (!old)
            return QStringLiteral("%1 is new").arg(entry.path);
        if (old->sha256 != entry.sha256 || old->size != entry.size)
            return QStringLiteral("%1 has other content").arg(entry.path);
        if (old->executable != entry.executable)
            return QStringLiteral("%1 has another executable bit").arg(entry.path);
    }
    if (!before.isEmpty())
        return QStringLiteral("%1 is gone").arg(before.keys().first());
    return QString();
}
