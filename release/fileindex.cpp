#include "release/fileindex.h"

#include "release/pathrules.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <limits>

namespace {
const QString kCompressedSuffix = QStringLiteral(".zst");
const QString kStoredSuffix = QStringLiteral(".raw");

FileIndexResult failed(const QString &error)
{
    FileIndexResult result;
    result.error = error;
    return result;
}

bool wholeNonNegative(const QJsonValue &value, qint64 &out)
{
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 0 || number > 9007199254740992.0 ||
        number != double(qint64(number)))
        return false;
    out = qint64(number);
    return true;
}

// Lower-case hex of a SHA-256 (the entry's digest is lowered first).
bool isSha256Hex(const QString &text)
{
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}
} // namespace

FileIndexResult parseFileIndex(const QByteArray &body)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return failed(QStringLiteral("the index is not a JSON object"));
    const QJsonObject root = document.object();
    const QJsonValue files = root.value(QStringLiteral("files"));
    if (!files.isArray())
        return failed(QStringLiteral("the index has no \"files\" array"));

    FileIndexResult result;
    result.index.product = root.value(QStringLiteral("product")).toString();
    result.index.version = root.value(QStringLiteral("version")).toString();
    const QJsonArray entries = files.toArray();
    QSet<QString> paths;
    paths.reserve(entries.size());
    result.index.files.reserve(entries.size());
    for (const QJsonValue &value : entries) {
        const QJsonObject object = value.toObject();
        FileIndexEntry entry;
        entry.path = object.value(QStringLiteral("path")).toString();
        entry.sha256 = object.value(QStringLiteral("sha256")).toString().toLower();
        entry.object = object.value(QStringLiteral("object")).toString();
        const QJsonValue executable = object.value(QStringLiteral("executable"));
        entry.executable = executable.toBool();
        if (!value.isObject() || !executable.isBool() ||
            !wholeNonNegative(object.value(QStringLiteral("size")), entry.size) ||
            !wholeNonNegative(object.value(QStringLiteral("objectSize")), entry.objectSize))
            return failed(QStringLiteral("an entry has missing or mistyped members"));
        if (entry.path.contains(QLatin1Char('\\')) || entry.path.endsWith(QLatin1Char('/')) ||
            entry.path != entry.path.trimmed() || !isSafeZipEntryName(entry.path))
            return failed(QStringLiteral("unsafe path: %1").arg(entry.path));
        if (!isSha256Hex(entry.sha256))
            return failed(QStringLiteral("not a SHA-256: %1").arg(entry.sha256));
        if (entry.object != entry.sha256 + kCompressedSuffix &&
            entry.object != entry.sha256 + kStoredSuffix)
            return failed(QStringLiteral("object %1 is not named by its digest").arg(entry.object));
        if (!isCompressedObject(entry.object) && entry.objectSize != entry.size)
            return failed(QStringLiteral("stored object %1 has another size").arg(entry.object));
        if (paths.contains(entry.path))
            return failed(QStringLiteral("listed twice: %1").arg(entry.path));
        paths.insert(entry.path);
        result.index.files.append(entry);
    }
    // A file may not stand where another file needs a folder.
    for (const FileIndexEntry &entry : result.index.files) {
        for (qsizetype slash = entry.path.indexOf(QLatin1Char('/')); slash > 0;
             slash = entry.path.indexOf(QLatin1Char('/'), slash + 1)) {
            if (paths.contains(entry.path.left(slash)))
                return failed(QStringLiteral("a file is the folder of %1").arg(entry.path));
        }
    }
    return result;
}

QByteArray fileIndexJson(const FileIndex &index)
{
    QJsonArray files;
    for (const FileIndexEntry &entry : index.files)
        files.append(QJsonObject{{"path", entry.path},
                                 {"size", double(entry.size)},
                                 {"sha256", entry.sha256},
                                 {"executable", entry.executable},
                                 {"object", entry.object},
                                 {"objectSize", double(entry.objectSize)}});
    return QJsonDocument(QJsonObject{{"product", index.product},
                                     {"version", index.version},
                                     {"files", files}})
        .toJson(QJsonDocument::Indented);
}

QString objectRelativePath(const QString &objectName)
{
    return QStringLiteral("objects/%1/%2").arg(objectName.left(2), objectName);
}

bool isCompressedObject(const QString &objectName)
{
    return objectName.endsWith(kCompressedSuffix);
}

qint64 unpackedSize(const FileIndex &index)
{
    qint64 total = 0;
    for (const FileIndexEntry &entry : index.files)
        if (__builtin_add_overflow(total, entry.size, &total))
            return std::numeric_limits<qint64>::max();
    return total;
}
