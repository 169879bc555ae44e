#include "net/resume.h"

#include "storage/unsyncedfile.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

QString resumeStatePath(const QString &partPath)
{
    return partPath + QStringLiteral(".resume");
}

ResumeState loadResumeState(const QString &path)
{
    ResumeState state;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return state;
    const QJsonObject object = QJsonDocument::fromJson(file.read(64 * 1024)).object();
    state.url = object.value(QStringLiteral("url")).toString();
    state.etag = object.value(QStringLiteral("etag")).toString().toLatin1();
    state.lastModified = object.value(QStringLiteral("lastModified")).toString().toLatin1();
    state.bytes = qint64(object.value(QStringLiteral("bytes")).toDouble());
    return state;
}

bool saveResumeState(const QString &path, const ResumeState &state)
{
    const QJsonObject object{{"url", state.url},
                             {"etag", QString::fromLatin1(state.etag)},
                             {"lastModified", QString::fromLatin1(state.lastModified)},
                             {"bytes", double(state.bytes)}};
    // Saved at the start of every answer, object downloads included: a resume
    // state lost with the power only means that download starts again.
    return replaceFileUnsynced(path, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QByteArray resumeValidator(const ResumeState &state)
{
    // If-Range takes strong validators only; a weak ETag falls back to the date.
    if (!state.etag.isEmpty() && !state.etag.startsWith("W/"))
        return state.etag;
    return state.lastModified;
}

qint64 resumableOffset(const ResumeState &state, const QString &url, qint64 partSize,
                       qint64 declaredSize)
{
    if (state.url.isEmpty() || state.url != url || resumeValidator(state).isEmpty() ||
        partSize <= 0)
        return 0;
    if (declaredSize > 0 && partSize >= declaredSize)
        return 0;
    return partSize;
}
