#pragma once

#include <QString>

#include <atomic>
#include <memory>

inline constexpr qint64 kHashChunkBytes = 1048576;

// The SHA-256 of a file as 64 lower-case hex digits, or empty with the reason
// in error when the file cannot be opened or read.
QString fileSha256Hex(const QString &path, QString *error = nullptr);

// A SHA-256 computed piece by piece, as bytes arrive. A plain value: copies
// share the same running digest.
struct Sha256Stream
{
    std::shared_ptr<void> context;
};

Sha256Stream sha256Begin();
void sha256Add(Sha256Stream &stream, const char *data, qint64 size);
// The first `bytes` bytes of a file (the part of a download already on disk).
// Fails with the reason in error on a read failure, a short file or a cancel.
bool sha256AddFile(Sha256Stream &stream, const QString &path, qint64 bytes, QString *error,
                   const std::atomic<bool> *cancel = nullptr);
// 64 lower-case hex digits; the stream is finished and must not be fed again.
QString sha256Finish(Sha256Stream &stream);
