#include "releasetool/packaging.h"

#include "install/parallel.h"
#include "net/filedigest.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
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
// The launcher accepts windows up to 8 MiB, so that its memory stays bounded.
constexpr int kWindowLog = 23;
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

// zstd at level into target; its size, or -1 on failure.
qint64 compressInto(const QString &source, const QString &target, int level, bool workers)
{
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    QFile in(source);
    QFile out(target);
    if (!context || !in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return -1;
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, kWindowLog);
    if (workers)
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_nbWorkers, QThread::idealThreadCount());
    // The frame then says how large the file is: a decoder needs no larger window than that.
    ZSTD_CCtx_setPledgedSrcSize(context.get(), (unsigned long long)in.size());
    QByteArray input(kChunkBytes, Qt::Uninitialized);
    QByteArray output(qint64(ZSTD_CStreamOutSize()), Qt::Uninitialized);
    bool end = false;
    while (!end) {
        const qint64 read = in.read(input.data(), input.size());
        if (read < 0)
            return -1;
        end = read == 0;
        ZSTD_inBuffer source{input.constData(), size_t(read), 0};
        size_t left = 0;
        do {
            ZSTD_outBuffer sink{output.data(), size_t(output.size()), 0};
            left = ZSTD_compressStream2(context.get(), &sink, &source,
                                        end ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(left) ||
                out.write(output.constData(), qint64(sink.pos)) != qint64(sink.pos))
                return -1;
        } while (end ? left != 0 : source.pos < source.size);
    }
    return out.flush() ? out.size() : -1;
}

bool copyInto(const QString &source, const QString &target)
{
    QFile in(source);
    QSaveFile out(target);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(kChunkBytes, Qt::Uninitialized);
    for (qint64 read; (read = in.read(chunk.data(), chunk.size())) > 0;) {
        if (out.write(chunk.constData(), read) != read)
            return false;
    }
    return in.error() == QFileDevice::NoError && out.commit();
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

QString writeObjects(const FolderContent &content, const QString &objectsFolder, int level,
                     QList<FileIndexEntry> &entries, int *written)
{
    entries.clear();
    for (const PackedFile &file : content.files) {
        FileIndexEntry entry;
        entry.path = file.path;
        entry.size = file.size;
        entry.sha256 = file.sha256;
        entry.executable = file.executable();
        entry.object = file.sha256 + QStringLiteral(".raw");
        entry.objectSize = file.size;
        entries.append(entry);
    }
    // Largest first: the long jobs start early and the small ones fill in.
    QList<qsizetype> order(content.files.size());
    std::iota(order.begin(), order.end(), 0);
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
        FileIndexEntry &entry = slots[i];
        const QString folder = QDir(objectsFolder).absoluteFilePath(file.sha256.left(2));
        const QString zst = QDir(folder).absoluteFilePath(file.sha256 + QStringLiteral(".zst"));
        const QString raw = QDir(folder).absoluteFilePath(file.sha256 + QStringLiteral(".raw"));
        // Content-addressed: an object already in the tree is never written again.
        if (QFileInfo::exists(zst)) {
            entry.object = file.sha256 + QStringLiteral(".zst");
            entry.objectSize = QFileInfo(zst).size();
            return;
        }
        if (QFileInfo::exists(raw))
            return;
        QDir().mkpath(folder);
        ++made;
        if (file.compressible) {
            // Under a temporary name, so a half-written object never has its name.
            const QString temporary = zst + QStringLiteral(".tmp");
            const qint64 packed =
                compressInto(file.source, temporary, level, file.size >= kWorkersFrom);
            if (packed >= 0 && packed < file.size && QFile::rename(temporary, zst)) {
                entry.object = file.sha256 + QStringLiteral(".zst");
                entry.objectSize = packed;
                return;
            }
            QFile::remove(temporary);
        }
        if (!copyInto(file.source, raw)) {
            std::lock_guard<std::mutex> lock(mutex);
            failure = QStringLiteral("Unable to write '%1'.").arg(raw);
        }
    });
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
