#include "releasetool/objects.h"

#include "base/logging.h"
#include "install/differential.h"
#include "install/zipextract.h"
#include "net/filedigest.h"
#include "release/clientrelease.h"
#include "release/version.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

#include <sys/stat.h>
#include <zip.h>
#include <zstd.h>

namespace {
constexpr qint64 kChunkBytes = 1 << 20;

// Streams one entry to sink, chunk by chunk; false on a read error.
bool readEntry(zip_t *archive, zip_uint64_t index, const ByteSink &sink)
{
    zip_file_t *file = zip_fopen_index(archive, index, 0);
    if (!file)
        return false;
    QByteArray chunk(kChunkBytes, Qt::Uninitialized);
    bool ok = true;
    while (ok) {
        const zip_int64_t read = zip_fread(file, chunk.data(), zip_uint64_t(chunk.size()));
        if (read < 0)
            ok = false;
        if (read <= 0)
            break;
        ok = sink(chunk.constData(), read);
    }
    return zip_fclose(file) == 0 && ok;
}

// What read streams, compressed with zstd into target; its size, or -1 on failure.
qint64 compressInto(const ByteSource &read, qint64 size, const QString &target, int level,
                    bool workers)
{
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    QFile out(target);
    if (!context || !out.open(QIODevice::WriteOnly))
        return -1;
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
    // The launcher accepts windows up to 8 MiB, so that its memory stays bounded.
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, 23);
    if (workers)
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_nbWorkers, QThread::idealThreadCount());
    // The frame then says how large the file is: a decoder needs no larger window than that.
    ZSTD_CCtx_setPledgedSrcSize(context.get(), (unsigned long long)size);
    QByteArray buffer(qint64(ZSTD_CStreamOutSize()), Qt::Uninitialized);
    auto pump = [&](ZSTD_inBuffer &in, ZSTD_EndDirective mode) {
        size_t left = 0;
        do {
            ZSTD_outBuffer sink{buffer.data(), size_t(buffer.size()), 0};
            left = ZSTD_compressStream2(context.get(), &sink, &in, mode);
            if (ZSTD_isError(left) ||
                out.write(buffer.constData(), qint64(sink.pos)) != qint64(sink.pos))
                return false;
        } while (mode == ZSTD_e_end ? left != 0 : in.pos < in.size);
        return true;
    };
    const bool streamed = read([&](const char *data, qint64 length) {
        ZSTD_inBuffer in{data, size_t(length), 0};
        return pump(in, ZSTD_e_continue);
    });
    ZSTD_inBuffer none{nullptr, 0, 0};
    if (!streamed || !pump(none, ZSTD_e_end) || !out.flush())
        return -1;
    return out.size();
}

QString folderOfObject(const QString &objectsFolder, const QString &name)
{
    return QDir(objectsFolder).absoluteFilePath(name.left(2));
}
} // namespace

QString writeObject(const QString &objectsFolder, FileIndexEntry &entry, const ByteSource &read,
                    int level, bool compress, bool workers, bool *made)
{
    entry.object = entry.sha256 + QStringLiteral(".raw");
    entry.objectSize = entry.size;
    if (made)
        *made = false;
    const QString folder = folderOfObject(objectsFolder, entry.sha256);
    const QString zst = QDir(folder).absoluteFilePath(entry.sha256 + QStringLiteral(".zst"));
    const QString raw = QDir(folder).absoluteFilePath(entry.object);
    // Content-addressed: an object already in the tree is never written again.
    if (QFileInfo::exists(zst)) {
        entry.object = entry.sha256 + QStringLiteral(".zst");
        entry.objectSize = QFileInfo(zst).size();
        return QString();
    }
    if (QFileInfo::exists(raw))
        return QString();
    QDir().mkpath(folder);
    if (made)
        *made = true;
    if (compress) {
        // Under a temporary name, so a half-written object never has its name.
        const QString temporary = zst + QStringLiteral(".tmp");
        const qint64 packed = compressInto(read, entry.size, temporary, level, workers);
        if (packed >= 0 && packed < entry.size && QFile::rename(temporary, zst)) {
            entry.object = entry.sha256 + QStringLiteral(".zst");
            entry.objectSize = packed;
            return QString();
        }
        QFile::remove(temporary);
    }
    QSaveFile copy(raw);
    if (!copy.open(QIODevice::WriteOnly) || !read([&](const char *data, qint64 length) {
            return copy.write(data, length) == length;
        }) ||
        !copy.commit())
        return QStringLiteral("Unable to write '%1'.").arg(raw);
    return QString();
}

FileIndexResult indexPackage(const QString &zipPath, const QString &objectsFolder, int zstdLevel,
                             int *objectsWritten)
{
    FileIndexResult result;
    int openError = 0;
    zip_t *archive = zip_open(zipArchivePath(zipPath).constData(), ZIP_RDONLY, &openError);
    if (!archive) {
        result.error = QStringLiteral("Unable to open zip payload: %1.").arg(zipPath);
        return result;
    }
    QHash<QString, qsizetype> position;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count && result.error.isEmpty(); ++i) {
        const zip_uint64_t index = zip_uint64_t(i);
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive, index, 0, &stat) != 0) {
            result.error = QStringLiteral("Unable to inspect zip entry %1.").arg(quint64(index));
            break;
        }
        // The names as the launcher extracts them: decoded, "/" separated, trimmed.
        const QByteArray raw(stat.name);
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        zip_file_get_external_attributes(archive, index, 0, &system, &attributes);
        if (raw.endsWith('/') || (attributes & 0x10))
            continue;
        FileIndexEntry entry;
        entry.path = QString::fromUtf8(raw).replace(QLatin1Char('\\'), QLatin1Char('/')).trimmed();
        while (entry.path.contains(QStringLiteral("//")))
            entry.path.replace(QStringLiteral("//"), QStringLiteral("/"));
        entry.executable = system == ZIP_OPSYS_UNIX && (mode_t(attributes >> 16) & S_IXUSR);
        Sha256Stream digest = sha256Begin();
        qint64 size = 0;
        if (!readEntry(archive, index, [&](const char *data, qint64 length) {
                sha256Add(digest, data, length);
                size += length;
                return true;
            })) {
            result.error = QStringLiteral("Unable to extract zip entry: %1.").arg(entry.path);
            break;
        }
        entry.size = size;
        entry.sha256 = sha256Finish(digest);
        entry.object = entry.sha256 + QStringLiteral(".raw");
        entry.objectSize = size;
        if (!objectsFolder.isEmpty()) {
            bool made = false;
            result.error = writeObject(
                objectsFolder, entry,
                [&](const ByteSink &sink) { return readEntry(archive, index, sink); }, zstdLevel,
                true, true, &made);
            if (made && objectsWritten)
                ++*objectsWritten;
        }
        // A name listed twice is the last copy, as the launcher's extraction leaves it.
        const auto found = position.constFind(entry.path);
        if (found != position.cend()) {
            result.index.files[*found] = entry;
        } else {
            position.insert(entry.path, result.index.files.size());
            result.index.files.append(entry);
        }
    }
    zip_discard(archive);
    return result;
}

QString checkFileIndex(const QString &indexPath, const QString &zipPath, QStringList *report)
{
    QFile file(indexPath);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("File index is not in the release tree: %1.").arg(indexPath);
    const FileIndexResult published = parseFileIndex(file.readAll());
    if (!published.error.isEmpty())
        return QStringLiteral("File index %1 is not valid: %2.").arg(indexPath, published.error);
    const FileIndexResult expected = indexPackage(zipPath);
    if (!expected.error.isEmpty())
        return expected.error;
    if (published.index.files.size() != expected.index.files.size())
        return QStringLiteral("File index %1 lists %2 files, the package holds %3.")
            .arg(indexPath)
            .arg(published.index.files.size())
            .arg(expected.index.files.size());
    QTemporaryDir scratch;
    qint64 objectBytes = 0;
    for (qsizetype i = 0; i < expected.index.files.size(); ++i) {
        const FileIndexEntry &want = expected.index.files.at(i);
        const FileIndexEntry &have = published.index.files.at(i);
        if (have.path != want.path || have.size != want.size || have.sha256 != want.sha256 ||
            have.executable != want.executable)
            return QStringLiteral("File index %1 does not match the package at %2.")
                .arg(indexPath, want.path);
        const QString object =
            QFileInfo(indexPath).dir().absoluteFilePath(objectRelativePath(have.object));
        if (QFileInfo(object).size() != have.objectSize)
            return QStringLiteral("Object %1 is missing or not of its size.").arg(object);
        const QString error = writeObjectTo(object, have, scratch.filePath(QStringLiteral("f")));
        if (!error.isEmpty())
            return QStringLiteral("Object %1 is wrong: %2.").arg(object, error);
        objectBytes += have.objectSize;
    }
    if (report)
        report->append(QStringLiteral("  file index %1: %2 files match the package; their "
                                      "objects (%3 bytes) exist and decompress to them")
                           .arg(indexPath)
                           .arg(published.index.files.size())
                           .arg(objectBytes));
    return QString();
}

QString collectGarbage(const QString &treeRoot, int keep, QStringList *report)
{
    if (keep < 1)
        return QStringLiteral("--keep must be at least 1.");
    const QDir clients(QDir(treeRoot).absoluteFilePath(QStringLiteral("releases/clients")));
    // What the manifests name is kept whatever its age.
    QSet<QString> current;
    const QDir manifests(QDir(treeRoot).absoluteFilePath(QStringLiteral("releases/manifests")));
    for (const QString &name :
         manifests.entryList({QStringLiteral("client-*.json")}, QDir::Files)) {
        QFile manifest(manifests.filePath(name));
        if (manifest.open(QIODevice::ReadOnly)) {
            const ClientRelease release = parseClientRelease(manifest.readAll()).release;
            current.insert(QUrl(release.artifactUrl).fileName());
            if (release.hasFileIndex)
                current.insert(QUrl(release.fileIndexUrl).fileName());
        }
    }
    static const QRegularExpression releaseFile(
        QStringLiteral("^(.+)_([^_]+)(\\.zip|\\.files\\.json)$"));
    int releasesRemoved = 0;
    int objectsRemoved = 0;
    int objectsKept = 0;
    qint64 freed = 0;
    auto remove = [&freed](const QString &path) {
        const qint64 size = QFileInfo(path).size();
        if (!QFile::remove(path))
            return false;
        freed += size;
        return true;
    };
    for (const QString &product : clients.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QDir folder(clients.filePath(product));
        // The product's releases, newest first, each with its package and index.
        QMap<QString, QStringList> filesOf;
        for (const QString &name : folder.entryList(QDir::Files)) {
            const QRegularExpressionMatch match = releaseFile.match(name);
            if (match.hasMatch() && match.captured(1) == product &&
                isValid(parseReleaseVersion(match.captured(2))))
                filesOf[match.captured(2)].append(name);
        }
        QStringList versions = filesOf.keys();
        std::sort(versions.begin(), versions.end(), [](const QString &a, const QString &b) {
            return compareReleaseVersions(parseReleaseVersion(a), parseReleaseVersion(b)) > 0;
        });
        QSet<QString> referenced;
        for (qsizetype i = 0; i < versions.size(); ++i) {
            const QStringList files = filesOf.value(versions.at(i));
            const bool named = std::any_of(files.begin(), files.end(),
                                           [&](const QString &f) { return current.contains(f); });
            if (i >= keep && !named) {
                for (const QString &name : files) {
                    if (!remove(folder.filePath(name)))
                        return QStringLiteral("Unable to remove '%1'.").arg(folder.filePath(name));
                }
                ++releasesRemoved;
                continue;
            }
            for (const QString &name : files) {
                if (!name.endsWith(QLatin1String(".files.json")))
                    continue;
                QFile file(folder.filePath(name));
                if (!file.open(QIODevice::ReadOnly))
                    return QStringLiteral("Unable to read '%1'.").arg(file.fileName());
                const FileIndexResult parsed = parseFileIndex(file.readAll());
                if (!parsed.error.isEmpty())
                    return QStringLiteral("File index %1 is not valid: %2.")
                        .arg(file.fileName(), parsed.error);
                for (const FileIndexEntry &entry : parsed.index.files)
                    referenced.insert(entry.object);
            }
        }
        QDirIterator objects(folder.filePath(QStringLiteral("objects")), QDir::Files,
                             QDirIterator::Subdirectories);
        while (objects.hasNext()) {
            const QString path = objects.next();
            if (referenced.contains(QFileInfo(path).fileName())) {
                ++objectsKept;
                continue;
            }
            if (!remove(path))
                return QStringLiteral("Unable to remove '%1'.").arg(path);
            ++objectsRemoved;
        }
    }
    if (report)
        report->append(QStringLiteral("gc: %1 removed (package and file index), %2 removed, %3 "
                                      "kept; %4 bytes freed")
                           .arg(countOf(releasesRemoved, "older release", "older releases"),
                                countOf(objectsRemoved, "object", "objects"),
                                countOf(objectsKept, "object", "objects"))
                           .arg(freed));
    return QString();
}
