#pragma once

#include "release/binding.h"
#include "release/gatewayrelease.h"
#include "release/rollout.h"

#include <QString>
#include <QStringList>

// What a pass does with an accepted Gateway manifest.
enum class GatewayAction {
    Refuse,     // the manifest does not fit this build or itself; another try gets the same
    Current,    // this build is current: go on to the client
    SelfUpdate, // this build is older than the latest: install the latest and quit
    HeldBack,   // older, but the staged rollout has not reached this install: go on
};

struct GatewayDecision
{
    GatewayAction action = GatewayAction::Refuse;
    QString message;  // Refuse: the window's message
    QString versions; // "build ..., latest ..., minimum ..." for the log, once the versions hold
};

// The edition must be this build's (compared trimmed and lower-cased), so
// must product and channel when bound, and both versions x.y.z with latest at
// least minimum. Every build below the latest replaces itself, unless a
// staged rollout has not reached this install and the build still meets the
// minimum; a newer build is never downgraded.
GatewayDecision decideGatewayUpdate(const GatewayRelease &release, const QString &buildVersion,
                                    const QString &buildEdition,
                                    const ReleaseBinding &binding = ReleaseBinding(),
                                    const RolloutStanding &standing = RolloutStanding());

// How an outdated build replaces itself.
enum class SelfUpdateRoute {
    Installer,     // no package for this platform: the installer, as always
    Package,       // a per-user install: its platform's package, switched to once it starts
    CannotReplace, // installed where it cannot replace itself, but still allowed: go on
    TooOld,        // the same, below the minimum: the pass ends
    FailedBefore,  // the latest did not start here before: never tried again, go on
};

SelfUpdateRoute selfUpdateRoute(const GatewayRelease &release, const QString &buildVersion,
                                const QString &platform, bool perUserInstall,
                                const QStringList &failedVersions);
