#pragma once

#include <QString>
#include <QStringList>

// What the launcher's ZIP reading would refuse on one of its platforms, found
// at publish time and named by entry: compression methods Debian's libzip
// cannot read, encryption, unsafe names (with a hint where the archiver is to
// blame), names that are not UTF-8, and names that differ only in case.
// Returns the first such defect, or an empty string; notes receives what is
// worth knowing but still installs (a launch file without an execute bit).
QString inspectPackage(const QString &zipPath, const QString &exePath, QStringList *notes);

// A version is published in the one form the launcher prints it in: the
// launcher compares installed versions as text, so "01.1.0" and "1.1.0"
// would be two folders of the same release.
QString checkCanonicalVersion(const QString &version);
