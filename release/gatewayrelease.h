#pragma once

#include "release/rollout.h"

#include <QByteArray>
#include <QMap>
#include <QString>

// A launcher package for one platform ("linux-x86_64"): the launcher's own
// files as a ZIP, for builds that replace themselves.
struct LauncherPackage
{
    QString url;
    QString sha256;
    qint64 sizeBytes = 0;
};

// The Gateway release manifest, validated for structure and types only.
struct GatewayRelease
{
    QString product;
    QString edition;
    QString channel;
    QString latestVersion;
    QString minimumVersion;
    QString installerUrl;
    QString installerSha256;
    bool hasUpgrade = false;
    QString upgradeUrl;
    QString fullLatestVersion;
    // The optional staged rollout: absent, the release is for every install.
    ReleaseRollout rollout;
    // The optional "packages" member, by platform. A build whose platform has
    // none here takes installerUrl as before.
    QMap<QString, LauncherPackage> packages;
};

struct GatewayReleaseResult
{
    GatewayRelease release;
    QString error;
};

bool isValid(const GatewayReleaseResult &result);
GatewayReleaseResult parseGatewayRelease(const QByteArray &body);

// The platform name of this build's launcher packages: "linux-x86_64" or
// "linux-aarch64"; empty where launchers are updated by an installer only.
QString launcherPlatform();
