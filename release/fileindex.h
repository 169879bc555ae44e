#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The file index of a client release ("<product>_<version>.files.json"):
// every regular file of the package with its digest, and the content-addressed
// object it can be fetched as, so that an update fetches only what changed.

struct FileIndexEntry
{
    QString path; // as in the package, "/" separated
    qint64 size = 0;
    QString sha256; // of the file's bytes, lower-case hex
    bool executable = false;
    QString object; // "<sha256>.zst" (zstd) or "<sha256>.raw" (stored as is)
    qint64 objectSize = 0;
};

struct FileIndex
{
    QString product;
    QString version;
    QList<FileIndexEntry> files;
};

struct FileIndexResult
{
    FileIndex index;
    QString error;
};

// Checks what a hostile host could put in an index: every path obeys the ZIP
// entry rules, no path is listed twice or is the folder of another, digests
// are 64 hex digits, each object is named exactly by its file's digest, and
// sizes are whole and not negative.
FileIndexResult parseFileIndex(const QByteArray &body);
// The files' sizes added up, held at the largest qint64.
qint64 unpackedSize(const FileIndex &index);
QByteArray fileIndexJson(const FileIndex &index);

// Where an object lies relative to the index: "objects/<first two hex digits>/<name>".
QString objectRelativePath(const QString &objectName);
bool isCompressedObject(const QString &objectName);
