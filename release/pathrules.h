#pragma once

#include <QString>

// The rules for relative paths that a release names (package entries, file
// index paths, launch paths), which come from the network and are never trusted.

// A normalised entry name (forward slashes, trimmed, no final "/") that names
// something strictly below the extraction folder.
bool isSafeZipEntryName(const QString &name);

// Whether path, made absolute and cleaned, is root itself or lies below it.
bool isInsideDirectory(const QString &root, const QString &path);
