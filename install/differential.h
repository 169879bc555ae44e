#pragma once

#include "install/fileidentity.h"
#include "install/installrecord.h"
#include "install/zipextract.h"
#include "release/fileindex.h"

#include <QHash>
#include <QString>
#include <QStringList>

// Differential installs: a staging folder filled from files of installed
// versions that are still right, and from the objects of the files that
// changed, each checked on its own. Then the same promotion as a package.

struct DifferentialPlan
{
    // Per index entry: the installed file to reuse, or empty to fetch its object.
    QStringList sources;
    QList<bool> sourceExecutable; // whether that file has its executable bit
    // What the file system said about that file when it was judged: a hard
    // link to it is the same file, so its record needs no second look.
    QList<FileIdentity> sourceIdentity;
    // Installed folders all of whose files still matched their record: the
    // launcher's own links to and from them may be noted in their records.
    QStringList cleanFolders;
    qint64 fetchBytes = 0; // object bytes to fetch
    int reused = 0;
    int known = 0;  // reused files their record vouched for, never read
    int hashed = 0; // installed files read to be sure
};

// How far an installed file's record is believed.
enum class RecordTrust {
    Metadata, // a file that is still exactly the recorded file is not read
    None,     // every file is read (verification)
};

// The records of installed version folders and, for each recorded file,
// whether it is still exactly what its record says (and what it is now).
// Needs no index: it is read while the index is still on its way.
struct RecordedFolder
{
    InstallRecord record;
    QHash<QString, qsizetype> byPath;
    QList<FileIdentity> identities; // per recorded file, as found
    QList<bool> matches;            // per recorded file
    bool clean = false;             // every recorded file matches
};
QList<RecordedFolder> readRecordedFolders(const QStringList &installedFolders,
                                          RecordTrust trust = RecordTrust::Metadata);

// Every file of the index whose path, size and SHA-256 match a file of one
// of the installed version folders (tried in order) is taken from there. A
// file that is still exactly what its version's record describes is not
// read; any other is hashed first, so a damaged or changed one is fetched
// instead. Runs on several threads.
DifferentialPlan planDifferentialInstall(const FileIndex &index,
                                         const QStringList &installedFolders,
                                         const std::atomic<bool> *cancel = nullptr,
                                         RecordTrust trust = RecordTrust::Metadata);
// The same with the folders' records already read (one per folder, in order).
DifferentialPlan planDifferentialInstall(const FileIndex &index,
                                         const QStringList &installedFolders,
                                         const QList<RecordedFolder> &folders,
                                         const std::atomic<bool> *cancel = nullptr);

// How reused files are placed in staging.
enum class Placement {
    Best, // a clone where the file system can, else a hard link (same executable bit), else a copy
    Copy, // always a copy
};

struct FillCounts
{
    std::atomic<int> cloned{0};
    std::atomic<int> linked{0};
    std::atomic<int> copied{0};
    std::atomic<int> written{0}; // from objects
};

// The cache file of an object below cacheFolder.
QString objectCacheFile(const QString &cacheFolder, const QString &objectName);

// Writes one object (zstd or stored) to target, decompressing as it reads and
// never writing more than declaredSize; the result must be exactly that size
// with that SHA-256. Returns why not, or an empty string.
// written, when given, receives the identity of the file as written.
QString writeObjectTo(const QString &objectPath, const FileIndexEntry &entry, const QString &target,
                      ExtractionProgress *progress = nullptr, FileIdentity *written = nullptr);

// Fills stagingPath from the plan: places reused files (a clone, a hard link
// or a copy), writes fetched ones from the cache, gives each its executable
// bit, and checks that every file of the index is there at its size. A
// linked file shares its inode with the installed version it came from, so
// nothing here ever writes into a reused file. staged receives the index's
// digest of each file, and the identity of each linked or written one.
// Returns why it could not, or empty.
QString fillStagingFromIndex(const FileIndex &index, const DifferentialPlan &plan,
                             const QString &cacheFolder, const QString &stagingPath,
                             ExtractionProgress *progress = nullptr,
                             Placement placement = Placement::Best, FillCounts *counts = nullptr,
                             StagedFiles *staged = nullptr);
