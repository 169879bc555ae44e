#include "support/zipwriter.h"

#include <QtEndian>

namespace {
void put16(QByteArray &out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

void put32(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}
} // namespace

quint32 crc32Of(const QByteArray &data)
{
    static quint32 table[256] = {};
    if (!table[1]) {
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    }
    quint32 crc = 0xFFFFFFFFu;
    for (const char ch : data)
        crc = table[(crc ^ quint8(ch)) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

QByteArray buildZip(const QList<ZipEntry> &entries, const QList<int> &centralOrder)
{
    QByteArray out;
    QList<QByteArray> records;
    for (const ZipEntry &entry : entries) {
        QByteArray central;
        const quint32 offset = quint32(out.size());
        const quint32 crc =
            entry.crcOverride >= 0 ? quint32(entry.crcOverride) : crc32Of(entry.data);
        const quint32 size = quint32(entry.data.size());
        const quint32 declared = entry.sizeOverride >= 0 ? quint32(entry.sizeOverride) : size;

        put32(out, 0x04034b50);
        put16(out, 20);
        put16(out, entry.flags);
        put16(out, entry.method);
        put16(out, 0);    // time
        put16(out, 0x21); // date: 1980-01-01
        put32(out, crc);
        put32(out, size);
        put32(out, declared);
        put16(out, quint16(entry.name.size()));
        put16(out, 0);
        out += entry.name;
        out += entry.data;

        put32(central, 0x02014b50);
        put16(central, quint16((entry.madeByUnix ? 3 : 0) << 8 | 20));
        put16(central, 20);
        put16(central, entry.flags);
        put16(central, entry.method);
        put16(central, 0);
        put16(central, 0x21);
        put32(central, crc);
        put32(central, size);
        put32(central, declared);
        put16(central, quint16(entry.name.size()));
        put16(central, 0); // extra
        put16(central, 0); // comment
        put16(central, 0); // disk
        put16(central, 0); // internal attributes
        put32(central, (entry.madeByUnix ? entry.unixMode << 16 : 0) | entry.dosAttributes);
        put32(central, offset);
        central += entry.name;
        records.append(entry.listed ? central : QByteArray());
    }
    QByteArray central;
    int listed = 0;
    for (qsizetype i = 0; i < records.size(); ++i) {
        central += records.at(centralOrder.isEmpty() ? i : centralOrder.value(i));
        listed += entries.at(i).listed ? 1 : 0;
    }
    const quint32 centralOffset = quint32(out.size());
    out += central;
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, quint16(listed));
    put16(out, quint16(listed));
    put32(out, quint32(central.size()));
    put32(out, centralOffset);
    put16(out, 0);
    return out;
}
