#pragma once

#include "install/installrecord.h"
#include "install/zipextract.h"
#include "storage/growingfile.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// One client install from a verified package (or a differential fill) up to
// promotion: what runs off the window's thread. Recording the version as
// active and pruning stay with the caller.
struct ClientInstallPlan
{
    QString packagePath;
    QString productPath;
    QString stagingPath;
    QString versionPath;
    QString version;
    QString launchExePath;
    // Where the version comes from, kept in its record.
    InstallRecord origin;
    // Installed folders whose files staging may share (links): their records
    // learn of the launcher's own change to those files.
    QStringList sourceFolders;
    // The package while it downloads: its entries are extracted as they
    // arrive, and the rest once it is finished (checked by its digest).
    std::shared_ptr<GrowingFile> growing;
    // What its bytes may make the stream do before its digest is checked:
    // its declared size, and the most bytes written from it.
    qint64 packageBytes = -1;
    qint64 streamBudget = -1;
    // The package has served once the version folder is in place (the
    // release's objects serve repairs): it goes before the sync, so that
    // what of it is still only in memory is never written.
    bool packageTransient = false;
};

// The plan for installing version of a product: its staging, version and product folders.
ClientInstallPlan clientInstallPlan(const QString &productId, const QString &version,
                                    const QString &launchExePath,
                                    const QString &packagePath = QString());

struct ClientInstallOutcome
{
    QString error; // the window's message; empty once the version folder is in place
    QString cause; // for the log: why an extraction failed
    bool cancelled = false;
    bool promoted = false;         // the version folder is in place
    qsizetype streamedEntries = 0; // extracted while the package arrived
    // For the log: why extraction while the package arrived stopped early,
    // or why what it wrote was set aside for the central directory.
    QString streamNote;
    bool packageRemoved = false; // a transient package, gone once it served
};

// Fills the staging folder; returns the window's message, or empty on success.
// staged receives each file's SHA-256 (and identity, where known) by its path
// relative to staging.
using StagingFiller = std::function<QString(
    const QString &stagingPath, ExtractionProgress *progress, QString *cause, StagedFiles *staged)>;

// Clears a leftover staging folder, fills staging (by default: extracts the
// package), checks the launch file there, writes the version's record beside
// the version folder, replaces an earlier folder of the version and promotes
// staging to the version folder by rename. A failure or a cancel (through
// progress) after staging was made removes it; nothing half-made is ever
// promoted. progress also counts the bytes written, and totalBytes receives
// the package's unpacked size.
ClientInstallOutcome runClientInstall(const ClientInstallPlan &plan, ExtractionProgress *progress,
                                      std::atomic<qint64> *totalBytes = nullptr,
                                      const StagingFiller &fill = StagingFiller());

// Tells the records of these installed folders that the launcher changed
// their files' inodes just now (linked or unlinked them), so that the change
// is not taken for someone else's.
void noteOwnChanges(const QStringList &versionFolders);
