#pragma once

#include <QString>

inline constexpr qint64 kHashChunkBytes = 1048576;

// The SHA-256 of a file as 64 lower-case hex digits, or empty with the reason
// in error when the file cannot be opened or read.
QString fileSha256Hex(const QString &path, QString *error = nullptr);
