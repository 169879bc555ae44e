#pragma once

#include "install/zipextract.h"
#include "release/fileindex.h"

#include <QString>
#include <QStringList>

// Differential installs: a staging folder filled from files of installed
// versions that are still right, and from the objects of the files that
// changed, each checked on its own. Then the same promotion as a package.

struct DifferentialPlan
{
    // Per index entry: the installed file to copy, or empty to fetch its object.
    QStringList sources;
    qint64 fetchBytes = 0; // object bytes to fetch
    int reused = 0;
};

// Every file of the index whose path, size and SHA-256 match a file of one
// of the installed version folders is taken from there (the local file is
// hashed: a damaged one is fetched instead). Runs on several threads.
DifferentialPlan planDifferentialInstall(const FileIndex &index,
                                         const QStringList &installedFolders,
                                         const std::atomic<bool> *cancel = nullptr);

// The cache file of an object below cacheFolder.
QString objectCacheFile(const QString &cacheFolder, const QString &objectName);

// Writes one object (zstd or stored) to target, decompressing as it reads and
// never writing more than declaredSize; the result must be exactly that size
// with that SHA-256. Returns why not, or an empty string.
QString writeObjectTo(const QString &objectPath, const FileIndexEntry &entry, const QString &target,
                      ExtractionProgress *progress = nullptr);

// Fills stagingPath from the plan: copies reused files, writes fetched ones
// from the cache, gives each its executable bit, and checks that every file
// of the index is there at its size. Returns why it could not, or empty.
QString fillStagingFromIndex(const FileIndex &index, const DifferentialPlan &plan,
                             const QString &cacheFolder, const QString &stagingPath,
                             ExtractionProgress *progress = nullptr);
