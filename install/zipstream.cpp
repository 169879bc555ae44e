#include "install/zipstream.h"

#include "install/zipfields.h"

#include "net/filedigest.h"
#include "platform/filesync.h"

#include <QFile>

#include <zlib.h>

#include <limits>

namespace {
constexpr quint32 kLocalHeaderSignature = 0x04034b50;
constexpr qint64 kLocalHeaderBytes = 30;
constexpr qint64 kReadChunkBytes = 1 << 18;
constexpr qint64 kWriteChunkBytes = 1 << 16;
constexpr quint32 kZip64Marker = 0xffffffff;
constexpr quint16 kUnicodePathExtraId = 0x7075;
// General purpose bits a local header may carry here: deflate's options
// (1, 2) and UTF-8 names (11). Encryption (0, 6), sizes after the data (3)
// and the rest are left to the whole archive.
constexpr quint16 kHandledFlags = 0x0002 | 0x0004 | 0x0800;
constexpr quint16 kUtf8Flag = 0x0800;
// A local header with a name of one byte, and its central directory record.
constexpr qint64 kLeastEntryBytes = 31 + 47;

// Reads the archive as far as it has arrived.
class Reader
{
public:
    Reader(GrowingFile &archive, int generation, const ExtractionProgress *progress, bool untilEnd)
        : archive(archive), generation(generation), untilEnd(untilEnd),
          cancel(progress ? &progress->cancelled : nullptr), file(archive.path())
    {
        file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isOpen() const { return file.isOpen(); }

    // Waits until the bytes up to end are there. atBoundary: between two
    // entries, where a finished archive is left to the whole-archive path.
    bool reach(qint64 end, bool atBoundary = false)
    {
        const GrowingFile::Wait wait = archive.waitFor(end, generation, cancel);
        return wait == GrowingFile::Wait::Ready ||
               (wait == GrowingFile::Wait::Finished && (!atBoundary || untilEnd));
    }
    // Exactly size bytes at offset, once they are there.
    bool read(qint64 offset, char *data, qint64 size)
    {
        if (!reach(offset + size) || !file.seek(offset))
            return false;
        qint64 done = 0;
        while (done < size) {
            const qint64 got = file.read(data + done, size - done);
            if (got <= 0)
                return false;
            done += got;
        }
        return true;
    }

private:
    GrowingFile &archive;
    const int generation;
    const bool untilEnd;
    const std::atomic<bool> *cancel;
    QFile file;
};

struct LocalEntry
{
    StreamedEntry entry;
    qint64 dataOffset = 0;
};

// The entry whose local header starts at offset, if it is one this path takes.
bool readLocalHeader(Reader &reader, qint64 offset, LocalEntry *local)
{
    uchar head[kLocalHeaderBytes];
    if (!reader.reach(offset + kLocalHeaderBytes, true) ||
        !reader.read(offset, reinterpret_cast<char *>(head), kLocalHeaderBytes) ||
        zipLe32(head) != kLocalHeaderSignature)
        return false;
    const quint16 flags = zipLe16(head + 6);
    StreamedEntry &entry = local->entry;
    entry.method = zipLe16(head + 8);
    entry.crc = zipLe32(head + 14);
    entry.compressedSize = zipLe32(head + 18);
    entry.size = zipLe32(head + 22);
    const quint16 nameBytes = zipLe16(head + 26);
    const quint16 extraBytes = zipLe16(head + 28);
    if ((flags & ~kHandledFlags) != 0 || (entry.method != 0 && entry.method != Z_DEFLATED) ||
        nameBytes == 0)
        return false;
    QByteArray tail(nameBytes + extraBytes, Qt::Uninitialized);
    if (!reader.read(offset + kLocalHeaderBytes, tail.data(), tail.size()))
        return false;
    entry.rawName = tail.left(nameBytes);
    // A name in another code page is decoded from the central directory alone.
    if (!(flags & kUtf8Flag)) {
        for (const char c : std::as_const(entry.rawName))
            if (uchar(c) >= 0x80)
                return false;
    }
    if (!applyZip64Extra(tail.mid(nameBytes), {&entry.size, &entry.compressedSize},
                         kUnicodePathExtraId))
        return false;
    if (entry.size == kZip64Marker || entry.compressedSize == kZip64Marker ||
        (entry.method == 0 && entry.size != entry.compressedSize))
        return false;
    entry.directory = entry.rawName.endsWith('/');
    local->dataOffset = offset + kLocalHeaderBytes + nameBytes + extraBytes;
    return true;
}

// Writes the entry's data to its target as it arrives; the file must come out
// at the size and CRC-32 its header gives.
bool writeEntry(Reader &reader, const LocalEntry &local, const QString &target,
                ExtractionProgress *progress, QByteArray *sha256)
{
    const StreamedEntry &entry = local.entry;
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    z_stream inflater{};
    const bool deflated = entry.method == Z_DEFLATED;
    if (deflated && inflateInit2(&inflater, -MAX_WBITS) != Z_OK)
        return false;
    Sha256Stream digest = sha256Begin();
    uLong crc = crc32(0, nullptr, 0);
    quint64 written = 0;
    bool ended = !deflated;
    auto deliver = [&](const char *data, qint64 size) {
        written += quint64(size);
        if (written > entry.size || out.write(data, size) != size)
            return false;
        crc = crc32(crc, reinterpret_cast<const Bytef *>(data), uInt(size));
        sha256Add(digest, data, size);
        if (progress)
            progress->bytesWritten.fetch_add(size, std::memory_order_relaxed);
        return true;
    };
    QByteArray input(kReadChunkBytes, Qt::Uninitialized);
    QByteArray output(deflated ? kWriteChunkBytes : 0, Qt::Uninitialized);
    bool ok = true;
    for (quint64 done = 0; ok && done < entry.compressedSize;) {
        if (progress && progress->cancelled.load(std::memory_order_relaxed)) {
            ok = false;
            break;
        }
        const qint64 chunk = qint64(qMin<quint64>(kReadChunkBytes, entry.compressedSize - done));
        if (!reader.read(local.dataOffset + qint64(done), input.data(), chunk)) {
            ok = false;
            break;
        }
        done += quint64(chunk);
        if (!deflated) {
            ok = deliver(input.constData(), chunk);
            continue;
        }
        inflater.next_in = reinterpret_cast<Bytef *>(input.data());
        inflater.avail_in = uInt(chunk);
        while (ok && inflater.avail_in > 0 && !ended) {
            inflater.next_out = reinterpret_cast<Bytef *>(output.data());
            inflater.avail_out = uInt(output.size());
            const int status = inflate(&inflater, Z_NO_FLUSH);
            ended = status == Z_STREAM_END;
            ok = (status == Z_OK || ended) &&
                 deliver(output.constData(), output.size() - qint64(inflater.avail_out));
        }
        // Data after the end of the deflate stream: not what the header said.
        ok = ok && (!ended || (inflater.avail_in == 0 && done == entry.compressedSize));
    }
    if (deflated)
        inflateEnd(&inflater);
    ok = ok && ended && written == entry.size && crc == entry.crc && out.flush();
    if (ok)
        startWriteBack(out); // the install is synced once it is whole
    out.close();
    if (ok)
        *sha256 = QByteArray::fromHex(sha256Finish(digest).toLatin1());
    return ok && out.error() == QFileDevice::NoError;
}
} // namespace

QList<StreamedEntry> streamZipEntries(GrowingFile &archive, int generation,
                                      const QString &destination, ExtractionProgress *progress,
                                      bool untilEnd, const StreamLimits &limits)
{
    QList<StreamedEntry> streamed;
    Reader reader(archive, generation, progress, untilEnd);
    if (!reader.isOpen())
        return streamed;
    auto stop = [&](const QString &why) {
        if (limits.stopped)
            *limits.stopped = why;
    };
    const qint64 mostEntries =
        limits.archiveBytes >= 0 ? limits.archiveBytes / kLeastEntryBytes : -1;
    quint64 extracted = 0;
    EntryPlacer placer(destination);
    for (qint64 offset = 0;;) {
        if (mostEntries >= 0 && streamed.size() >= mostEntries) {
            stop(QStringLiteral("more entries than %1 bytes can hold").arg(limits.archiveBytes));
            break;
        }
        LocalEntry local;
        if (!readLocalHeader(reader, offset, &local))
            break;
        StreamedEntry &entry = local.entry;
        entry.localOffset = quint64(offset);
        // The next header comes after this entry's data: a size that wraps
        // around or runs past the archive would turn the stream back.
        const quint64 room =
            quint64(std::numeric_limits<qint64>::max()) - quint64(local.dataOffset);
        const quint64 end = quint64(local.dataOffset) + entry.compressedSize;
        if (entry.compressedSize > room ||
            (limits.archiveBytes >= 0 && end > quint64(limits.archiveBytes))) {
            stop(QStringLiteral("an entry runs past the end of the package"));
            break;
        }
        if (!entry.directory && limits.extractBytes >= 0 &&
            entry.size > quint64(limits.extractBytes) - extracted) {
            stop(QStringLiteral("the entries would unpack to more than the %1 bytes allowed "
                                "before the package is checked")
                     .arg(limits.extractBytes));
            break;
        }
        const EntryPlacer::Placed placed = placer.place(entry.rawName, entry.directory);
        if (!placed.message.isEmpty())
            break;
        if (!entry.directory && !writeEntry(reader, local, placed.target, progress, &entry.sha256))
            break;
        extracted += entry.directory ? 0 : entry.size;
        streamed.append(entry);
        offset = qint64(end);
    }
    return streamed;
}
