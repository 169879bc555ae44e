#include "releasetool/packagecheck.h"

#include "install/zipdirectory.h"
#include "install/zipextract.h"
#include "release/version.h"

#include <QHash>
#include <QStringDecoder>

#include <sys/stat.h>
#include <zip.h>

namespace {
QString methodName(zip_uint16_t method)
{
    switch (method) {
    case 9:
        return QStringLiteral("Deflate64");
    case 12:
        return QStringLiteral("bzip2");
    case 14:
        return QStringLiteral("LZMA");
    case 93:
        return QStringLiteral("zstd");
    case 95:
        return QStringLiteral("XZ");
    case 98:
        return QStringLiteral("PPMd");
    default:
        return QStringLiteral("method %1").arg(method);
    }
}

bool isUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(bytes);
    return !decoder.hasError();
}

QString normalised(const QString &name)
{
    QString text = QString(name).replace(QLatin1Char('\\'), QLatin1Char('/')).trimmed();
    while (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    return text;
}
} // namespace

QString inspectPackage(const QString &zipPath, const QString &exePath, QStringList *notes)
{
    // The launcher installs from the local headers as the package arrives:
    // they must say what the central directory says, which is what is checked here.
    const QString layout = zipLayoutProblem(zipPath);
    if (!layout.isEmpty())
        return QStringLiteral("Package %1: %2. The launcher would install it otherwise than "
                              "this check reads it; repack it with `zip -r` or publish with "
                              "--from-folder.")
            .arg(zipPath, layout);
    int openError = 0;
    zip_t *archive = zip_open(zipArchivePath(zipPath).constData(), ZIP_RDONLY, &openError);
    if (!archive)
        return QStringLiteral("Unable to open zip payload: %1.").arg(zipPath);
    QString error;
    QHash<QString, QString> byFoldedName;
    const QString launchName = normalised(exePath);
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count && error.isEmpty(); ++i) {
        const zip_uint64_t index = zip_uint64_t(i);
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive, index, ZIP_FL_ENC_RAW, &stat) != 0) {
            error = QStringLiteral("Unable to inspect zip entry %1.").arg(quint64(index));
            break;
        }
        const QByteArray raw(stat.name);
        const QString name = normalised(QString::fromUtf8(raw));
        if (!isUtf8(raw)) {
            error = QStringLiteral("Package entry %1: the name is not UTF-8 (a tool that writes a "
                                   "legacy code page made it); repack with UTF-8 names.")
                        .arg(QString::fromLatin1(raw));
        } else if (!isSafeZipEntryName(name)) {
            error = QStringLiteral("Unsafe zip entry path: %1.").arg(name);
            if (name.startsWith(QLatin1String("./")))
                error += QStringLiteral(" The archiver wrote \"./\" names, as `bsdtar --format "
                                        "zip -cf p.zip .` does; pack with --from-folder or "
                                        "`zip -r p.zip .` instead.");
        } else if (stat.encryption_method != ZIP_EM_NONE) {
            error = QStringLiteral("Package entry %1 is encrypted; the launcher cannot read "
                                   "encrypted entries.")
                        .arg(name);
        } else if (!zip_compression_method_supported(stat.comp_method, 0)) {
            error = QStringLiteral("Package entry %1 is compressed with %2, which the launcher "
                                   "cannot read; use deflate (or store).")
                        .arg(name, methodName(stat.comp_method));
        } else {
            const QString folded = name.toCaseFolded();
            const QString other = byFoldedName.value(folded);
            if (!other.isEmpty() && other != name)
                error = QStringLiteral("Package entries %1 and %2 differ only in case; they "
                                       "would be one file on Windows and macOS.")
                            .arg(other, name);
            byFoldedName.insert(folded, name);
        }
        if (error.isEmpty() && name == launchName && !raw.endsWith('/')) {
            zip_uint8_t system = 0;
            zip_uint32_t attributes = 0;
            zip_file_get_external_attributes(archive, index, 0, &system, &attributes);
            const bool executable =
                system == ZIP_OPSYS_UNIX && (mode_t(attributes >> 16) & S_IXUSR);
            if (!executable && notes)
                notes->append(
                    QStringLiteral(
                        "note: %1 records no execute permission (a package made by jar or a "
                        "Windows tool); the launcher sets owner-execute on Linux before it starts "
                        "it.")
                        .arg(name));
        }
    }
    zip_discard(archive);
    return error;
}

QString checkCanonicalVersion(const QString &version)
{
    const ReleaseVersion parsed = parseReleaseVersion(version);
    if (!isValid(parsed))
        return parsed.error;
    const QString canonical =
        QStringLiteral("%1.%2.%3").arg(parsed.major).arg(parsed.minor).arg(parsed.patch);
    if (version.trimmed() != canonical)
        return QStringLiteral("Version %1 is not in canonical form; publish it as %2.")
            .arg(version.trimmed(), canonical);
    return QString();
}
