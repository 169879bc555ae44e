#pragma once

#include <QString>

// A numeric x.y.z release version. A rejected text leaves all numbers 0 and
// the reason in error.
struct ReleaseVersion
{
    qint32 major = 0;
    qint32 minor = 0;
    qint32 patch = 0;
    QString error;
};

ReleaseVersion parseReleaseVersion(const QString &text);
bool isValid(const ReleaseVersion &version);
// -1, 0 or +1 as a is below, equal to or above b.
int compareReleaseVersions(const ReleaseVersion &a, const ReleaseVersion &b);
// Whether version is below minimum; one that cannot be read counts as below.
bool isBelowMinimum(const QString &version, const QString &minimum);
// A version for a log or report line: "none" when there is none.
QString versionOrNone(const QString &version);
bool isAtLeast(const ReleaseVersion &a, const ReleaseVersion &b);
