#include "install/differential.h"

#include "platform/filelinks.h"

#include "platform/filesync.h"

#include "install/installrecord.h"
#include "install/parallel.h"
#include "net/filedigest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <functional>
#include <mutex>
#include <vector>

#include <zstd.h>
#include <zstd_errors.h>

namespace {
constexpr qint64 kChunkBytes = 1 << 20;
// Objects up to this size are decompressed in one go; larger ones stream.
constexpr qint64 kOneShotBytes = 1 << 20;
constexpr qint64 kStreamChunkBytes = 1 << 18;
// Objects are published with at most an 8 MiB window; a larger one is refused,
// so decompression never needs more memory than that.
constexpr int kMaxWindowLog = 23;

bool cancelled(const ExtractionProgress *progress)
{
    return progress && progress->cancelled.load();
}

enum class Placed { Cloned, Linked, Copied, Failed };

// Whether the file system here clones files (unknown until the first try).
struct CloneSupport
{
    std::atomic<int> state{-1};
};

Placed placeReusedFile(const QString &source, bool sourceExecutable, const QString &target,
                       bool executable, Placement placement, CloneSupport &clones)
{
    if (placement == Placement::Best) {
        if (clones.state.load() != 0) {
            bool unsupported = false;
            if (cloneFile(source, target, &unsupported)) {
                clones.state.store(1);
                return Placed::Cloned;
            }
            if (unsupported)
                clones.state.store(0);
        }
        // A hard link shares the mode too: only when the executable bit agrees.
        if ((sourceExecutable == executable || !hasExecuteBits()) && hardLinkFile(source, target))
            return Placed::Linked;
    }
    return copyFileContents(source, target) ? Placed::Copied : Placed::Failed;
}
} // namespace

QList<RecordedFolder> readRecordedFolders(const QStringList &installedFolders, RecordTrust trust)
{
    QList<RecordedFolder> folders(installedFolders.size());
    if (trust != RecordTrust::Metadata)
        return folders;
    for (qsizetype f = 0; f < installedFolders.size(); ++f) {
        const QFileInfo info(installedFolders.at(f));
        InstallRecordResult read =
            readInstallRecord(installRecordPath(info.absolutePath(), info.fileName()));
        if (!read.error.isEmpty())
            continue;
        RecordedFolder &recorded = folders[f];
        recorded.record = std::move(read.record);
        const QString root = info.absoluteFilePath() + QLatin1Char('/');
        const InstallRecord &record = recorded.record;
        recorded.matches = QList<bool>(record.files.size(), false);
        recorded.identities = QList<FileIdentity>(record.files.size());
        bool *matches = recorded.matches.data();
        FileIdentity *identities = recorded.identities.data();
        forEachInParallel(record.files.size(), [&](qsizetype i) {
            const RecordedFile &file = record.files.at(i);
            identities[i] = fileIdentity(root + file.path);
            matches[i] = matchesRecord(record, file, identities[i]);
        });
        recorded.clean = !recorded.matches.contains(false);
        recorded.byPath.reserve(record.files.size());
        for (qsizetype i = 0; i < record.files.size(); ++i)
            recorded.byPath.insert(record.files.at(i).path, i);
    }
    return folders;
}

DifferentialPlan planDifferentialInstall(const FileIndex &index,
                                         const QStringList &installedFolders,
                                         const std::atomic<bool> *cancel, RecordTrust trust)
{
    return planDifferentialInstall(index, installedFolders,
                                   readRecordedFolders(installedFolders, trust), cancel);
}

DifferentialPlan planDifferentialInstall(const FileIndex &index,
                                         const QStringList &installedFolders,
                                         const QList<RecordedFolder> &folders,
                                         const std::atomic<bool> *cancel)
{
    DifferentialPlan plan;
    plan.sources = QStringList(index.files.size(), QString());
    plan.sourceExecutable = QList<bool>(index.files.size(), false);
    plan.sourceIdentity = QList<FileIdentity>(index.files.size());
    std::atomic<int> known{0};
    std::atomic<int> hashed{0};
    // Detached once here; each thread then writes its own elements only.
    QString *sources = plan.sources.data();
    bool *executable = plan.sourceExecutable.data();
    FileIdentity *identity = plan.sourceIdentity.data();
    const RecordedFolder none; // a folder without a record: every file is read
    forEachInParallel(index.files.size(), [&](qsizetype i) {
        const FileIndexEntry &entry = index.files.at(i);
        for (qsizetype f = 0; f < installedFolders.size(); ++f) {
            if (cancel && cancel->load())
                return;
            const QString candidate = installedFolders.at(f) + QLatin1Char('/') + entry.path;
            const RecordedFolder &recorded = f < folders.size() ? folders.at(f) : none;
            const auto found = recorded.byPath.constFind(entry.path);
            if (found != recorded.byPath.cend() && recorded.matches.at(*found)) {
                const RecordedFile &file = recorded.record.files.at(*found);
                if (file.sha256 != entry.sha256 || file.size != entry.size)
                    continue; // known to hold other bytes
                sources[i] = candidate;
                executable[i] = file.executable;
                identity[i] = recorded.identities.at(*found);
                ++known;
                return;
            }
            const FileIdentity current = fileIdentity(candidate);
            if (!current.regular || current.size != entry.size)
                continue;
            ++hashed;
            if (fileSha256Hex(candidate) == entry.sha256) {
                sources[i] = candidate;
                executable[i] = current.executable;
                identity[i] = current;
                return;
            }
        }
    });
    QSet<QString> toFetch; // one object serves every path with its bytes
    for (qsizetype i = 0; i < index.files.size(); ++i) {
        if (!plan.sources.at(i).isEmpty())
            ++plan.reused;
        else if (!toFetch.contains(index.files.at(i).object)) {
            toFetch.insert(index.files.at(i).object);
            plan.fetchBytes += index.files.at(i).objectSize;
        }
    }
    for (qsizetype f = 0; f < installedFolders.size() && f < folders.size(); ++f)
        if (folders.at(f).clean)
            plan.cleanFolders.append(installedFolders.at(f));
    plan.known = known.load();
    plan.hashed = hashed.load();
    return plan;
}

QString objectCacheFile(const QString &cacheFolder, const QString &objectName)
{
    return QDir(cacheFolder).absoluteFilePath(objectName);
}

QString writeObjectTo(const QString &objectPath, const FileIndexEntry &entry, const QString &target,
                      ExtractionProgress *progress, FileIdentity *writtenFile)
{
    QFile in(objectPath);
    if (!in.open(QIODevice::ReadOnly))
        return QStringLiteral("object %1 is missing: %2").arg(entry.object, in.errorString());
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write %1: %2").arg(target, out.errorString());

    const bool compressed = isCompressedObject(entry.object);
    std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(
        compressed ? ZSTD_createDCtx() : nullptr, &ZSTD_freeDCtx);
    if (compressed && (!context || ZSTD_isError(ZSTD_DCtx_setParameter(
                                       context.get(), ZSTD_d_windowLogMax, kMaxWindowLog))))
        return QStringLiteral("zstd is unavailable");
    Sha256Stream digest = sha256Begin();
    qint64 written = 0;
    size_t pending = 0; // what zstd still expects of the frame
    auto deliver = [&](const char *data, qint64 size) -> QString {
        written += size;
        // A longer object, or a decompression bomb, stops at the declared size.
        if (written > entry.size)
            return QStringLiteral("object %1 holds more than the %2 bytes declared")
                .arg(entry.object)
                .arg(entry.size);
        if (out.write(data, size) != size)
            return QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
        sha256Add(digest, data, size);
        if (progress)
            progress->bytesWritten.fetch_add(size);
        return QString();
    };
    auto finishObject = [&]() -> QString {
        if (!out.flush())
            return QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
        if (writtenFile)
            *writtenFile = fileIdentity(out);
        startWriteBack(out); // the install is synced once it is whole
        out.close();
        if (written != entry.size)
            return QStringLiteral("object %1 holds %2 bytes, not %3")
                .arg(entry.object)
                .arg(written)
                .arg(entry.size);
        const QString actual = sha256Finish(digest);
        if (actual != entry.sha256)
            return QStringLiteral("object %1 has the digest %2").arg(entry.object, actual);
        return QString();
    };
    // A small object is decompressed at once, straight into a buffer of the
    // declared size: no window of the frame's size is ever allocated for it,
    // and a frame that holds more than declared does not fit.
    if (compressed && entry.size <= kOneShotBytes && entry.objectSize <= kOneShotBytes) {
        const QByteArray packed = in.read(kOneShotBytes + 1);
        QByteArray plain(entry.size, Qt::Uninitialized);
        const size_t size = ZSTD_decompressDCtx(context.get(), plain.data(), size_t(plain.size()),
                                                packed.constData(), size_t(packed.size()));
        if (ZSTD_getErrorCode(size) == ZSTD_error_dstSize_tooSmall)
            return QStringLiteral("object %1 holds more than the %2 bytes declared")
                .arg(entry.object)
                .arg(entry.size);
        if (ZSTD_isError(size))
            return QStringLiteral("object %1 does not decompress: %2")
                .arg(entry.object, QString::fromLatin1(ZSTD_getErrorName(size)));
        const QString error = deliver(plain.constData(), qint64(size));
        if (!error.isEmpty())
            return error;
        return finishObject();
    }
    QByteArray input(kStreamChunkBytes, Qt::Uninitialized);
    QByteArray output(compressed ? qint64(ZSTD_DStreamOutSize()) : 0, Qt::Uninitialized);
    while (true) {
        if (cancelled(progress))
            return QStringLiteral("cancelled");
        const qint64 read = in.read(input.data(), input.size());
        if (read < 0)
            return QStringLiteral("cannot read object %1: %2").arg(entry.object, in.errorString());
        if (read == 0)
            break;
        if (!compressed) {
            const QString error = deliver(input.constData(), read);
            if (!error.isEmpty())
                return error;
            continue;
        }
        ZSTD_inBuffer source{input.constData(), size_t(read), 0};
        while (source.pos < source.size) {
            ZSTD_outBuffer sink{output.data(), size_t(output.size()), 0};
            pending = ZSTD_decompressStream(context.get(), &sink, &source);
            if (ZSTD_isError(pending))
                return QStringLiteral("object %1 does not decompress: %2")
                    .arg(entry.object, QString::fromLatin1(ZSTD_getErrorName(pending)));
            const QString error = deliver(output.constData(), qint64(sink.pos));
            if (!error.isEmpty())
                return error;
        }
    }
    if (compressed && pending != 0)
        return QStringLiteral("object %1 is cut short").arg(entry.object);
    return finishObject();
}

QString fillStagingFromIndex(const FileIndex &index, const DifferentialPlan &plan,
                             const QString &cacheFolder, const QString &stagingPath,
                             ExtractionProgress *progress, Placement placement, FillCounts *counts,
                             StagedFiles *staged)
{
    CloneSupport clones;
    const QString root = QFileInfo(stagingPath).absoluteFilePath() + QLatin1Char('/');
    QStringList targets;
    QList<quint64> sizes;
    QSet<QString> parents;
    for (const FileIndexEntry &entry : index.files) {
        targets.append(root + entry.path);
        sizes.append(quint64(entry.size));
        const qsizetype slash = entry.path.lastIndexOf(QLatin1Char('/'));
        if (slash > 0)
            parents.insert(entry.path.left(slash));
    }
    // Folders first, each once, in one thread, so that the workers only write files.
    for (const QString &parent : parents) {
        if (!isInsideDirectory(stagingPath, root + parent) || !QDir().mkpath(root + parent))
            return QStringLiteral("cannot create %1").arg(root + parent);
    }
    const QList<QList<qsizetype>> batches = fileBatchesForThreads(targets, sizes);
    std::mutex mutex;
    QString firstError;
    qsizetype firstErrorAt = index.files.size();
    // What each placed file is, where known without a second look.
    QList<FileIdentity> placedIdentities(index.files.size());
    FileIdentity *placedIdentity = placedIdentities.data();
    auto fill = [&](qsizetype i) {
        if (cancelled(progress))
            return;
        const FileIndexEntry &entry = index.files.at(i);
        const QString &target = targets.at(i);
        QString error;
        const QString source = plan.sources.at(i);
        Placed placed = Placed::Copied;
        if (!source.isEmpty()) {
            placed = placeReusedFile(source, plan.sourceExecutable.value(i), target,
                                     entry.executable, placement, clones);
            if (placed == Placed::Failed)
                error = QStringLiteral("cannot copy %1").arg(source);
            else if (progress) {
                progress->bytesWritten.fetch_add(entry.size);
                if (placed != Placed::Copied)
                    progress->bytesReused.fetch_add(entry.size);
            }
        } else {
            error = writeObjectTo(objectCacheFile(cacheFolder, entry.object), entry, target,
                                  progress, &placedIdentity[i]);
        }
        if (error.isEmpty()) {
            if (placed == Placed::Linked)
                placedIdentity[i] = plan.sourceIdentity.value(i);
            else
                setExecutable(target, entry.executable);
            // Set just now; the mode is not part of what identifies the file.
            placedIdentity[i].executable = entry.executable;
            if (counts) {
                std::atomic<int> &count = source.isEmpty()           ? counts->written
                                          : placed == Placed::Cloned ? counts->cloned
                                          : placed == Placed::Linked ? counts->linked
                                                                     : counts->copied;
                ++count;
            }
            return;
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (i < firstErrorAt) {
            firstErrorAt = i;
            firstError = error;
        }
    };
    forEachInParallel(batches.size(), [&](qsizetype b) {
        for (const qsizetype i : batches.at(b))
            fill(i);
    });
    if (cancelled(progress))
        return QStringLiteral("Extraction was cancelled.");
    if (!firstError.isEmpty())
        return firstError;
    for (qsizetype i = 0; i < index.files.size(); ++i) {
        // A file written here was checked as it was written; a linked one is the source itself.
        const FileIdentity &identity = placedIdentities.at(i);
        if (plan.sources.at(i).isEmpty() && identity.size != index.files.at(i).size)
            return QStringLiteral("%1 is not at its size").arg(index.files.at(i).path);
        if (staged) {
            staged->digests.insert(index.files.at(i).path, index.files.at(i).sha256);
            if (identity.exists)
                staged->identities.insert(index.files.at(i).path, identity);
        }
    }
    return QString();
}
