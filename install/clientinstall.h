#pragma once

#include "install/zipextract.h"

#include <QString>

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

struct ClientInstallOutcome
{
    QString error; // the window's message; empty once the version folder is in place
    QString cause; // for the log: why an extraction failed
    bool cancelled = false;
};

// Clears any earlier staging or version folder of that version, extracts into
// staging, checks the launch file there, and promotes staging to the version
// folder by rename. A failure or a cancel (through progress) after staging was
// made removes it; nothing half-made is ever promoted. progress also counts
// the bytes written, and totalBytes receives the package's unpacked size.
ClientInstallOutcome runClientInstall(const ClientInstallPlan &plan, ExtractionProgress *progress,
                                      std::atomic<qint64> *totalBytes = nullptr);
