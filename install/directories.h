#pragma once

#include <QString>

// Removes the directory at path with everything in it. A path with no
// directory behind it counts as success.
bool removeDirectoryIfPresent(const QString &path, QString *error = nullptr);

// Forces everything written on the file system that holds path to disk
// (syncfs): one call for an install's files, its record and its folder names.
bool syncFileSystemOf(const QString &path);
// Forces a folder's names (what was created, renamed or removed in it) to disk.
bool syncFolder(const QString &path);
