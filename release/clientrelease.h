#pragma once

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
};

struct ClientReleaseResult
{
    ClientRelease release;
    QString error;
};

bool isValid(const ClientReleaseResult &result);
ClientReleaseResult parseClientRelease(const QByteArray &body);
