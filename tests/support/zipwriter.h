#pragma once

#include <QByteArray>
#include <QList>

// Writes ZIP archives byte by byte, stored (uncompressed), so that tests can
// make entries no zip tool would: hostile names, wrong CRCs, lying sizes,
// encryption flags, unknown methods, links and Unix modes.
struct ZipEntry
{
    QByteArray name;
    QByteArray data;
    quint32 unixMode = 0100644; // recorded in the external attributes when madeByUnix
    bool madeByUnix = true;
    quint32 dosAttributes = 0; // low byte of the external attributes
    quint16 method = 0;        // 0 stored; anything else is written as given
    quint16 flags = 0;         // bit 0 marks an encrypted entry
    qint64 crcOverride = -1;   // a wrong CRC-32 when set
    qint64 sizeOverride = -1;  // a wrong uncompressed size when set
    bool listed = true;        // false: a local header the central directory does not name
};

// centralOrder: the entries' records in the central directory in this
// order (indexes into entries) instead of the archive's.
QByteArray buildZip(const QList<ZipEntry> &entries, const QList<int> &centralOrder = {});
quint32 crc32Of(const QByteArray &data);
