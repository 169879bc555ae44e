#pragma once

#include <QByteArray>
#include <QString>

// What a ".part" file needs beside it to be continued by a later download of
// the same target: where it came from, and the validator the server gave.
struct ResumeState
{
    QString url;
    QByteArray etag;
    QByteArray lastModified;
    qint64 bytes = 0; // written when the state was saved
};

// "<part>.resume", beside the ".part" file.
QString resumeStatePath(const QString &partPath);
// An absent or unreadable file gives an empty state (nothing to resume).
ResumeState loadResumeState(const QString &path);
bool saveResumeState(const QString &path, const ResumeState &state);

// The If-Range value: the ETag, or else Last-Modified; empty when the server gave neither.
QByteArray resumeValidator(const ResumeState &state);

// Where a download of url may continue a ".part" of partSize bytes: its size,
// or 0 to start again (no state, another URL, no validator, an empty part, or
// a part not shorter than the declared size, when one is declared).
qint64 resumableOffset(const ResumeState &state, const QString &url, qint64 partSize,
                       qint64 declaredSize);
