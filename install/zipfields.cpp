#include "install/zipfields.h"

namespace {
constexpr quint16 kZip64ExtraId = 0x0001;
constexpr quint32 kZip64Marker = 0xffffffff;
} // namespace

bool applyZip64Extra(const QByteArray &extra, std::initializer_list<quint64 *> fields,
                     quint16 refused)
{
    const auto *bytes = reinterpret_cast<const uchar *>(extra.constData());
    for (qsizetype at = 0; at + 4 <= extra.size();) {
        const quint16 id = zipLe16(bytes + at);
        const quint16 size = zipLe16(bytes + at + 2);
        if (at + 4 + size > extra.size() || (refused != 0 && id == refused))
            return false;
        if (id == kZip64ExtraId) {
            qsizetype field = at + 4;
            for (quint64 *value : fields) {
                if (*value != kZip64Marker)
                    continue;
                if (field + 8 > at + 4 + size)
                    return false;
                *value = zipLe64(bytes + field);
                field += 8;
            }
        }
        at += 4 + size;
    }
    return true;
}
