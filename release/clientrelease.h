#pragma once

#include "release/rollout.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The client release manifest, validated for structure and types only.
struct ClientRelease
{
    QString product;
    QString channel;
    QString latestVersion;
    QString minimumVersion;
    QString artifactUrl;
    QString artifactSha256;
    qint64 artifactSizeBytes = 0;
    QString launchExePath;
    QStringList launchArgs;
    // The optional file index of the package (artifact "files"), for updates
    // that fetch only the files that changed. Absent or unusable: no index.
    bool hasFileIndex = false;
    QString fileIndexUrl;
    QString fileIndexSha256;
    qint64 fileIndexSizeBytes = 0;
    // The optional staged rollout: absent, the release is for every install.
    ReleaseRollout rollout;
};

struct ClientReleaseResult
{
    ClientRelease release;
    QString error;
};

bool isValid(const ClientReleaseResult &result);
ClientReleaseResult parseClientRelease(const QByteArray &body);
