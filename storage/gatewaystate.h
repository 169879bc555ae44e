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
bool isUpgradeOfferDue(const QString &edition, const GatewayRelease &release,
                       const GatewayState &state);
