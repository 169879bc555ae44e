#pragma once

#include <QString>

// The rules for relative paths that a release names (package entries, file
// index paths, launch paths), which come from the network and are never trusted.

// A normalised entry name (forward slashes, trimmed, no final "/") that names
// something strictly below the extraction folder.
bool isSafeZipEntryName(const QString &name);

// Whether path, made absolute and cleaned, is root itself or lies below it.
bool isInsideDirectory(const QString &root, const QString &path);

// Why Windows could not create a file or folder of this normalised name: a
// part that is a reserved device name (CON, PRN, AUX, NUL, COM1 to COM9,
// LPT1 to LPT9, with any extension), ends in a dot or a space, or holds one
// of <>:"|?* or a control character. Empty when it could.
QString windowsNameProblem(const QString &name);
