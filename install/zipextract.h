#pragma once

#include <QString>

// Unpacks a ZIP archive into destination, entry by entry, refusing any entry
// whose name could place a file outside it. Files written before a failure
// stay on disk; cleaning up is the caller's business.
bool extractZipPayload(const QString &zipPath, const QString &destination,
                       QString *error = nullptr);

// A normalised entry name (forward slashes, trimmed, no final "/") that names
// something strictly below the extraction folder.
bool isSafeZipEntryName(const QString &name);

// Whether path, made absolute and cleaned, is root itself or lies below it.
bool isInsideDirectory(const QString &root, const QString &path);
