#pragma once

#include "release/gatewayrelease.h"

#include <QMap>
#include <QString>
#include <QStringList>

struct ClientInstallState
{
    QString activeVersion;
    QString previousVersion;
    // The minimum of the last client manifest accepted ("minimumVersion"):
    // a version below it is never started offline.
    QString acceptedMinimum = QString();
    // The version the player rolled back from ("rolledBackFrom"): while it is
    // set, optional updates are held back.
    QString rolledBackFrom = QString();
};

// What a per-user launcher install remembers of its own updates.
struct LauncherUpdateState
{
    // Launcher versions that did not start after an update: never tried again.
    QStringList failedVersions;
    // Starts of this launcher version that have not reached healthy yet.
    QString startingVersion;
    int startsWithoutHealth = 0;
    bool operator==(const LauncherUpdateState &other) const
    {
        return failedVersions == other.failedVersions && startingVersion == other.startingVersion &&
               startsWithoutHealth == other.startsWithoutHealth;
    }
};

// With mirrors: the host that served the last whole pass, and since when it
// has been tried first ("releaseHost": "url", "since"). Empty without mirrors.
struct ReleaseHostChoice
{
    QString url;
    qint64 sinceSecs = 0;
};

// What the launcher remembers between runs, persisted as "gateway-state.json".
struct GatewayState
{
    QMap<QString, ClientInstallState> clients;
    QMap<QString, QString> dismissedUpgradeMajorByEdition;
    // Signed builds: per manifest file name and per signing key (its id as
    // minisign prints it), the newest signature timestamp accepted, so that an
    // older signed manifest can never be served again. The empty key holds an
    // entry of a state file that named no key: it stands for every trusted key
    // until one of them replaces it.
    QMap<QString, QMap<QString, qint64>> manifestTimestamps;
    // A random 128-bit id (32 hex digits), made the first time a release
    // comes with a staged rollout: it decides where this install stands in it.
    QString installId;
    // Written by whichever launcher process learns it, so merged, never
    // overwritten from memory (see saveLauncherUpdateState).
    LauncherUpdateState launcher;
    ReleaseHostChoice releaseHost;
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
// The newest timestamp accepted for a manifest file by any of the trusted
// keys (or named by no key), 0 when none was. An entry more than a day after
// nowSecs can only come from a signature dated in the future: it is ignored.
qint64 acceptedManifestTimestamp(const GatewayState &state, const QString &fileName,
                                 const QStringList &trustedKeyIds, qint64 nowSecs);
// Remembers timestamp for a file and key when it is newer than that key's;
// true when it was. It replaces an entry that named no key.
bool rememberManifestTimestamp(GatewayState &state, const QString &fileName, const QString &keyId,
                               qint64 timestamp);
// Drops the entries of keys not trusted any more, and those dated in the future.
void dropUntrustedTimestamps(GatewayState &state, const QStringList &trustedKeyIds, qint64 nowSecs);
// Replaces only the launcher's own entry of the file as it stands: another
// launcher process (the one that started this one) may have saved the rest.
// Remembers the minimum of an accepted client manifest in the file, merged
// into what is there; true when nothing needed saving or it was saved.
bool saveAcceptedClientMinimum(const QString &path, const QString &productId,
                               const QString &minimum, QString *error = nullptr);
// Remembers the release host in the file, merged into what is there.
bool saveReleaseHostChoice(const QString &path, const ReleaseHostChoice &choice,
                           QString *error = nullptr);
bool saveLauncherUpdateState(const QString &path, const LauncherUpdateState &launcher,
                             QString *error = nullptr);

// A new install id from the system's cryptographic random source; empty if it fails.
QString newInstallId();
bool isUpgradeOfferDue(const QString &edition, const GatewayRelease &release,
                       const GatewayState &state);
