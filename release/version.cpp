#include "release/version.h"

#include <QRegularExpression>

ReleaseVersion parseReleaseVersion(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d+)\\.(\\d+)\\.(\\d+)$"));

    ReleaseVersion version;
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (match.hasMatch()) {
        bool okMajor = false;
        bool okMinor = false;
        bool okPatch = false;
        const qint32 major = match.captured(1).toInt(&okMajor, 10);
        const qint32 minor = match.captured(2).toInt(&okMinor, 10);
        const qint32 patch = match.captured(3).toInt(&okPatch, 10);
        // A component that does not fit is refused: read as 0 it would make a
        // huge version count as the oldest of all.
        if (okMajor && okMinor && okPatch) {
            version.major = major;
            version.minor = minor;
            version.patch = patch;
            return version;
        }
    }
    version.error = QStringLiteral("Version '%1' must use numeric x.y.z format.").arg(text);
    return version;
}

bool isValid(const ReleaseVersion &version)
{
    return version.error.isEmpty();
}

int compareReleaseVersions(const ReleaseVersion &a, const ReleaseVersion &b)
{
    if (a.major != b.major)
        return a.major < b.major ? -1 : 1;
    if (a.minor != b.minor)
        return a.minor < b.minor ? -1 : 1;
    if (a.patch != b.patch)
        return a.patch < b.patch ? -1 : 1;
    return 0;
}

bool isAtLeast(const ReleaseVersion &a, const ReleaseVersion &b)
{
    return compareReleaseVersions(a, b) >= 0;
}

bool isBelowMinimum(const QString &version, const QString &minimum)
{
    const ReleaseVersion a = parseReleaseVersion(version);
    const ReleaseVersion b = parseReleaseVersion(minimum);
    return !isValid(a) || !isValid(b) || compareReleaseVersions(a, b) < 0;
}

QString versionOrNone(const QString &version)
{
    return version.isEmpty() ? QStringLiteral("none") : version;
}
