#pragma once

#include "platform/filenames.h"
#include "release/pathrules.h"

#include <QByteArray>
#include <QDir>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>

// Shared between an extraction and whoever watches it from another thread.
struct ExtractionProgress
{
    std::atomic<qint64> bytesWritten{0};
    // Of those, what was placed by a link or a clone rather than written.
    std::atomic<qint64> bytesReused{0};
    // Set by the watcher; the extraction stops at its next chunk and fails.
    std::atomic<bool> cancelled{false};
};

// An entry written while its archive was still arriving (see
// streamZipEntries), as its local header describes it.
// Kept small: a hostile archive may hold as many entries as its size allows.
struct StreamedEntry
{
    QByteArray rawName;
    quint64 localOffset = 0; // where its local header starts
    quint64 compressedSize = 0;
    quint64 size = 0;
    quint32 crc = 0;
    quint16 method = 0;
    bool directory = false;
    QByteArray sha256; // of the file written, the 32 bytes themselves
};

struct ExtractionOptions
{
    ExtractionProgress *progress = nullptr;
    int threads = 0;          // 0: one per core
    QString *cause = nullptr; // why an entry failed (method, encryption, CRC, size), for the log
    // Receives each file's SHA-256 as it was written, by its path relative to
    // the destination (the last copy of a name listed twice).
    QHash<QString, QString> *digests = nullptr;
    // The archive's first entries, already written: each must agree with the
    // central directory (else the archive is refused) and is not written again.
    const QList<StreamedEntry> *streamed = nullptr;
};

// Where the entries of one archive go, judged in archive order: a name that
// is unsafe or not UTF-8, one that escapes the destination, or a file that
// stands where a folder must go is refused with the window's message.
// Folders are made on the way.
class EntryPlacer
{
public:
    explicit EntryPlacer(const QString &destination);
    struct Placed
    {
        QString name;    // as written: '/' separated, no trailing '/'
        QString target;  // absolute
        QString message; // refused: the window's message
        QString cause;   // refused: why, for the log
    };
    Placed place(const QByteArray &decodedName, bool isDirectory);

private:
    bool blockedByFile(const QString &target) const;

    QDir destinationDir;
    QString root;
    QSet<QString> fileTargets;
};

// Unpacks a ZIP archive into destination, refusing any entry whose name could
// place a file outside it. Entries are written on several threads, each with
// its own archive handle; the failure reported is the first in archive order,
// with the same message a one-by-one extraction gives. Files written before a
// failure stay on disk; cleaning up is the caller's business.
bool extractZipPayload(const QString &zipPath, const QString &destination,
                       QString *error = nullptr);
bool extractZipPayload(const QString &zipPath, const QString &destination, QString *error,
                       const ExtractionOptions &options);

// The total uncompressed size of the archive's entries, -1 when it cannot be read.
qint64 zipPayloadSize(const QString &zipPath);

// Work on files for several threads: lists of indexes into targets, each in
// the order given. Every entry for the same target lands in one list. Files
// under 1 MiB go in lists by folder, since threads creating files in one
// folder queue on its lock in the kernel (with thousands of small files, most
// of an extraction's time); larger files each get a list of their own.
QList<QList<qsizetype>> fileBatchesForThreads(const QStringList &targets,
                                              const QList<quint64> &sizes);
