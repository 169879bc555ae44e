#include "install/installrecord.h"

#include "release/pathrules.h"

#include "storage/unsyncedfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

namespace {
// The record is a text file of its own, one file to a line, written and read
// quickly for tens of thousands of files:
//   IVRA-RECORD 1
//   owned <ownChangeNs, 20 digits: the one field rewritten in place>
//   stamp <ns>
//   created <ISO time>
//   version <version>
//   index <sha256 or -> <size> <url>
//   package <sha256 or -> <size> <url>
//   launch <exe> =<arg>...
//   file <sha256> <size> <x or -> <device> <inode> <mtimeNs> <path>
// Texts are percent-encoded, so that no space or line end of a name can split a field.
const QByteArray kMagic = QByteArrayLiteral("IVRA-RECORD 1\n");
const QByteArray kOwned = QByteArrayLiteral("owned ");
constexpr int kOwnedDigits = 20;
constexpr qint64 kOwnedOffset = 14 + 6; // after the magic line and "owned "

QByteArray encoded(const QString &text)
{
    return text.isEmpty() ? QByteArrayLiteral("-") : QUrl::toPercentEncoding(text, "/");
}

QString decoded(const QByteArray &field)
{
    return field == "-" ? QString() : QString::fromUtf8(QByteArray::fromPercentEncoding(field));
}

QByteArray ownedDigits(qint64 ns)
{
    return QByteArray::number(qMax<qint64>(0, ns)).rightJustified(kOwnedDigits, '0');
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
    return QDir(productPath).absoluteFilePath(QStringLiteral("%1.record").arg(version.trimmed()));
}

InstallRecordResult readInstallRecord(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failed(QStringLiteral("no record: %1").arg(file.errorString()));
    const QByteArray text = file.readAll();
    if (!text.startsWith(kMagic) || !text.endsWith('\n'))
        return failed(QStringLiteral("the record %1 is not readable").arg(path));
    InstallRecordResult result;
    InstallRecord &record = result.record;
    bool ok = true;
    auto number = [&ok](const QByteArray &field) {
        bool parsed = false;
        const qint64 value = field.toLongLong(&parsed);
        ok = ok && parsed;
        return value;
    };
    qsizetype at = kMagic.size();
    while (ok && at < text.size()) {
        const qsizetype end = text.indexOf('\n', at);
        const QList<QByteArray> fields = text.mid(at, end - at).split(' ');
        at = end + 1;
        const QByteArray &kind = fields.first();
        if (kind == "file" && fields.size() == 8) {
            RecordedFile entry;
            entry.sha256 = QString::fromLatin1(fields.at(1));
            entry.size = number(fields.at(2));
            entry.executable = fields.at(3) == "x";
            bool device = false;
            bool inode = false;
            entry.device = fields.at(4).toULongLong(&device);
            entry.inode = fields.at(5).toULongLong(&inode);
            entry.mtimeNs = number(fields.at(6));
            entry.path = decoded(fields.at(7));
            // A path that could leave the version folder ("../") is no path of it.
            ok = ok && device && inode && entry.sha256.size() == 64 && entry.size >= 0 &&
                 isSafeZipEntryName(entry.path);
            record.files.append(entry);
        } else if (kind == "owned" && fields.size() == 2) {
            record.ownChangeNs = number(fields.at(1));
        } else if (kind == "stamp" && fields.size() == 2) {
            record.stampNs = number(fields.at(1));
        } else if (kind == "created" && fields.size() == 2) {
            record.createdAt = decoded(fields.at(1));
        } else if (kind == "version" && fields.size() == 2) {
            record.version = decoded(fields.at(1));
        } else if ((kind == "index" || kind == "package") && fields.size() == 4) {
            const bool index = kind == "index";
            (index ? record.indexSha256 : record.packageSha256) = decoded(fields.at(1));
            (index ? record.indexSizeBytes : record.packageSizeBytes) = number(fields.at(2));
            (index ? record.indexUrl : record.packageUrl) = decoded(fields.at(3));
        } else if (kind == "launch" && fields.size() >= 2) {
            record.launchExePath = decoded(fields.at(1));
            for (qsizetype i = 2; i < fields.size(); ++i)
                record.launchArgs.append(decoded(fields.at(i).mid(1)));
        } else {
            ok = false;
        }
    }
    // Half a record is no record: every file is then read, as without one.
    if (!ok || record.stampNs <= 0)
        return failed(QStringLiteral("the record %1 is not readable").arg(path));
    return result;
}

bool writeInstallRecord(const QString &path, const InstallRecord &record, QString *error)
{
    QByteArray text = kMagic;
    text += kOwned + ownedDigits(record.ownChangeNs) + '\n';
    text += "stamp " + QByteArray::number(record.stampNs) + '\n';
    text += "created " + encoded(record.createdAt) + '\n';
    text += "version " + encoded(record.version) + '\n';
    text += "index " + encoded(record.indexSha256) + ' ' +
            QByteArray::number(record.indexSizeBytes) + ' ' + encoded(record.indexUrl) + '\n';
    text += "package " + encoded(record.packageSha256) + ' ' +
            QByteArray::number(record.packageSizeBytes) + ' ' + encoded(record.packageUrl) + '\n';
    text += "launch " + encoded(record.launchExePath);
    for (const QString &argument : record.launchArgs)
        text += " =" + QUrl::toPercentEncoding(argument);
    text += '\n';
    text.reserve(text.size() + record.files.size() * 160);
    for (const RecordedFile &file : record.files) {
        text += "file " + file.sha256.toLatin1() + ' ' + QByteArray::number(file.size) +
                (file.executable ? " x " : " - ") + QByteArray::number(file.device) + ' ' +
                QByteArray::number(file.inode) + ' ' + QByteArray::number(file.mtimeNs) + ' ' +
                encoded(file.path) + '\n';
    }
    return replaceFileUnsynced(path, text, error);
}

bool noteOwnChange(const QString &path, qint64 ns)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
        return false;
    const QByteArray head = file.read(kOwnedOffset + kOwnedDigits);
    if (head.size() != kOwnedOffset + kOwnedDigits || !head.startsWith(kMagic + kOwned))
        return false;
    if (head.mid(kOwnedOffset).toLongLong() >= ns)
        return true;
    // One write of a few bytes inside the first block: whole or not at all.
    return file.seek(kOwnedOffset) && file.write(ownedDigits(ns)) == kOwnedDigits;
}

InstallRecordResult recordFolder(const QString &folder, const StagedFiles &staged,
                                 InstallRecord origin)
{
    InstallRecordResult result;
    result.record = std::move(origin);
    InstallRecord &record = result.record;
    record.files.clear();
    record.files.reserve(staged.digests.size());
    const QString root = QFileInfo(folder).absoluteFilePath() + QLatin1Char('/');
    for (auto it = staged.digests.cbegin(); it != staged.digests.cend(); ++it) {
        const auto known = staged.identities.constFind(it.key());
        const FileIdentity identity =
            known != staged.identities.cend() ? *known : fileIdentity(root + it.key());
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

QString installedVersionProblem(const QString &productPath, const QString &version,
                                const QString &executable)
{
    if (QFileInfo(executable).size() == 0)
        return QStringLiteral("its launch file %1 is empty").arg(executable);
    const InstallRecordResult read = readInstallRecord(installRecordPath(productPath, version));
    return read.error;
}
