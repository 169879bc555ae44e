#pragma once

#include "release/rollout.h"

#include <QByteArray>
#include <QString>

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
};

struct GatewayReleaseResult
{
    GatewayRelease release;
    QString error;
};

bool isValid(const GatewayReleaseResult &result);
GatewayReleaseResult parseGatewayRelease(const QByteArray &body);
