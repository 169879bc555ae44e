#pragma once

#include <QString>

class QFileDevice;

// What reaches the disk when, and replacing a file in one step: the one
// place where Linux and Windows differ in it.

// Starts writing what file holds to disk now, without waiting for it, so
// that a later sync of the whole install finds most of it written already
// (Linux: sync_file_range; Windows: nothing, its flush comes with the sync).
// The file is flushed first.
void startWriteBack(QFileDevice &file);

// Everything written below path reaches the disk before this returns true:
// on Linux the file system that holds path (syncfs), on Windows every file
// below path (FlushFileBuffers; there is no call for a whole volume).
bool syncFileSystemOf(const QString &path);

// The names in the folder at path reach the disk (fsync of the folder on
// Linux; Windows writes names through with MOVEFILE_WRITE_THROUGH).
bool syncFolder(const QString &path);

// Renames from to to, replacing a file there in one step: rename(2), or
// MoveFileExW with MOVEFILE_REPLACE_EXISTING and MOVEFILE_WRITE_THROUGH.
bool renameOver(const QString &from, const QString &to);
