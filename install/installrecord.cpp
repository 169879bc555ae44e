#include "install/installrecord.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {
// Nanosecond times and inode numbers do not fit a JSON number exactly: text.
QString number(quint64 value)
{
    return QString::number(value);
}

quint64 unsignedOf(const QJsonValue &value, bool &ok)
{
    bool parsed = false;
    const quint64 result = value.toString().toULongLong(&parsed);
    ok = ok && parsed;
    return result;
}

qint64 signedOf(const QJsonValue &value, bool &ok)
{
    bool parsed = false;
    const qint64 result = value.toString().toLongLong(&parsed);
    ok = ok && parsed;
    return result;
}

InstallRecordResult failed(const QString &error)
{
    InstallRecordResult result;
    result.error = error;
    return result;
}
} // namespace

QString installRecordPath(const QString &productPath, const QString &version)
{
    return QDir(productPath)
        .absoluteFilePath(QStringLiteral("%1.record.json").arg(version.trimmed()));
}

InstallRecordResult readInstallRecord(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failed(QStringLiteral("no record: %1").arg(file.errorString()));
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    InstallRecordResult result;
    InstallRecord &record = result.record;
    bool ok = root.value(QStringLiteral("files")).isArray();
    record.version = root.value(QStringLiteral("version")).toString();
    const QJsonObject index = root.value(QStringLiteral("index")).toObject();
    record.indexUrl = index.value(QStringLiteral("url")).toString();
    record.indexSha256 = index.value(QStringLiteral("sha256")).toString();
    record.indexSizeBytes = qint64(index.value(QStringLiteral("sizeBytes")).toDouble());
    const QJsonObject package = root.value(QStringLiteral("package")).toObject();
    record.packageUrl = package.value(QStringLiteral("url")).toString();
    record.packageSha256 = package.value(QStringLiteral("sha256")).toString();
    record.packageSizeBytes = qint64(package.value(QStringLiteral("sizeBytes")).toDouble());
    record.stampNs = signedOf(root.value(QStringLiteral("stampNs")), ok);
    record.ownChangeNs = signedOf(root.value(QStringLiteral("ownChangeNs")), ok);
    record.createdAt = root.value(QStringLiteral("createdAt")).toString();
    record.launchExePath = root.value(QStringLiteral("launchExePath")).toString();
    for (const QJsonValue &argument : root.value(QStringLiteral("launchArgs")).toArray())
        record.launchArgs.append(argument.toString());
    for (const QJsonValue &value : root.value(QStringLiteral("files")).toArray()) {
        const QJsonObject entry = value.toObject();
        RecordedFile file;
        file.path = entry.value(QStringLiteral("path")).toString();
        file.size = qint64(entry.value(QStringLiteral("size")).toDouble(-1));
        file.sha256 = entry.value(QStringLiteral("sha256")).toString();
        file.executable = entry.value(QStringLiteral("executable")).toBool();
        file.device = unsignedOf(entry.value(QStringLiteral("device")), ok);
        file.inode = unsignedOf(entry.value(QStringLiteral("inode")), ok);
        file.mtimeNs = signedOf(entry.value(QStringLiteral("mtimeNs")), ok);
        ok = ok && !file.path.isEmpty() && file.size >= 0 && file.sha256.size() == 64;
        record.files.append(file);
    }
    // Half a record is no record: every file is then read, as without one.
    if (!ok)
        return failed(QStringLiteral("the record %1 is not readable").arg(path));
    return result;
}

bool writeInstallRecord(const QString &path, const InstallRecord &record, QString *error)
{
    QJsonArray files;
    for (const RecordedFile &file : record.files)
        files.append(QJsonObject{{"path", file.path},
                                 {"size", double(file.size)},
                                 {"sha256", file.sha256},
                                 {"executable", file.executable},
                                 {"device", number(file.device)},
                                 {"inode", number(file.inode)},
                                 {"mtimeNs", QString::number(file.mtimeNs)}});
    const QJsonObject root{{"version", record.version},
                           {"index", QJsonObject{{"url", record.indexUrl},
                                                 {"sha256", record.indexSha256},
                                                 {"sizeBytes", double(record.indexSizeBytes)}}},
                           {"package", QJsonObject{{"url", record.packageUrl},
                                                   {"sha256", record.packageSha256},
                                                   {"sizeBytes", double(record.packageSizeBytes)}}},
                           {"stampNs", QString::number(record.stampNs)},
                           {"ownChangeNs", QString::number(record.ownChangeNs)},
                           {"createdAt", record.createdAt},
                           {"launchExePath", record.launchExePath},
                           {"launchArgs", QJsonArray::fromStringList(record.launchArgs)},
                           {"files", files}};
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = QStringLiteral("Unable to write '%1': %2.").arg(path, file.errorString());
        return false;
    }
    file.write(QJsonDocument(root).toJson(QJsonDocument::Compact));
    if (!file.commit()) {
        if (error)
            *error = QStringLiteral("Unable to write '%1': %2.").arg(path, file.errorString());
        return false;
    }
    return true;
}

InstallRecordResult recordFolder(const QString &folder, const QHash<QString, QString> &digests,
                                 InstallRecord origin)
{
    InstallRecordResult result;
    result.record = std::move(origin);
    InstallRecord &record = result.record;
    record.files.clear();
    const QDir root(folder);
    for (auto it = digests.cbegin(); it != digests.cend(); ++it) {
        const FileIdentity identity = fileIdentity(root.absoluteFilePath(it.key()));
        if (!identity.regular)
            return failed(QStringLiteral("%1 is not a file").arg(it.key()));
        RecordedFile file;
        file.path = it.key();
        file.size = identity.size;
        file.sha256 = it.value();
        file.executable = identity.executable;
        file.device = identity.device;
        file.inode = identity.inode;
        file.mtimeNs = identity.mtimeNs;
        record.files.append(file);
    }
    std::sort(record.files.begin(), record.files.end(),
              [](const RecordedFile &a, const RecordedFile &b) { return a.path < b.path; });
    // Later than every time the files got: whatever changes a file from now
    // on gives it this time or a later one.
    record.stampNs = fileSystemTimeAfterNow(QFileInfo(folder).absolutePath());
    if (record.stampNs < 0)
        return failed(QStringLiteral("cannot stamp %1").arg(folder));
    record.ownChangeNs = record.stampNs;
    record.createdAt = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    return result;
}

bool matchesRecord(const InstallRecord &record, const RecordedFile &file,
                   const FileIdentity &identity)
{
    return identity.regular && identity.device == file.device && identity.inode == file.inode &&
           identity.size == file.size && identity.mtimeNs == file.mtimeNs &&
           file.mtimeNs < record.stampNs && identity.ctimeNs < record.ownChangeNs;
}
