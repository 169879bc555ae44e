#pragma once

#include "release/fileindex.h"

#include <QString>
#include <QStringList>

// The release tool's side of differential updates: each file of a package
// written once as a content-addressed object, the file index of a release,
// its check, and the collection of objects no kept release names.

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
