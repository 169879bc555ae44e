#pragma once

#include "install/zipextract.h"

#include <QString>

#include <functional>

// One client install from a verified package up to promotion: what runs off
// the window's thread. Recording the version and pruning stay with the caller.
struct ClientInstallPlan
{
    QString packagePath;
    QString productPath;
    QString stagingPath;
    QString versionPath;
    QString version;
    QString launchExePath;
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
    bool promoted = false; // the version folder is in place
};

// Fills the staging folder; returns the window's message, or empty on success.
using StagingFiller = std::function<QString(const QString &stagingPath,
                                            ExtractionProgress *progress, QString *cause)>;

// Clears any earlier staging or version folder of that version, fills staging
// (by default: extracts the package), checks the launch file there, and promotes staging to the
// version folder by rename. A failure or a cancel (through progress) after staging was made removes
// it; nothing half-made is ever promoted. progress also counts the bytes written, and totalBytes
// receives the package's unpacked size.
ClientInstallOutcome runClientInstall(const ClientInstallPlan &plan, ExtractionProgress *progress,
                                      std::atomic<qint64> *totalBytes = nullptr,
                                      const StagingFiller &fill = StagingFiller());
