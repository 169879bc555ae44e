#include "install/zipdirectory.h"

#include "install/zipfields.h"

#include <QFile>

namespace {
constexpr quint32 kEndSignature = 0x06054b50;
constexpr quint32 kZip64LocatorSignature = 0x07064b50;
constexpr quint32 kZip64EndSignature = 0x06064b50;
constexpr quint32 kCentralSignature = 0x02014b50;
constexpr quint32 kLocalSignature = 0x04034b50;
constexpr qint64 kEndBytes = 22;
constexpr qint64 kLocatorBytes = 20;
constexpr qint64 kCentralBytes = 46;
constexpr qint64 kLocalBytes = 30;
constexpr quint32 kMarker32 = 0xffffffff;
constexpr quint16 kDataDescriptorFlag = 0x0008;

quint16 le16(const char *p)
{
    return zipLe16(reinterpret_cast<const uchar *>(p));
}
quint32 le32(const char *p)
{
    return zipLe32(reinterpret_cast<const uchar *>(p));
}
quint64 le64(const char *p)
{
    return zipLe64(reinterpret_cast<const uchar *>(p));
}

QByteArray readAt(QFile &file, quint64 offset, qint64 size)
{
    if (offset > quint64(file.size()) || !file.seek(qint64(offset)))
        return QByteArray();
    const QByteArray bytes = file.read(size);
    return bytes.size() == size ? bytes : QByteArray();
}

ZipDirectory failed(const QString &why)
{
    ZipDirectory directory;
    directory.error = why;
    return directory;
}
} // namespace

ZipDirectory readZipDirectory(const QString &zipPath, qsizetype maxEntries)
{
    QFile file(zipPath);
    if (!file.open(QIODevice::ReadOnly))
        return failed(QStringLiteral("cannot open the archive"));
    const qint64 size = file.size();
    // The end record is in the last 22 bytes, or before a comment of up to 64 KiB.
    const qint64 tailStart = qMax<qint64>(0, size - kEndBytes - 0xffff);
    const QByteArray tail = readAt(file, quint64(tailStart), size - tailStart);
    qsizetype end = tail.size() - kEndBytes;
    while (end >= 0 && le32(tail.constData() + end) != kEndSignature)
        --end;
    if (end < 0)
        return failed(QStringLiteral("no end of central directory"));
    quint64 count = le16(tail.constData() + end + 10);
    quint64 directoryOffset = le32(tail.constData() + end + 16);
    const qint64 endOffset = tailStart + end;
    if (count == 0xffff || directoryOffset == kMarker32) {
        const QByteArray locator =
            endOffset >= kLocatorBytes
                ? readAt(file, quint64(endOffset - kLocatorBytes), kLocatorBytes)
                : QByteArray();
        if (locator.isEmpty() || le32(locator.constData()) != kZip64LocatorSignature)
            return failed(QStringLiteral("no ZIP64 end of central directory"));
        const QByteArray end64 = readAt(file, le64(locator.constData() + 8), 56);
        if (end64.isEmpty() || le32(end64.constData()) != kZip64EndSignature)
            return failed(QStringLiteral("no ZIP64 end of central directory"));
        count = le64(end64.constData() + 32);
        directoryOffset = le64(end64.constData() + 48);
    }
    ZipDirectory directory;
    directory.directoryOffset = directoryOffset;
    // Each entry takes at least its fixed part: a count past that is a lie.
    if (directoryOffset > quint64(size) || count > quint64(size) / kCentralBytes)
        return failed(QStringLiteral("the central directory does not fit the archive"));
    quint64 at = directoryOffset;
    const quint64 wanted = maxEntries < 0 ? count : qMin<quint64>(count, quint64(maxEntries));
    for (quint64 i = 0; i < wanted; ++i) {
        const QByteArray head = readAt(file, at, kCentralBytes);
        if (head.isEmpty() || le32(head.constData()) != kCentralSignature)
            return failed(QStringLiteral("central directory entry %1 is unreadable").arg(i));
        const quint16 nameBytes = le16(head.constData() + 28);
        const quint16 extraBytes = le16(head.constData() + 30);
        const quint16 commentBytes = le16(head.constData() + 32);
        const QByteArray variable = readAt(file, at + kCentralBytes, nameBytes + extraBytes);
        if (variable.size() != nameBytes + extraBytes)
            return failed(QStringLiteral("central directory entry %1 is unreadable").arg(i));
        ZipDirectoryEntry entry;
        entry.rawName = variable.left(nameBytes);
        entry.flags = le16(head.constData() + 8);
        quint64 unpacked = le32(head.constData() + 24);
        entry.compressedSize = le32(head.constData() + 20);
        entry.localOffset = le32(head.constData() + 42);
        if (!applyZip64Extra(variable.mid(nameBytes),
                             {&unpacked, &entry.compressedSize, &entry.localOffset}))
            return failed(QStringLiteral("central directory entry %1 is unreadable").arg(i));
        directory.entries.append(entry);
        at += quint64(kCentralBytes) + nameBytes + extraBytes + commentBytes;
    }
    return directory;
}

QString zipLayoutProblem(const QString &zipPath)
{
    const ZipDirectory directory = readZipDirectory(zipPath);
    if (!directory.error.isEmpty())
        return directory.error;
    QFile file(zipPath);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot open the archive");
    quint64 expected = 0;
    for (const ZipDirectoryEntry &entry : directory.entries) {
        const QString name = QString::fromUtf8(entry.rawName);
        if (entry.localOffset != expected)
            return QStringLiteral("entry %1: its local header is at byte %2, not at byte %3 "
                                  "where the entry before it ends (entries out of order, or "
                                  "data the central directory does not list)")
                .arg(name)
                .arg(entry.localOffset)
                .arg(expected);
        const QByteArray head = readAt(file, entry.localOffset, kLocalBytes);
        if (head.isEmpty() || le32(head.constData()) != kLocalSignature)
            return QStringLiteral("entry %1: no local header at byte %2")
                .arg(name)
                .arg(entry.localOffset);
        const quint16 nameBytes = le16(head.constData() + 26);
        const quint16 extraBytes = le16(head.constData() + 28);
        if (readAt(file, entry.localOffset + kLocalBytes, nameBytes) != entry.rawName)
            return QStringLiteral("entry %1: its local header names it otherwise").arg(name);
        expected = entry.localOffset + kLocalBytes + nameBytes + extraBytes + entry.compressedSize;
        if (expected < entry.localOffset)
            return QStringLiteral("entry %1: its size runs past the archive").arg(name);
        // The sizes after the data: the descriptor's length depends on its
        // optional signature and on ZIP64; take the one that the next header
        // (or the directory) follows.
        if (entry.flags & kDataDescriptorFlag) {
            quint64 next = directory.directoryOffset;
            const qsizetype i = &entry - directory.entries.constData();
            if (i + 1 < directory.entries.size())
                next = directory.entries.at(i + 1).localOffset;
            const quint64 gap = next - expected;
            if (next < expected || (gap != 12 && gap != 16 && gap != 20 && gap != 24))
                return QStringLiteral("entry %1: its local header is not followed by the next "
                                      "entry")
                    .arg(name);
            expected = next;
        }
    }
    if (expected != directory.directoryOffset)
        return QStringLiteral("the entries end at byte %1 and the central directory starts at "
                              "byte %2 (data it does not list, or entries that overlap it)")
            .arg(expected)
            .arg(directory.directoryOffset);
    return QString();
}

QString streamedEntriesProblem(const QString &zipPath, const QList<StreamedEntry> &streamed)
{
    const ZipDirectory directory = readZipDirectory(zipPath, streamed.size());
    if (!directory.error.isEmpty())
        return directory.error;
    for (qsizetype i = 0; i < streamed.size(); ++i) {
        if (i >= directory.entries.size())
            return QStringLiteral("the central directory lists %1 entries, %2 arrived before it")
                .arg(directory.entries.size())
                .arg(streamed.size());
        if (directory.entries.at(i).localOffset != streamed.at(i).localOffset)
            return QStringLiteral("entry %1 of the central directory (%2) has its local header "
                                  "at byte %3, the one that arrived was at byte %4")
                .arg(i)
                .arg(QString::fromUtf8(directory.entries.at(i).rawName))
                .arg(directory.entries.at(i).localOffset)
                .arg(streamed.at(i).localOffset);
    }
    return QString();
}
