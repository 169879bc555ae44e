#pragma once

#include "install/zipextract.h"

#include <QByteArray>
#include <QList>
#include <QString>

// What a ZIP archive's central directory says of one entry, as written:
// libzip reads the same directory but does not tell where an entry's local
// header is.
struct ZipDirectoryEntry
{
    QByteArray rawName;
    quint16 flags = 0;
    quint64 compressedSize = 0;
    quint64 localOffset = 0;
};

struct ZipDirectory
{
    QList<ZipDirectoryEntry> entries;
    quint64 directoryOffset = 0; // where the central directory starts
    QString error;               // empty when it was read
};

// The first maxEntries entries of the archive's central directory (all of
// them when maxEntries is negative).
ZipDirectory readZipDirectory(const QString &zipPath, qsizetype maxEntries = -1);

// Whether the local headers and the central directory describe the same
// archive: every entry's local header at the offset the directory gives,
// with the same name, one after the other from the start in directory
// order, and nothing between them. Returns why not, naming the entry, or an
// empty string.
QString zipLayoutProblem(const QString &zipPath);

// Whether the entries written as the archive arrived are the first ones its
// central directory lists, each from the local header at the offset the
// directory gives. Returns why not, or an empty string.
QString streamedEntriesProblem(const QString &zipPath, const QList<StreamedEntry> &streamed);
