#pragma once

#include "install/fileidentity.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// The record of one installed version, kept beside its version folder as
// "<version>.record": where the version came from, and every file as it
// was written (digest, size, executable bit, identity and times), so that a
// later update can trust a file that is still exactly that file without
// reading it, and a damaged one is found and fetched again.

struct RecordedFile
{
    QString path; // relative to the version folder, "/" separated
    qint64 size = 0;
    QString sha256;
    bool executable = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 mtimeNs = 0;
};

struct InstallRecord
{
    QString version;
    // What it was built from: the release's file index (empty without one), and its package.
    QString indexUrl;
    QString indexSha256;
    qint64 indexSizeBytes = 0;
    QString packageUrl;
    QString packageSha256;
    qint64 packageSizeBytes = 0;
    QString launchExePath; // the launch file the version was checked for, and its arguments
    QStringList launchArgs;
    // The file system's time right after the files were written and recorded:
    // a file changed at that time or later may not show it in its times.
    qint64 stampNs = 0;
    // The launcher's last own change to these files' inodes (a link made or
    // removed, a mode set): a file changed later was changed by someone else.
    qint64 ownChangeNs = 0;
    QString createdAt; // ISO 8601, for people
    QList<RecordedFile> files;
};

struct InstallRecordResult
{
    InstallRecord record;
    QString error;
};

// "<productPath>/<version>.record".
QString installRecordPath(const QString &productPath, const QString &version);
InstallRecordResult readInstallRecord(const QString &path);
// Why an installed version is not ready to launch as it is (its launch file
// empty, as after a power cut; its record missing or unreadable), or empty.
QString installedVersionProblem(const QString &productPath, const QString &version,
                                const QString &executable);
// Replaces the file atomically.
bool writeInstallRecord(const QString &path, const InstallRecord &record, QString *error = nullptr);
// Moves the record's ownChangeNs forward to ns (never back), in place.
bool noteOwnChange(const QString &path, qint64 ns);

// What an install wrote into its staging folder, by path relative to it:
// every file's SHA-256 as it was written, and its identity where the writer
// already knows it (a hard link is its source; a written file was asked
// through its open handle), so that recording it needs no second look.
struct StagedFiles
{
    QHash<QString, QString> digests;
    QHash<QString, FileIdentity> identities;
};

// The record of a filled folder: each staged file with its identity (read
// now where it is not known) and a stamp taken after (in the folder's
// parent: nothing is ever added to a version folder).
InstallRecordResult recordFolder(const QString &folder, const StagedFiles &staged,
                                 InstallRecord origin);

// Whether a file can be trusted to be what the record says without reading
// it: the same file (device and inode), size and modification time, written
// before the record was stamped, and changed by nobody since the launcher's
// own last change. A time equal to a stamp is not trusted: it may hide a
// change made in the same tick of the file system's clock.
bool matchesRecord(const InstallRecord &record, const RecordedFile &file,
                   const FileIdentity &identity);
