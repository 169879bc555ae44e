#pragma once

#include "release/gatewayrelease.h"

#include <QMap>
#include <QString>
#include <QStringList>

struct ClientInstallState
{
    QString activeVersion;
    QString previousVersion;
};

// What the launcher remembers between runs, persisted as "gateway-state.json".
struct GatewayState
{
    QMap<QString, ClientInstallState> clients;
    QMap<QString, QString> dismissedUpgradeMajorByEdition;
    // Signed builds: per manifest file name, the newest signature timestamp
    // accepted, so an older signed manifest can never be served again.
    QMap<QString, qint64> manifestTimestamps;
};

struct GatewayStateLoadResult
{
    GatewayState state;
    QString error;
};

GatewayStateLoadResult loadGatewayState(const QString &path);
// Replaces the file atomically; a failed save leaves the previous file as it was.
bool saveGatewayState(const QString &path, const GatewayState &state, QString *error = nullptr);

ClientInstallState clientInstallStateFor(const GatewayState &state, const QString &productId);
void recordInstalledClientVersion(GatewayState &state, const QString &productId,
                                  const QString &version);
// The version folders pruning must keep: the active one first, then the previous one.
QStringList retainedClientVersions(const GatewayState &state, const QString &productId);
void rememberDismissedUpgrade(GatewayState &state, const QString &edition,
                              const GatewayRelease &release);
// The newest timestamp accepted for a manifest file, 0 when none was.
qint64 acceptedManifestTimestamp(const GatewayState &state, const QString &fileName);
// Remembers timestamp when it is newer than the one accepted; true when it was.
bool rememberManifestTimestamp(GatewayState &state, const QString &fileName, qint64 timestamp);
bool isUpgradeOfferDue(const QString &edition, const GatewayRelease &release,
                       const GatewayState &state);
