#include "install/zipextract.h"

#include "net/filedigest.h"
#include "platform/filelinks.h"
#include "platform/filenames.h"
#include "platform/filesync.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QSet>
#include <QStringDecoder>
#include <QThread>

#include <mutex>
#include <thread>
#include <vector>

#include <zip.h>

namespace {
// Small enough to stay in the CPU's cache between zip_fread and write: 1 MiB
// made a 1 GiB extraction about a fifth slower, in the kernel's copy.
constexpr qint64 kExtractChunkBytes = 1 << 16;
constexpr quint32 kDosDirectoryAttribute = 0x10;
constexpr zip_uint64_t kNoFailure = ~zip_uint64_t(0);

bool fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}

bool cancelled(const ExtractionProgress *progress)
{
    return progress && progress->cancelled.load(std::memory_order_relaxed);
}

// Why libzip would not open an entry, in words for the log.
QString openFailureCause(zip_t *archive, const zip_stat_t &stat)
{
    if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE)
        return QStringLiteral("the entry is encrypted");
    if ((stat.valid & ZIP_STAT_COMP_METHOD) &&
        !zip_compression_method_supported(stat.comp_method, 0))
        return QStringLiteral("compression method %1 is not supported").arg(stat.comp_method);
    return QString::fromUtf8(zip_strerror(archive));
}

// Streams one entry into target through Qt, checking that the bytes add up
// to the recorded size; libzip checks the CRC-32 when the entry is read to its
// end. Returns why it failed, or an empty string.
QString extractEntryToFile(zip_t *archive, zip_uint64_t index, const QString &target,
                           QByteArray &chunk, ExtractionProgress *progress, QString *sha256)
{
    Sha256Stream digest = sha256 ? sha256Begin() : Sha256Stream();
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, index, 0, &stat) != 0)
        return QString::fromUtf8(zip_strerror(archive));
    zip_file_t *entry = zip_fopen_index(archive, index, 0);
    if (!entry)
        return openFailureCause(archive, stat);

    QFile file(target);
    QString cause;
    if (!file.open(QIODevice::WriteOnly))
        cause = QStringLiteral("cannot write the file: %1").arg(file.errorString());
    zip_uint64_t total = 0;
    // An entry never gets more bytes on disk than the archive records for it:
    // a deflated stream that claims a few bytes can inflate to gigabytes, and
    // libzip would hand them all over before the CRC-32 shows the lie.
    const bool sizeKnown = stat.valid & ZIP_STAT_SIZE;
    while (cause.isEmpty()) {
        if (cancelled(progress)) {
            cause = QStringLiteral("cancelled");
            break;
        }
        const zip_int64_t read = zip_fread(entry, chunk.data(), zip_uint64_t(chunk.size()));
        if (read < 0) {
            cause = QString::fromUtf8(zip_file_strerror(entry));
            break;
        }
        if (read == 0)
            break;
        total += zip_uint64_t(read);
        if (sizeKnown && total > stat.size) {
            cause = QStringLiteral("the entry holds more than the %1 bytes the archive records")
                        .arg(quint64(stat.size));
            break;
        }
        if (file.write(chunk.constData(), read) != read) {
            cause = QStringLiteral("cannot write the file: %1").arg(file.errorString());
            break;
        }
        sha256Add(digest, chunk.constData(), read);
        if (progress)
            progress->bytesWritten.fetch_add(read, std::memory_order_relaxed);
    }
    if (zip_fclose(entry) != 0 && cause.isEmpty())
        cause = QStringLiteral("CRC or read error when closing the entry");
    if (cause.isEmpty() && sizeKnown && total != stat.size)
        cause = QStringLiteral("the entry holds %1 bytes, the archive records %2")
                    .arg(quint64(total))
                    .arg(quint64(stat.size));
    if (cause.isEmpty() && !file.flush())
        cause = QStringLiteral("cannot write the file: %1").arg(file.errorString());
    // The install is synced once it is whole: its write-back starts now.
    if (cause.isEmpty())
        startWriteBack(file);
    file.close();
    if (cause.isEmpty() && file.error() != QFileDevice::NoError)
        cause = QStringLiteral("cannot write the file: %1").arg(file.errorString());
    if (cause.isEmpty() && sha256)
        *sha256 = sha256Finish(digest);
    return cause;
}

// A regular file made on Unix gets its recorded permission bits (never
// setuid, setgid or sticky); anything else keeps the default permissions.
void applyUnixPermissions(zip_t *archive, zip_uint64_t index, const QString &target)
{
    constexpr uint kFileTypeMask = 0170000;
    constexpr uint kRegularFile = 0100000;
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0 ||
        system != ZIP_OPSYS_UNIX)
        return;
    const uint mode = attributes >> 16;
    if ((mode & kFileTypeMask) == kRegularFile)
        applyPermissionBits(target, mode);
}

struct PlannedFile
{
    zip_uint64_t index;
    QString name;
    QString target;
    quint64 size;   // as the archive records it, 0 when it does not
    QString sha256; // written while the archive arrived: its digest
    bool written = false;
};

// Whether the central directory describes an entry as its local header did.
bool sameEntry(zip_t *archive, zip_uint64_t index, const zip_stat_t &stat,
               const StreamedEntry &early)
{
    const char *raw = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
    const zip_uint64_t known =
        ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD;
    return raw && QByteArray(raw) == early.rawName && (stat.valid & known) == known &&
           stat.size == early.size && stat.comp_size == early.compressedSize &&
           stat.crc == early.crc && stat.comp_method == early.method;
}

// The first failure in archive order among those the threads report.
struct FirstFailure
{
    std::mutex mutex;
    std::atomic<zip_uint64_t> index{kNoFailure};
    QString message;
    QString cause;

    void record(zip_uint64_t at, const QString &text, const QString &why)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (at >= index.load())
            return;
        index.store(at);
        message = text;
        cause = why;
    }
};

bool isValidUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString decoded = decoder.decode(bytes);
    return !decoder.hasError();
}
} // namespace

qint64 zipPayloadSize(const QString &zipPath)
{
    int openError = 0;
    zip_t *archive = zip_open(zipArchivePath(zipPath).constData(), ZIP_RDONLY, &openError);
    if (!archive)
        return -1;
    qint64 total = 0;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive, zip_uint64_t(i), 0, &stat) == 0 && (stat.valid & ZIP_STAT_SIZE))
            total += qint64(stat.size);
    }
    zip_discard(archive);
    return total;
}

QList<QList<qsizetype>> fileBatchesForThreads(const QStringList &targets,
                                              const QList<quint64> &sizes)
{
    constexpr quint64 kOwnBatchBytes = 1 << 20;
    QHash<QString, quint64> sizeOfTarget;
    for (qsizetype i = 0; i < targets.size(); ++i)
        sizeOfTarget[targets.at(i)] += sizes.value(i);
    QList<QList<qsizetype>> batches;
    QHash<QString, qsizetype> batchOf;
    for (qsizetype i = 0; i < targets.size(); ++i) {
        const QString &target = targets.at(i);
        // A folder key ends in "/", a file key does not: they never collide.
        const QString key = sizeOfTarget.value(target) >= kOwnBatchBytes
                                ? target
                                : QFileInfo(target).absolutePath() + QLatin1Char('/');
        const auto found = batchOf.constFind(key);
        if (found != batchOf.cend()) {
            batches[*found].append(i);
        } else {
            batchOf.insert(key, batches.size());
            batches.append(QList<qsizetype>{i});
        }
    }
    return batches;
}

EntryPlacer::EntryPlacer(const QString &destination)
    : destinationDir(destination), root(QFileInfo(destination).absoluteFilePath())
{
}

// Whether a file placed earlier stands where target or one of its folders must go.
bool EntryPlacer::blockedByFile(const QString &target) const
{
    for (QString path = target; path.size() > root.size(); path = QFileInfo(path).absolutePath()) {
        if (fileTargets.contains(path))
            return true;
    }
    return false;
}

EntryPlacer::Placed EntryPlacer::place(const QByteArray &decodedName, bool isDirectory)
{
    Placed placed;
    placed.name =
        QString::fromUtf8(decodedName).replace(QLatin1Char('\\'), QLatin1Char('/')).trimmed();
    if (isDirectory && placed.name.endsWith(QLatin1Char('/')))
        placed.name.chop(1);
    // A name that is still not UTF-8 would share its replacement characters with others.
    if (!isValidUtf8(decodedName) || !isSafeZipEntryName(placed.name) ||
        (refusesWindowsNames() && !windowsNameProblem(placed.name).isEmpty())) {
        placed.message = QStringLiteral("Unsafe zip entry path: %1.").arg(placed.name);
        placed.cause = QStringLiteral("unsafe or undecodable name");
        return placed;
    }
    placed.target = QDir::cleanPath(destinationDir.absoluteFilePath(placed.name));
    if (!isInsideDirectory(root, placed.target)) {
        placed.message =
            QStringLiteral("Zip entry escapes extraction directory: %1.").arg(placed.name);
        placed.cause = QStringLiteral("escaping name");
        return placed;
    }
    const QString folder = isDirectory ? placed.target : QFileInfo(placed.target).absolutePath();
    if (blockedByFile(folder) || !QDir().mkpath(folder)) {
        placed.message =
            isDirectory ? QStringLiteral("Unable to create zip directory: %1.").arg(folder)
                        : QStringLiteral("Unable to create zip entry directory: %1.").arg(folder);
        placed.cause = QStringLiteral("a file stands in the way");
        return placed;
    }
    if (!isDirectory)
        fileTargets.insert(placed.target);
    return placed;
}

bool extractZipPayload(const QString &zipPath, const QString &destination, QString *error)
{
    return extractZipPayload(zipPath, destination, error, ExtractionOptions());
}

bool extractZipPayload(const QString &zipPath, const QString &destination, QString *error,
                       const ExtractionOptions &options)
{
    const QByteArray archivePath = zipArchivePath(zipPath);
    int openError = 0;
    zip_t *archive = zip_open(archivePath.constData(), ZIP_RDONLY, &openError);
    if (!archive)
        return fail(error, QStringLiteral("Unable to open zip payload: %1.").arg(zipPath));

    QDir destinationDir(destination);
    if (!destinationDir.exists() && !QDir().mkpath(destination)) {
        zip_discard(archive);
        return fail(error,
                    QStringLiteral("Unable to create extraction directory: %1.").arg(destination));
    }

    // First, in archive order: names, folders and what goes where. A failure
    // here ends the plan; the entries before it are still written, as a
    // one-by-one extraction would have written them.
    const QString root = QFileInfo(destination).absoluteFilePath();
    FirstFailure failure;
    QList<PlannedFile> files;
    EntryPlacer placer(destination);
    const QList<StreamedEntry> none;
    const QList<StreamedEntry> &streamed = options.streamed ? *options.streamed : none;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const zip_uint64_t index = zip_uint64_t(i);
        zip_stat_t stat;
        zip_stat_init(&stat);
        // libzip decodes the name: the UTF-8 flag, the Unicode path field, or else CP437.
        if (zip_stat_index(archive, index, 0, &stat) != 0 || !(stat.valid & ZIP_STAT_NAME)) {
            failure.record(index,
                           QStringLiteral("Unable to inspect zip entry %1.").arg(quint64(index)),
                           QString::fromUtf8(zip_strerror(archive)));
            break;
        }
        const QByteArray decodedName(stat.name);
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        zip_file_get_external_attributes(archive, index, 0, &system, &attributes);
        const bool isDirectory = decodedName.endsWith('/') || (attributes & kDosDirectoryAttribute);
        const StreamedEntry *early = i < streamed.size() ? &streamed.at(i) : nullptr;
        // The name as decoded must be the one the local header gave, or the
        // entry was written elsewhere.
        if (early && (decodedName != early->rawName || !sameEntry(archive, index, stat, *early))) {
            failure.record(index,
                           QStringLiteral("Unable to extract zip entry: %1.")
                               .arg(QString::fromUtf8(decodedName).trimmed()),
                           QStringLiteral("its local header disagrees with the central directory"));
            break;
        }
        // Only the central directory marks a folder by its attributes: a file
        // written for the entry makes way.
        if (isDirectory && early && !early->directory) {
            const QString written = QDir::cleanPath(
                destinationDir.absoluteFilePath(QString::fromUtf8(decodedName).trimmed()));
            if (isInsideDirectory(root, written))
                QFile::remove(written);
        }
        const EntryPlacer::Placed placed = placer.place(decodedName, isDirectory);
        if (!placed.message.isEmpty()) {
            failure.record(index, placed.message, placed.cause);
            break;
        }
        if (!isDirectory)
            files.append({index, placed.name, placed.target,
                          (stat.valid & ZIP_STAT_SIZE) ? quint64(stat.size) : 0,
                          early ? QString::fromLatin1(early->sha256.toHex()) : QString(),
                          early != nullptr});
    }
    // Entries before the central directory that it does not list.
    if (streamed.size() > count && failure.index.load() == kNoFailure)
        failure.record(zip_uint64_t(count),
                       QStringLiteral("Unable to extract zip entry: %1.")
                           .arg(QString::fromUtf8(streamed.at(count).rawName)),
                       QStringLiteral("the central directory does not list it"));
    zip_discard(archive);

    // Then the files, on several threads, each with its own archive handle.
    QStringList targets;
    QList<quint64> sizes;
    for (const PlannedFile &file : files) {
        targets.append(file.target);
        sizes.append(file.size);
    }
    const QList<QList<qsizetype>> groups = fileBatchesForThreads(targets, sizes);
    QStringList written(files.size());
    for (qsizetype f = 0; f < files.size(); ++f)
        written[f] = files.at(f).sha256;
    QString *writtenDigests = written.data(); // detached once; each thread fills its own files
    std::atomic<qsizetype> next{0};
    std::atomic<bool> openFailed{false};
    auto work = [&]() {
        int workerError = 0;
        zip_t *own = zip_open(archivePath.constData(), ZIP_RDONLY, &workerError);
        if (!own) {
            openFailed.store(true);
            return;
        }
        QByteArray chunk(kExtractChunkBytes, Qt::Uninitialized);
        for (qsizetype g = next++; g < groups.size(); g = next++) {
            for (const qsizetype f : groups.at(g)) {
                const PlannedFile &file = files.at(f);
                // Nothing after the first failure can change the outcome.
                if (file.index > failure.index.load() || cancelled(options.progress))
                    break;
                if (file.written)
                    continue;
                const QString cause =
                    extractEntryToFile(own, file.index, file.target, chunk, options.progress,
                                       options.digests ? &writtenDigests[f] : nullptr);
                if (!cause.isEmpty()) {
                    failure.record(
                        file.index,
                        QStringLiteral("Unable to extract zip entry: %1.").arg(file.name), cause);
                    break;
                }
            }
        }
        zip_discard(own);
    };
    const int wanted = options.threads > 0 ? options.threads : QThread::idealThreadCount();
    const int threads = int(qMax<qsizetype>(1, qMin<qsizetype>(wanted, groups.size())));
    std::vector<std::thread> workers;
    for (int t = 1; t < threads; ++t)
        workers.emplace_back(work);
    work();
    for (std::thread &worker : workers)
        worker.join();

    if (cancelled(options.progress))
        return fail(error, QStringLiteral("Extraction was cancelled."));
    if (openFailed.load() && failure.index.load() == kNoFailure)
        return fail(error, QStringLiteral("Unable to open zip payload: %1.").arg(zipPath));
    if (failure.index.load() != kNoFailure) {
        if (options.cause)
            *options.cause = failure.cause;
        return fail(error, failure.message);
    }
    if (options.digests) {
        for (qsizetype f = 0; f < files.size(); ++f)
            options.digests->insert(QDir(root).relativeFilePath(files.at(f).target), written.at(f));
    }
    // Permissions last, in archive order: a read-only file listed twice must
    // not stop its second copy from being written.
    zip_t *modes =
        hasExecuteBits() ? zip_open(archivePath.constData(), ZIP_RDONLY, &openError) : nullptr;
    if (modes) {
        for (const PlannedFile &file : files)
            applyUnixPermissions(modes, file.index, file.target);
        zip_discard(modes);
    }
    return true;
}
