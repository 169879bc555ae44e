#pragma once

#include "release/fileindex.h"

#include <QString>
#include <QStringList>

#include <functional>

// The release tool's side of differential updates: each file of a package
// written once as a content-addressed object, the file index of a release,
// its check, and the collection of objects no kept release names.

// Streams a file's bytes to a sink, chunk by chunk: false when reading fails
// or the sink refuses a chunk.
using ByteSink = std::function<bool(const char *, qint64)>;
using ByteSource = std::function<bool(const ByteSink &)>;

// The object of one file below objectsFolder ("<2 hex>/<sha256>.zst", or
// ".raw" when compress is false or zstd does not make it smaller), written
// from read unless it is there already; zstd at level, with its own worker
// threads when asked. entry needs its size and sha256; its object name and
// size are set. made says whether anything was written.
QString writeObject(const QString &objectsFolder, FileIndexEntry &entry, const ByteSource &read,
                    int level, bool compress, bool workers, bool *made = nullptr);

// The index a package yields: every regular file (the last copy of a name
// listed twice, as the launcher extracts it), its digest and executable bit.
// With objectsFolder, each file's object is written there unless it exists
// (zstd at zstdLevel, or stored when zstd does not make it smaller).
FileIndexResult indexPackage(const QString &zipPath, const QString &objectsFolder = QString(),
                             int zstdLevel = 19, int *objectsWritten = nullptr);

// Checks a published index against its package and every object it names
// (where the launcher looks for it, relative to the index): present, of its
// size, and decompressing to its file's bytes.
QString checkFileIndex(const QString &indexPath, const QString &zipPath,
                       QStringList *report = nullptr);

// Removes, for each product below treeRoot, the packages and file indexes of
// releases older than the newest `keep` (never those a manifest names), and
// then the objects no remaining index refers to; the report says what it freed.
QString collectGarbage(const QString &treeRoot, int keep, QStringList *report = nullptr);
