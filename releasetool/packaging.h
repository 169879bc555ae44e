#pragma once

#include "release/fileindex.h"

#include <QList>
#include <QString>
#include <QStringList>

// Packing a client folder: each file read once (in parallel) for its digest
// and a first look at how well it compresses; the package written from that,
// while the objects of a file index are compressed beside it.

struct PackedFile
{
    QString path;   // relative to the folder, "/" separated
    QString source; // absolute path
    qint64 size = 0;
    QString sha256;
    quint32 mode = 0644; // Unix permission bits
    bool compressible = true;
    bool executable() const { return mode & 0100; }
};

struct FolderContent
{
    QString root;            // the folder, absolute
    QList<PackedFile> files; // in path order
    QStringList folders;     // relative, in path order
    QString error;
};

FolderContent scanFolder(const QString &folder);

// The time every entry of a package carries: SOURCE_DATE_EPOCH when set,
// else a fixed one, so the same folder always gives the same package bytes.
qint64 packageTimestamp();

// A ZIP of the folder, reproducible: entries in path order, one time for
// all, modes kept; files that do not compress are stored, the others deflated.
QString writePackage(const FolderContent &content, const QString &zipPath);

// The index entries of the folder's files, without their objects.
QList<FileIndexEntry> indexOfContent(const FolderContent &content);

// Each file's object below objectsFolder ("<2 hex>/<sha256>.zst", or ".raw"
// when zstd does not make it smaller), unless it is there already, and its
// index entry. Files are compressed in parallel; a large one with zstd's own
// workers as well. written counts the objects made.
QString writeObjects(const FolderContent &content, const QString &objectsFolder, int level,
                     QList<FileIndexEntry> &entries, int *written = nullptr);

// What differs between two releases' files, for a message: empty when the
// paths, sizes, digests and executable bits all agree.
QString firstDifference(const QList<FileIndexEntry> &published, const QList<FileIndexEntry> &fresh);
