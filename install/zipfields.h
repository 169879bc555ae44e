#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <initializer_list>

// Little-endian fields of ZIP headers, read where the launcher reads headers
// itself (libzip does not tell where an entry's local header is).
inline quint16 zipLe16(const uchar *p)
{
    return quint16(p[0] | (p[1] << 8));
}
inline quint32 zipLe32(const uchar *p)
{
    return quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
}
inline quint64 zipLe64(const uchar *p)
{
    return quint64(zipLe32(p)) | (quint64(zipLe32(p + 4)) << 32);
}

// Walks a header's extra fields: the 32-bit values in fields that say "see
// ZIP64" (all ones) take their 64-bit values, in the order given. False when
// the fields do not fit, or one with the id refused is there.
bool applyZip64Extra(const QByteArray &extra, std::initializer_list<quint64 *> fields,
                     quint16 refused = 0);
